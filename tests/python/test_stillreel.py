"""The Python package as its users call it: stillreel.convert() against the
tool's own files, its errors and callbacks, Ctrl-C, python3 -m stillreel, and
the package installed by pip and by cmake --install.

Environment: STILLREEL_LIBRARY (the built library), STILLREEL_TOOL,
STILLREEL_SOURCE_DIR, STILLREEL_INSTALLED_PREFIX (the package tests' prefix).
"""

import concurrent.futures
import glob
import os
import pathlib
import re
import shutil
import signal
import struct
import subprocess
import sys
import textwrap

import pytest

import stillreel

TOOL = os.environ["STILLREEL_TOOL"]
SOURCE = pathlib.Path(os.environ["STILLREEL_SOURCE_DIR"])
DEMO = [str(SOURCE / "examples" / ("%02d.bmp" % i)) for i in range(1, 7)]


def bmp24(width, height, colour=(0, 0, 255)):
    """A bottom-up 24-bit BMP of one colour (blue, green, red)."""
    row = bytes(colour) * width
    row += bytes(-len(row) % 4)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(row) * height, 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(row) * height, 0, 0, 0, 0)
    return header + info + row * height


def tool(tmp_path, *args):
    out = tmp_path / "tool.avi"
    subprocess.run([TOOL, "-q", "-o", str(out), *args], check=True)
    return out.read_bytes()


def python(*args, **kw):
    env = dict(os.environ, PYTHONPATH=str(SOURCE / "python"))
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, **kw)


@pytest.mark.parametrize("smooth, options, tool_args", [
    (1, {}, []),
    (3, {}, []),
    (4, {"threads": 2}, []),
    (3, {"reading": "classic", "container": "avi1"}, ["--classic"]),
    (2, {"container": "opendml"}, ["--container", "opendml"]),
])
def test_files_are_the_tools(tmp_path, smooth, options, tool_args):
    want = tool(tmp_path, "--fps", "29.97", "--smooth", str(smooth), *tool_args, *DEMO)
    listed = tmp_path / "frames.txt"
    listed.write_text("".join(name + "\n" for name in DEMO))
    # Names as str, bytes and paths; the list as a path; into a file and a pipe.
    names = [DEMO[0], os.fsencode(DEMO[1]), pathlib.Path(DEMO[2])] + DEMO[3:]
    for pictures in (names, listed):
        out = tmp_path / "out.avi"
        summary = stillreel.convert(out, pictures, 29.97, smooth, **options)
        assert out.read_bytes() == want
        assert (summary.frame_count, summary.file_size) == (5 * smooth + 1, len(want))
        assert summary.frame_rate == pytest.approx(29.97 * smooth)
    read, write = os.pipe()
    with open(read, "rb") as reader:
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            received = pool.submit(reader.read)
            stillreel.convert(write, DEMO, "29.97", smooth, **options)
            os.close(write)
            assert received.result() == want


def test_callbacks_and_summary(tmp_path):
    (tmp_path / "small.bmp").write_bytes(bmp24(3, 2))
    names = [DEMO[0], str(tmp_path / "missing.bmp"), str(tmp_path / "small.bmp"), DEMO[1]]
    seen, notices = [], []
    summary = stillreel.convert(tmp_path / "out.avi", names, smooth=2, progress=seen.append,
                                on_picture=notices.append)
    assert [(n.entry, n.issue, n.width, n.height) for n in notices] == [
        (1, "cannot-open", 1, 1), (2, "size-differs", 3, 2)]
    assert notices[0].name == names[1] and notices[0].message == "cannot be opened"
    assert seen[-1].percent == 100 and seen[-1].frames_written == 7
    assert [p.percent for p in seen] == sorted(p.percent for p in seen)
    assert summary == stillreel.Summary(80, 60, 4, 7, 50.0, 20000, summary.file_size, 1, "avi1", 1)
    assert summary.file_size == (tmp_path / "out.avi").stat().st_size
    checked = stillreel.convert(None, names, smooth=2, dry_run=True)
    assert checked == summary


def test_each_failure_is_its_error(tmp_path):
    huge = tmp_path / "huge.bmp"  # a header promising 30000 x 30000 pixels
    huge.write_bytes(bmp24(1, 1)[:18] + struct.pack("<ii", 30000, 30000) + bmp24(1, 1)[26:])
    out = tmp_path / "out.avi"
    cases = [
        (stillreel.BadArgument, dict(output=out, pictures=DEMO, fps=0)),
        (stillreel.BadArgument, dict(output=out, pictures=DEMO, fps=float("nan"))),
        (ValueError, dict(output=out, pictures=[DEMO[0] + "\0.bmp"])),
        (stillreel.BadArgument, dict(output=out, pictures=DEMO, smooth=-1)),
        (stillreel.BadArgument, dict(output=out, pictures=DEMO, container="mp4")),
        (stillreel.BadArgument, dict(output=out, pictures=DEMO, fps=10000, smooth=200)),
        (stillreel.ListUnreadable, dict(output=out, pictures=tmp_path / "no-list.txt")),
        (stillreel.ListUnreadable, dict(output=out, pictures=[])),
        (stillreel.CannotCreateOutput, dict(output=tmp_path / "no" / "x.avi", pictures=DEMO)),
        (stillreel.TooLarge, dict(output=out, pictures=[str(huge)], container="avi1")),
    ]
    for error, arguments in cases:
        with pytest.raises(error) as caught:
            stillreel.convert(**arguments)
        if error is not ValueError:
            assert isinstance(caught.value, stillreel.Error) and caught.value.result in range(1, 8)
        assert not out.exists(), arguments
    with pytest.raises(stillreel.TooLarge) as caught:
        stillreel.convert(out, [str(huge)], container="avi1")
    assert caught.value.summary.frame_width == 30000 and str(caught.value).startswith("the AVI")


def test_names_and_values_are_the_c_headers():
    """The package's copies of the C enums agree with stillreel.h value for
    value, and the library has words for every issue and no more."""
    header = (SOURCE / "include" / "stillreel" / "stillreel.h").read_text()
    def named(prefix):
        return {name.lower().replace("_", "-"): int(value) for name, value in
                re.findall(r"STILLREEL_" + prefix + r"_(\w+) = (\d+)", header)}
    issues = named("PICTURE")
    assert {name: value for value, name in enumerate(stillreel.ISSUES)} == issues
    assert stillreel._CONTAINERS == named("CONTAINER")
    assert stillreel._READINGS == named("READING")
    assert stillreel._PIXELS == {n.replace("-", ""): v for n, v in named("PIXELS").items()}
    layouts = stillreel._LAYOUTS
    assert named("LAYOUT") == {"gray8": layouts[(1, "rgb")], "bgr24": layouts[(3, "bgr")],
                               "rgb24": layouts[(3, "rgb")], "bgra32": layouts[(4, "bgr")],
                               "rgba32": layouts[(4, "rgb")]}
    results = {int(v): n for n, v in re.findall(r"STILLREEL_(\w+) = (\d+),?\s+/\*", header)
               if not n.startswith(("PICTURE_", "CONTAINER_", "READING_", "PIXELS_", "LAYOUT_"))}
    assert {v: e.__name__ for v, e in stillreel._ERRORS.items()} == {
        v: n.title().replace("_", "") for v, n in results.items() if v != 999}
    lib = stillreel._load()
    for value in issues.values():
        assert lib.stillreel_picture_issue_string(value) != b"unknown", value
    assert lib.stillreel_picture_issue_string(len(issues)) == b"unknown"
    for value in results:
        assert lib.stillreel_result_string(value) != b"unknown", value


def test_gray8_is_pillows_grey_and_its_fades(tmp_path):
    """8-bit grey frames decode in ffmpeg to Pillow's convert("L") of each
    picture, colour or grey, and fade as BlendChannel does on the greys; the
    file has the size its layout says."""
    from PIL import Image
    grey = tmp_path / "grey.bmp"
    Image.open(DEMO[1]).convert("L").convert("RGB").save(grey)
    # 24-bit pictures, whose colours Pillow reads as the library does.
    names, n = [DEMO[0], str(grey), DEMO[3]], 3
    out = tmp_path / "grey.avi"
    summary = stillreel.convert(out, names, smooth=n, pixels="gray8")
    assert summary.pixels == "gray8" and summary.frame_count == 7
    frames = 7
    # Headers with the 1024-byte grey table, the frames, the index.
    assert out.stat().st_size == summary.file_size == 224 + 1024 + frames * (80 * 60 + 8) + 8 + 16 * frames
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=pix_fmt", "-of",
                            "csv=p=0", str(out)], capture_output=True, check=True).stdout
    assert probe.strip() == b"pal8"
    # ffmpeg's pal8 frames: the indices, then the 1024-byte colour table.
    decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", str(out), "-f", "rawvideo",
                              "-pix_fmt", "pal8", "-"], capture_output=True, check=True).stdout
    assert len(decoded) == frames * (4800 + 1024)
    have = [decoded[i * 5824:i * 5824 + 4800] for i in range(frames)]
    table = decoded[4800:5824]
    assert [table[4 * i:4 * i + 3] for i in range(256)] == [bytes((i, i, i)) for i in range(256)]
    pictures = [Image.open(name).convert("L").tobytes() for name in names]
    assert pictures[1] == Image.open(DEMO[1]).convert("L").tobytes()
    for k in range(3):
        assert have[k * n] == pictures[k], "picture %d" % k
    for k in range(2):
        for l in range(1, n):
            t = l / n
            want = bytes(int(a * (1.0 - t) + b * t) for a, b in zip(pictures[k], pictures[k + 1]))
            assert have[k * n + l] == want, "fade %d step %d" % (k, l)
    # AVI 2.0 holds the same frames.
    odml = tmp_path / "grey-odml.avi"
    assert stillreel.convert(odml, names, smooth=n, pixels="gray8",
                             container="opendml").file_size == odml.stat().st_size
    assert subprocess.run(["ffmpeg", "-v", "error", "-i", str(odml), "-f", "rawvideo", "-pix_fmt",
                           "pal8", "-"], capture_output=True, check=True).stdout == decoded
    # The tool writes the same file, and names the kind.
    tool_out = tmp_path / "tool.avi"
    proc = subprocess.run([TOOL, "-o", str(tool_out), "--smooth", str(n), "--pixels", "gray8"]
                          + names, capture_output=True, check=True)
    assert tool_out.read_bytes() == out.read_bytes() and b"8-bit grey" in proc.stderr
    with pytest.raises(stillreel.BadArgument):
        stillreel.convert(tmp_path / "bad.avi", names, pixels="gray16")


def test_bgra32_keeps_the_pictures_alpha(tmp_path):
    """32-bit frames decode in ffmpeg as bgra to each picture's colours and
    alpha (ImageMagick's reading of it), 255 for a picture without alpha and
    for an unreadable one, 0 where a smaller picture does not reach; fades
    blend all four bytes as BlendChannel does."""
    alpha = tmp_path / "alpha.bmp"
    subprocess.run(["convert", "-size", "80x60", "gradient:rgba(255,0,0,0.1)-rgba(0,40,255,0.9)",
                    "-type", "TrueColorAlpha", "-define", "bmp:format=bmp4", str(alpha)],
                   check=True)
    small = tmp_path / "small.bmp"
    small.write_bytes(bmp24(30, 20, (10, 200, 30)))
    names, n = [str(alpha), DEMO[3], str(small), str(tmp_path / "missing.bmp")], 3
    out = tmp_path / "bgra.avi"
    summary = stillreel.convert(out, names, smooth=n, pixels="bgra32")
    frames = 10
    assert summary.pixels == "bgra32" and summary.frame_count == frames
    assert out.stat().st_size == summary.file_size == 224 + frames * (80 * 60 * 4 + 8) + 8 + 16 * frames
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=pix_fmt", "-of",
                            "csv=p=0", str(out)], capture_output=True, check=True).stdout
    assert probe.strip() == b"bgra"
    decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", str(out), "-f", "rawvideo",
                              "-pix_fmt", "bgra", "-"], capture_output=True, check=True).stdout
    size = 80 * 60 * 4
    assert len(decoded) == frames * size
    have = [decoded[i * size:(i + 1) * size] for i in range(frames)]

    def magick(name):
        return subprocess.run(["convert", name, "-depth", "8", "bgra:-"], capture_output=True,
                              check=True).stdout

    small_frame = bytearray(size)  # transparent black beyond the small picture
    for y in range(20):
        row = (60 - 20 + y) * 80 * 4
        small_frame[row:row + 30 * 4] = bytes((10, 200, 30, 255)) * 30
    # The unreadable picture: 1 x 1 white and opaque in the bottom-left corner.
    white = b"\0" * (59 * 320) + b"\xff" * 4 + b"\0" * 316
    pictures = [magick(str(alpha)), magick(DEMO[3]), bytes(small_frame), white]
    assert any(a != 255 for a in pictures[0][3::4]), "the picture has no alpha"
    for k in range(4):
        assert have[k * n] == pictures[k], "picture %d" % k
    for l in range(1, n):
        t = l / n
        want = bytes(int(a * (1.0 - t) + b * t) for a, b in zip(pictures[0], pictures[1]))
        assert have[l] == want, "fade 0 step %d" % l
    # The tool writes the same file and names the kind; --classic refuses it.
    tool_out = tmp_path / "tool.avi"
    proc = subprocess.run([TOOL, "-o", str(tool_out), "--smooth", str(n), "--pixels", "bgra32"]
                          + names, capture_output=True)
    assert tool_out.read_bytes() == out.read_bytes() and b"with alpha" in proc.stderr


def test_an_exception_in_a_callback_cancels(tmp_path):
    # Raised mid-way, at the last report, and for the last picture.
    out = tmp_path / "out.avi"
    out.write_bytes(b"previous")
    names = DEMO + [str(tmp_path / "missing.bmp")]
    for at, threads in ((2, 1), (2, 2), (len(names), 1), (len(names), 2)):
        def stop(progress):
            if progress.entry == at:
                raise RuntimeError("enough")

        with pytest.raises(RuntimeError, match="enough"):
            stillreel.convert(out, names, smooth=3, threads=threads, progress=stop)
        assert out.read_bytes() == b"previous" and os.listdir(tmp_path) == ["out.avi"]

    def refuse(notice):
        raise RuntimeError("no missing pictures")

    with pytest.raises(RuntimeError, match="no missing"):
        stillreel.convert(out, names, on_picture=refuse)
    assert out.read_bytes() == b"previous" and os.listdir(tmp_path) == ["out.avi"]


def test_ctrl_c_cancels_cleanly(tmp_path):
    # A real SIGINT at the third report, as a terminal's Ctrl-C sends it.
    script = textwrap.dedent("""
        import os, signal, sys, stillreel
        def report(p):
            if p.entry == 3:
                os.kill(os.getpid(), signal.SIGINT)
        try:
            stillreel.convert(sys.argv[1], sys.argv[2:], smooth=4, progress=report)
        except KeyboardInterrupt:
            sys.exit(42)
        """)
    proc = python("-c", script, str(tmp_path / "out.avi"), *DEMO, cwd=tmp_path)
    assert proc.returncode == 42, proc.stderr
    assert os.listdir(tmp_path) == []
    # The command-line module exits with the tool's status for an interrupt.
    proc = python("-c", "import signal, os, stillreel.__main__ as m, stillreel\n"
                  "real = stillreel.convert\n"
                  "def convert(*a, **k):\n"
                  "    k['progress'] = lambda p: p.entry == 2 and os.kill(os.getpid(), 2)\n"
                  "    return real(*a, **k)\n"
                  "stillreel.convert = convert\n"
                  "raise SystemExit(m.main())", "-o", "x.avi", *DEMO, cwd=tmp_path)
    assert proc.returncode == 7 and b"interrupted" in proc.stderr
    assert os.listdir(tmp_path) == []


def test_a_named_library_is_the_only_one_tried(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(SOURCE / "python"),
               STILLREEL_LIBRARY=str(tmp_path / "typo" / "libstillreel.so.1"))
    proc = subprocess.run([sys.executable, "-m", "stillreel", "--version"], env=env,
                          capture_output=True)
    assert proc.returncode == 69 and b"typo" in proc.stderr, proc.stderr


def test_module_mirrors_the_tool(tmp_path):
    want = tool(tmp_path, "--smooth", "2", "--classic", *DEMO)
    listed = tmp_path / "frames.txt"
    listed.write_text("".join(name + "\n" for name in DEMO))
    proc = python("-m", "stillreel", "--smooth", "2", "--classic", "--list", "-", "-o", "-",
                  input=listed.read_bytes())
    assert proc.returncode == 0 and proc.stdout == want, proc.stderr
    proc = python("-m", "stillreel", "--check", "--list", str(listed))
    assert proc.returncode == 0 and b"frames:     6 frames of 80x60" in proc.stdout
    for args in (["-o", "x.avi"], ["--classic", "--container", "avi1", "-o", "x.avi", DEMO[0]],
                 ["--bogus"]):
        assert python("-m", "stillreel", *args, cwd=tmp_path).returncode == 64, args
    proc = python("-m", "stillreel", "-o", str(tmp_path / "x.avi"), "--list",
                  str(tmp_path / "none"))
    assert proc.returncode == 3 and b"frame list" in proc.stderr
    assert python("-m", "stillreel", "--version").stdout.startswith(b"stillreel 1.")


def installed_package_run(site, tmp_path):
    """Converts the demo with the package under `site`, the library found
    without STILLREEL_LIBRARY."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("STILLREEL_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(site)
    return subprocess.run(
        [sys.executable, "-c", "import stillreel, sys; "
         "print(stillreel.__file__); print(stillreel.convert(sys.argv[1], sys.argv[2:]))",
         str(tmp_path / "out.avi"), *DEMO], env=env, capture_output=True, cwd=tmp_path)


def test_installed_by_cmake_finds_its_library(tmp_path):
    prefix = pathlib.Path(os.environ["STILLREEL_INSTALLED_PREFIX"])
    sites = glob.glob(str(prefix / "lib" / "python3*" / "*-packages"))
    assert len(sites) == 1, f"one Python package folder under {prefix}/lib: {sites}"
    proc = installed_package_run(sites[0], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode().startswith(sites[0])
    assert (tmp_path / "out.avi").read_bytes() == tool(tmp_path, *DEMO)


def test_pip_installs_offline(tmp_path):
    # Debian's pip and setuptools, without the network: the wheel is built
    # here and holds only the package; the library comes from STILLREEL_LIBRARY.
    if shutil.which("pip3") is None and subprocess.run(
            [sys.executable, "-m", "pip", "--version"], capture_output=True).returncode != 0:
        pytest.fail("pip is missing (Debian's python3-pip)")
    source = tmp_path / "source"
    shutil.copytree(SOURCE / "python", source, ignore=shutil.ignore_patterns("__pycache__"))
    target = tmp_path / "site"
    proc = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation",
                           "--no-index", "--target", str(target), str(source)],
                          capture_output=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    env = dict(os.environ, PYTHONPATH=str(target))
    proc = subprocess.run([sys.executable, "-c", "import stillreel, sys; print(stillreel.__file__);"
                           "stillreel.convert(sys.argv[1], sys.argv[2:])",
                           str(tmp_path / "out.avi"), *DEMO], env=env, capture_output=True)
    assert proc.returncode == 0 and proc.stdout.decode().startswith(str(target)), proc.stderr
    assert (tmp_path / "out.avi").exists()


def _numpy():
    """numpy, which the Writer's tests feed it; missing, they fail under CI."""
    try:
        import numpy
    except ImportError:
        if os.environ.get("CI") == "true":
            pytest.fail("numpy is missing (Debian's python3-numpy); CI=true needs it")
        pytest.skip("numpy is missing (Debian's python3-numpy)")
    return numpy


def _frames(np):
    """RGB frames of the first size, another size, and a flat one."""
    rng = np.random.default_rng(7)
    return [rng.integers(0, 256, (6, 10, 3), dtype=np.uint8),
            rng.integers(0, 256, (9, 4, 3), dtype=np.uint8),
            rng.integers(0, 256, (6, 10, 3), dtype=np.uint8),
            np.full((6, 10, 3), (250, 10, 128), dtype=np.uint8)]


def _as_bmps(tmp_path, frames, mode="RGB"):
    from PIL import Image
    names = []
    for k, frame in enumerate(frames):
        names.append(str(tmp_path / f"f{k}.bmp"))
        Image.fromarray(frame, mode).save(names[-1])
    return names


@pytest.mark.parametrize("smooth, counted, container", [
    (1, True, "auto"), (3, True, "opendml"), (4, False, "avi1"), (2, False, "avi1"),
])
def test_writer_files_are_converts_from_every_kind_of_frame(tmp_path, smooth, counted, container):
    """Each frame given another way (contiguous, flipped, cut from a larger
    array, OpenCV's order, with alpha, a Pillow image, a BMP's bytes) gives
    the file convert() writes for the same pictures as BMP files."""
    np = _numpy()
    from PIL import Image
    frames = _frames(np)
    names = _as_bmps(tmp_path, frames)
    want = tmp_path / "want.avi"
    stillreel.convert(want, names, fps=12.5, smooth=smooth, container=container)
    big = np.zeros((20, 30, 3), dtype=np.uint8)
    big[3:9, 5:15] = frames[2]
    given = [
        [frames[0], np.ascontiguousarray(frames[1][::-1])[::-1], big[3:9, 5:15], frames[3]],
        [Image.fromarray(frames[0]), memoryview(frames[1].tobytes()).cast("B", frames[1].shape),
         pathlib.Path(names[2]).read_bytes(), np.dstack([frames[3], np.full((6, 10), 9, np.uint8)])],
    ]
    for k, feed in enumerate(given):
        have = tmp_path / f"have{k}.avi"
        with stillreel.Writer(have, fps=12.5, smooth=smooth, container=container,
                              pictures=len(feed) if counted else None) as writer:
            for frame in feed:
                writer.write(frame)
        assert have.read_bytes() == want.read_bytes(), f"feed {k}"
        assert writer.summary.frame_count == (len(frames) - 1) * smooth + 1
    # OpenCV's order, strided: the channels reversed in place.
    have = tmp_path / "bgr.avi"
    with stillreel.Writer(have, fps=12.5, smooth=smooth, container=container,
                          pictures=len(frames) if counted else None, channels="bgr") as writer:
        for frame in frames:
            writer.write(frame[:, :, ::-1])
    assert have.read_bytes() == want.read_bytes()


def test_writer_grey_frames_are_gray8(tmp_path):
    """(h, w) arrays and mode L images make 8-bit grey frames by themselves,
    the file convert(pixels="gray8") writes for them."""
    np = _numpy()
    from PIL import Image
    frames = [frame[:, :, 0].copy() for frame in _frames(np)]
    names = _as_bmps(tmp_path, frames, "L")
    want = tmp_path / "want.avi"
    stillreel.convert(want, names, smooth=2, pixels="gray8")
    have = tmp_path / "have.avi"
    with stillreel.Writer(have, smooth=2, pictures=4) as writer:
        writer.write(frames[0])
        writer.write(Image.fromarray(frames[1], "L"))
        writer.write(frames[2][::-1][::-1])
        writer.write(memoryview(bytearray(frames[3].tobytes())).cast("B", frames[3].shape))
    assert writer.summary.pixels == "gray8"
    assert have.read_bytes() == want.read_bytes()


def test_writer_bgra32_keeps_alpha_uncounted(tmp_path):
    """RGBA frames with pixels="bgra32", their number not given: ffmpeg
    decodes the frames as bgra to the colours and alphas given, and the fade
    between them to BlendChannel on all four bytes."""
    np = _numpy()
    rng = np.random.default_rng(11)
    frames = [rng.integers(0, 256, (6, 10, 4), dtype=np.uint8) for _ in range(2)]
    have = tmp_path / "alpha.avi"
    with stillreel.Writer(have, smooth=3, pixels="bgra32") as writer:
        for frame in frames:
            writer.write(frame)
    assert writer.summary.pixels == "bgra32" and writer.summary.frame_count == 4
    decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", str(have), "-f", "rawvideo",
                              "-pix_fmt", "bgra", "-"], capture_output=True, check=True).stdout
    shown = [frame[:, :, [2, 1, 0, 3]].tobytes() for frame in frames]
    size = len(shown[0])
    assert [decoded[i * size:(i + 1) * size] for i in (0, 3)] == shown
    for l in (1, 2):
        t = l / 3
        want = bytes(int(a * (1.0 - t) + b * t) for a, b in zip(shown[0], shown[1]))
        assert decoded[l * size:(l + 1) * size] == want, "fade step %d" % l


def test_writer_refuses_wrong_frames_and_goes_on(tmp_path):
    np = _numpy()
    frame = _frames(np)[0]
    out = tmp_path / "out.avi"
    with stillreel.Writer(out, pictures=2) as writer:
        for bad, says in ((frame.astype(np.float32), "dtype '<f4'"),
                          (frame[:, :, :2], "shape (6, 10, 2)"),
                          (frame[:0], "no pixels"),
                          (b"not a picture", "not a BMP file"),
                          (object(), "object")):
            with pytest.raises(ValueError, match=re.escape(says)) as error:
                writer.write(bad)
            assert "needs a uint8 array" in str(error.value)
        writer.write(frame)
        writer.write(frame)
        with pytest.raises(stillreel.BadArgument, match=r"frame 3 is beyond pictures=2"):
            writer.write(frame)
        with pytest.raises(stillreel.BadArgument, match=r"3 frames written, pictures=2 given"):
            writer.close()
    assert not out.exists()
    with pytest.raises(stillreel.BadArgument, match=r"1 frames written, pictures=2 given") as error:
        with stillreel.Writer(out, pictures=2) as writer:
            writer.write(frame)
    assert error.value.summary.picture_count == 2 and error.value.summary.pictures_appended == 1
    assert sorted(os.listdir(tmp_path)) == []


def test_writer_aborts_on_an_exception_and_pipes_need_the_count(tmp_path):
    np = _numpy()
    frame = _frames(np)[0]
    out = tmp_path / "out.avi"
    out.write_bytes(b"previous")
    with pytest.raises(KeyError):
        with stillreel.Writer(out, smooth=3) as writer:
            writer.write(frame)
            writer.write(frame)
            raise KeyError("the caller's")
    assert out.read_bytes() == b"previous" and os.listdir(tmp_path) == ["out.avi"]
    # An exception in a callback cancels, and is raised where it happened.
    with pytest.raises(ZeroDivisionError):
        with stillreel.Writer(out, smooth=2, progress=lambda p: 1 / 0) as writer:
            writer.write(frame)
    assert out.read_bytes() == b"previous" and os.listdir(tmp_path) == ["out.avi"]
    read, write = os.pipe()
    try:
        with pytest.raises(stillreel.BadArgument, match="cannot seek needs pictures="):
            stillreel.Writer(write, pixels="bgr24")
        with pytest.raises(stillreel.BadArgument):
            stillreel.Writer(write)
        # Counted, the file goes through the pipe front to back.
        want = tmp_path / "want.avi"
        stillreel.convert(want, _as_bmps(tmp_path, [frame, frame]), smooth=2)
        with stillreel.Writer(write, smooth=2, pictures=2) as writer:
            writer.write(frame)
            writer.write(frame)
        os.close(write)
        write = -1
        got = b""
        while chunk := os.read(read, 1 << 16):
            got += chunk
        assert got == want.read_bytes()
    finally:
        os.close(read)
        if write >= 0:
            os.close(write)


def test_package_is_typed():
    assert "Writer" in stillreel.__all__
    assert (pathlib.Path(stillreel.__file__).parent / "py.typed").exists()
    assert stillreel.Writer.write.__annotations__["frame"] == "Any"
