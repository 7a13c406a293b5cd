#!/usr/bin/env python3
"""Runs the stillreel tool as a user would and checks what it says and writes.

The environment names the tool (STILLREEL_TOOL), a VOD2ERI host program
(VOD2ERI_RUN), the source folder and the project version. Peer tools
(ImageMagick, ffprobe) missing make a test skip, or fail when CI=true.
"""

import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

TOOL = os.environ["STILLREEL_TOOL"]
VOD2ERI_RUN = os.environ["VOD2ERI_RUN"]
SOURCE = os.environ["STILLREEL_SOURCE_DIR"]
VERSION = os.environ["STILLREEL_VERSION"]
CONVERT = "/usr/bin/convert"  # ImageMagick itself, not a stand-in elsewhere on PATH
DEMO = ["examples/%02d.bmp" % i for i in range(1, 7)]


def bmp24(width, height, colour=(0, 0, 255)):
    """A bottom-up 24-bit BMP of one colour (blue, green, red)."""
    row = bytes(colour) * width
    row += bytes(-len(row) % 4)
    pixels = row * height
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 0, 0, 0, 0)
    return header + info + pixels


def run(args, cwd=SOURCE, **kw):
    return subprocess.run([TOOL] + args, cwd=cwd, capture_output=True, **kw)


def need(test, path):
    if shutil.which(path) is None:
        if os.environ.get("CI") == "true":
            test.fail(path + " is missing")
        test.skipTest(path + " is missing")


def complete(words):
    """What the bash completion offers for `stillreel WORDS...`, the last word
    being the one completed."""
    script = ("source %s/tools/stillreel/completion.bash; COMP_WORDS=(stillreel \"$@\"); "
              "COMP_CWORD=$#; _stillreel; printf '%%s\\n' \"${COMPREPLY[@]}\"" % SOURCE)
    proc = subprocess.run(["bash", "-c", script, "complete"] + words, capture_output=True,
                          check=True, cwd=SOURCE)
    return [line for line in proc.stdout.decode().splitlines() if line]


def writing_in(proc, target):
    """Whether the tool has a file open beside `target`: a temporary file
    shows up among its descriptors even when it has no name, or else in the
    folder."""
    target = os.path.realpath(target)
    folder = os.path.dirname(target)
    try:
        descriptors = os.listdir("/proc/%d/fd" % proc.pid)
    except OSError:
        return len(os.listdir(folder)) > 1
    for fd in descriptors:
        try:
            name = os.readlink("/proc/%d/fd/%s" % (proc.pid, fd))
        except OSError:
            continue
        if os.path.dirname(name) == folder and name != target:
            return True
    return False


def joined(names, cwd=SOURCE):
    """The files `names` one after another, as `cat` writes them."""
    data = b""
    for name in names:
        with open(os.path.join(cwd, name), "rb") as f:
            data += f.read()
    return data


def first_difference(have, want):
    for i, (a, b) in enumerate(zip(have, want)):
        if a != b:
            return "byte %d: have %d, want %d" % (i, a, b)
    return "lengths: have %d, want %d" % (len(have), len(want))


class ToolCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="stillreel-tool-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def expect(self, proc, status, context):
        self.assertEqual(proc.returncode, status, "%s: have status %d, want %d; stderr: %s" % (
            context, proc.returncode, status, proc.stderr.decode(errors="replace")))


class Usage(ToolCase):
    def test_usage_errors_exit_64_and_create_nothing(self):
        out = self.path("out.avi")
        pic = DEMO[0]
        cases = [
            [], ["-o", out], [pic], ["-o", out, "--list", "examples/frames.txt", pic],
            ["--bogus", "-o", out, pic], ["-x", "-o", out, pic], ["-o"], ["-o", "", pic],
            ["--list", "", "-o", out], ["--check=1", pic],
            ["--container", "avi3", "-o", out, pic], ["--container", "-o", out, pic],
            ["--classic", "--container", "avi1", "-o", out, pic], ["--classic=1", "-o", out, pic],
            ["--pixels", "rgb24", "-o", out, pic], ["--pixels", "", "-o", out, pic],
            ["--classic", "--pixels", "gray8", "-o", out, pic],
            ["--classic", "--pixels", "bgra32", "-o", out, pic],
            ["-o", out, "-", pic], ["-o", out, pic, "-"], ["-o", out, "-", "-"],
            ["-o", out, "--list", "-", "-"], ["--pictures", "2", "-o", out, pic],
            ["--pictures", "2", "-o", out, "--list", "examples/frames.txt"],
        ]
        for count in ["0", "-1", "x", "2147483648", ""]:
            cases.append(["--pictures", count, "-o", out, "-"])
        for rate in ["abc", "0", "-1", "1e3", "21474837", "21474836.48", "", "1.2.3",
                     "0.004", " 15", "15 ", "+15", "0x10", "."]:
            cases.append(["--fps", rate, "-o", out, pic])
        for smooth in ["0", "-2", "x", "2147483648", "1.5", ""]:
            cases.append(["--smooth", smooth, "-o", out, pic])
        for threads in ["-1", "x", "2147483648", "1.5", ""]:
            cases.append(["--threads", threads, "-o", out, pic])
        for args in cases:
            proc = run(args, input=b"")
            self.expect(proc, 64, repr(args))
            self.assertIn(b"usage: stillreel", proc.stderr, repr(args))
            self.assertEqual(proc.stdout, b"", repr(args))
            self.assertEqual(os.listdir(self.tmp), [], repr(args))

    def test_rate_is_rounded_to_hundredths_with_one_notice(self):
        cases = [("29.976", "29.98", 33355, True), ("29.974", "29.97", 33366, True),
                 ("29.970", "29.97", 33366, False), ("0.005", "0.01", 100000000, True),
                 ("15", "15", 66666, False), (".5", "0.5", 2000000, False)]
        for text, shown, micros, notice in cases:
            proc = run(["--check", "--fps", text, DEMO[0]])
            self.expect(proc, 0, "--fps " + text)
            self.assertRegex(proc.stdout.decode(), r"rate: +%s frames per second \(%s x 1\), %d "
                             % (re.escape(shown), re.escape(shown), micros), "--fps " + text)
            want = ["stillreel: rate %s rounded to %s pictures per second" % (text, shown)]
            self.assertEqual(proc.stderr.decode().splitlines(), want if notice else [], text)
        self.assertEqual(run(["-q", "--check", "--fps", "29.976", DEMO[0]]).stderr, b"")

    def test_help_version_and_manual_agree(self):
        proc = run(["--help"])
        self.expect(proc, 0, "--help")
        help_text = proc.stdout.decode()
        with open(os.path.join(SOURCE, "doc/stillreel.1")) as f:
            manual = f.read().replace("\\-", "-")
        options = lambda text: set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", text))
        help_options = options(help_text.split("Exit status")[0])
        manual_options = options(manual.split(".SH OPTIONS")[1].split(".SH EXIT STATUS")[0])
        self.assertEqual(help_options, manual_options, "options in --help vs the manual page")
        for status in re.findall(r"(\d+) [a-z]", help_text.split("Exit status:")[1]):
            self.assertIn(".B %s\n" % status, manual, "exit status %s missing in the manual" % status)
        proc = run(["--version"])
        self.assertEqual(proc.stdout.decode(), "stillreel %s\n" % VERSION)
        # The bash completion offers the same long options, and the values of
        # --container.
        long_options = {o for o in help_options if o.startswith("--")}
        self.assertEqual(set(complete(["--"])), long_options, "completion of --")
        self.assertEqual(complete(["--container", "a"]), ["auto", "avi1"], "--container a")
        self.assertEqual(complete(["--smooth", ""]), [], "no completion of a count")


class Failures(ToolCase):
    def test_each_failure_has_its_status_and_one_line(self):
        big = self.write("big.bmp", bmp24(1, 1)[:18] + struct.pack("<ii", 40000, 30000) +
                         bmp24(1, 1)[26:])
        empty = self.write("empty.txt", b"")
        cases = [
            (1, [big, "--classic"], "larger than 2048 MiB"),
            (1, [big, "--container", "avi1"], "larger than 2048 MiB"),
            (1, [big], "AVI 2.0 file cannot hold"),
            (2, [DEMO[0], "-o", self.path("no/such/folder/out.avi")], "cannot be created"),
            (2, [DEMO[0], "-o", self.tmp], "cannot be created"),
            (3, ["--list", self.path("missing.txt")], "frame list"),
            (3, ["--list", empty], "frame list"),
            (3, ["--list", self.tmp], "frame list"),
            (3, ["--list", "-"], "standard input"),
            (3, ["-"], "standard input: no BMP pictures came"),
            (4, ["--fps", "1000000.01", DEMO[0]], "out of range"),
            (4, ["--fps", "500000", "--smooth", "3", DEMO[0]], "out of range"),
            (5, [DEMO[0], "-o", "/dev/full"], "writing"),
        ]
        for status, args, words in cases:
            if "-o" not in args:
                args = args + ["-o", self.path("out.avi")]
            proc = run(args, input=b"")
            self.expect(proc, status, repr(args))
            lines = proc.stderr.decode().splitlines()
            self.assertEqual(len(lines), 1, "%r: have stderr %r, want one line" % (args, lines))
            self.assertIn(words, lines[0], repr(args))
            self.assertRegex(lines[0], r"^stillreel: .*; \w", repr(args))
            self.assertFalse(os.path.exists(self.path("out.avi")), repr(args))
        # --check knows the first outcome too, and does not try the output.
        self.expect(run(["--check", big]), 1, "--check of a too large picture")

    def start_writing(self, args, target, dispositions):
        """Starts the tool with the signals' dispositions given and returns it
        once it writes the file that is to replace `target`."""
        def prepare():
            for number, disposition in dispositions.items():
                signal.signal(number, disposition)
        proc = subprocess.Popen([TOOL] + args, stderr=subprocess.PIPE, preexec_fn=prepare)
        while not writing_in(proc, target) and proc.poll() is None:
            time.sleep(0.001)
        if proc.poll() is not None:
            self.fail("%r: the conversion ended (status %d) before it was seen writing"
                      % (args, proc.returncode))
        return proc

    def test_interrupt_leaves_previous_file(self):
        # Two pictures faded over many frames: long enough to stop half-way.
        a = self.write("a.bmp", bmp24(200, 150, (255, 0, 0)))
        b = self.write("b.bmp", bmp24(200, 150, (0, 255, 0)))
        folder = self.path("out")
        os.mkdir(folder)
        out = os.path.join(folder, "out.avi")
        caught = {number: signal.SIG_DFL for number in (signal.SIGINT, signal.SIGHUP,
                                                         signal.SIGQUIT)}
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
            with open(out, "wb") as f:
                f.write(b"previous")
            proc = self.start_writing(["-q", "--smooth", "20000", a, b, "-o", out], out, caught)
            proc.send_signal(sig)
            stderr = proc.communicate()[1].decode()
            self.assertEqual(proc.returncode, 7, "%s: stderr %s" % (sig.name, stderr))
            self.assertIn("nothing was written", stderr)
            self.assertEqual(os.listdir(folder), ["out.avi"], sig.name)
            with open(out, "rb") as f:
                self.assertEqual(f.read(), b"previous", sig.name)
        # A hangup ignored when the tool starts (nohup) does not stop it.
        proc = self.start_writing(["--smooth", "4000", a, b, "-o", out], out,
                                  {signal.SIGHUP: signal.SIG_IGN})
        proc.send_signal(signal.SIGHUP)
        stderr = proc.communicate()[1].decode()
        self.assertEqual(proc.returncode, 0, "SIGHUP ignored: stderr %s" % stderr)
        self.assertIn("wrote %s: 4001 frames" % out, stderr)
        self.assertRegex(stderr, r", %d bytes\n$" % os.path.getsize(out))
        self.assertEqual(os.listdir(folder), ["out.avi"])


    def test_interrupt_while_waiting_for_a_picture(self):
        # The tool reads a stream from a pipe whose writer stays: each of
        # these stops it at once, though no frame is being written.
        folder = self.path("out")
        os.mkdir(folder)
        out = os.path.join(folder, "out.avi")
        for sig in (signal.SIGINT, signal.SIGTERM):
            with open(out, "wb") as f:
                f.write(b"previous")
            proc = subprocess.Popen([TOOL, "-q", "--smooth", "3", "-o", out, "-"], cwd=SOURCE,
                                    stdin=subprocess.PIPE, stderr=subprocess.PIPE)
            proc.stdin.write(joined(DEMO[:2]))
            proc.stdin.flush()
            while not writing_in(proc, out) and proc.poll() is None:
                time.sleep(0.001)
            time.sleep(0.2)  # into the wait for the third picture
            proc.send_signal(sig)
            try:
                stderr = proc.communicate(timeout=10)[1].decode()
            except subprocess.TimeoutExpired:
                proc.kill()
                self.fail("%s: still waiting for standard input 10 s after the signal" % sig.name)
            self.assertEqual(proc.returncode, 7, "%s: stderr %s" % (sig.name, stderr))
            self.assertIn("nothing was written", stderr)
            self.assertEqual(os.listdir(folder), ["out.avi"], sig.name)
            with open(out, "rb") as f:
                self.assertEqual(f.read(), b"previous", sig.name)


class Pictures(ToolCase):
    def make_list(self):
        need(self, CONVERT)
        rle = self.path("rle.bmp")
        wide = self.path("wide.bmp")
        subprocess.run([CONVERT, os.path.join(SOURCE, DEMO[1]), "-compress", "RLE", "BMP3:" + rle],
                       check=True)
        subprocess.run([CONVERT, "-size", "100x50", "xc:orange", "-type", "TrueColor",
                        "BMP3:" + wide], check=True)
        text = self.write("text.bmp", b"not a picture\n")
        return [os.path.join(SOURCE, DEMO[0]), self.path("missing.bmp"), rle, text, wide]

    def test_warnings_name_entry_and_reason(self):
        names = self.make_list()
        out = self.path("out.avi")
        proc = run(names + ["--classic", "-o", out], cwd=self.tmp)
        self.expect(proc, 0, "conversion with unreadable pictures")
        stderr = proc.stderr.decode()
        for pattern in [r"warning: picture 2 of 5 '.*missing\.bmp' cannot be opened",
                        r"warning: picture 3 of 5 '.*rle\.bmp' is run-length encoded",
                        r"warning: picture 4 of 5 '.*text\.bmp' is not a BMP",
                        r"warning: picture 5 of 5 '.*wide\.bmp' differs in size .*100x50, not 80x60",
                        r"wrote .*out\.avi: 5 frames of 80x60 at 25 fps, AVI 1\.0, %d bytes, "
                        r"3 pictures unreadable" % os.path.getsize(out)]:
            self.assertRegex(stderr, pattern)
        self.assertEqual(proc.stdout, b"")
        # Read in full, as the tool does by default, the run-length file is a picture.
        proc = run(names + ["-o", out], cwd=self.tmp)
        self.expect(proc, 0, "conversion with full reading")
        stderr = proc.stderr.decode()
        self.assertNotIn("rle.bmp", stderr)
        self.assertRegex(stderr, r"wrote .*out\.avi: 5 frames of 80x60 at 25 fps, AVI 1\.0, "
                         r"%d bytes, 2 pictures unreadable" % os.path.getsize(out))

    def test_stream_cut_short_or_followed_by_other_bytes(self):
        # Each stream against the file of a list: a cut picture is one that
        # cannot be read, bytes that are no BMP end the pictures.
        need(self, CONVERT)
        rle = self.path("rle.bmp")
        subprocess.run([CONVERT, os.path.join(SOURCE, DEMO[1]), "-compress", "RLE", "BMP3:" + rle],
                       check=True)
        a, b, c = joined([DEMO[0]]), joined([rle]), joined([DEMO[2]])
        cut_at = len(a) + len(b) + len(c) - 100
        cases = [
            ("cut in the pixels", a + b + c[:-100], [], 0, [DEMO[0], rle, "missing.bmp"],
             [r"warning: picture 3 of standard input \(byte %d\) is cut short: the input ends "
              r"at byte %d, inside it; its frame is white\n" % (len(a) + len(b), cut_at)]),
            ("cut in the headers", a + c[:30], [], 0, [DEMO[0], "missing.bmp"],
             [r"picture 2 of standard input \(byte %d\) is cut short: the input ends at byte "
              r"%d" % (len(a), len(a) + 30)]),
            ("other bytes after", a + b + b"GIF89a" + c, [], 0, [DEMO[0], rle],
             [r"warning: standard input holds bytes that are not a BMP file \(they do not "
              r"start with \"BM\"\) from byte %d on; they and the rest are skipped\n"
              % (len(a) + len(b))]),
            ("more than counted", a + b + c, ["--pictures", "2"], 0, [DEMO[0], rle],
             [r"standard input goes on after the 2 pictures of --pictures \(byte %d on\); "
              r"the rest is skipped" % (len(a) + len(b))]),
            ("fewer than counted", a + b, ["--pictures", "3"], 4, None,
             [r"^stillreel: standard input: it held 2 pictures, not the 3 of --pictures; "
              r"nothing was written"]),
            ("cut and counted", a + c[:-1], ["--pictures", "2"], 0, [DEMO[0], "missing.bmp"],
             [r"picture 2 of standard input \(byte %d\) is cut short" % len(a)]),
            ("no BMP at all", b"GIF89a" + a, [], 3, None,
             [r"not a BMP file .* from byte 0 on", r"standard input: no BMP pictures came"]),
        ]
        for what, stream, options, status, names, patterns in cases:
            out, want = self.path("stream.avi"), self.path("names.avi")
            proc = run(["--container", "avi1", "-o", out] + options + ["-"], input=stream)
            self.expect(proc, status, what)
            stderr = proc.stderr.decode()
            for pattern in patterns:
                self.assertRegex(stderr, pattern, what)
            if names is None:
                self.assertFalse(os.path.exists(out), what)
                continue
            self.assertRegex(stderr, r"wrote .*stream\.avi: %d frames" % len(names), what)
            self.expect(run(["-q", "--container", "avi1", "-o", want] + names), 0, what)
            with open(out, "rb") as f, open(want, "rb") as g:
                have, expected = f.read(), g.read()
            self.assertTrue(have == expected, "%s: %s" % (what, first_difference(have, expected)))
            os.remove(out)

    def test_check_writes_nothing_and_reports(self):
        names = self.make_list()
        out = self.write("out.avi", b"previous")
        before = sorted(os.listdir(self.tmp))
        proc = run(["--check", "--classic", "--fps", "12.5", "--smooth", "3"] + names + ["-o", out])
        self.expect(proc, 0, "--check")
        self.assertEqual(sorted(os.listdir(self.tmp)), before)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"previous")
        report = proc.stdout.decode()
        real = self.path("real.avi")
        self.expect(run(["-q", "--classic", "--fps", "12.5", "--smooth", "3"] + names +
                        ["-o", real]), 0, "real")
        for pattern in [r"picture 3 of 5 '.*rle\.bmp' is run-length encoded",
                        r"pictures: +5, 3 unreadable", r"frames: +13 frames of 80x60",
                        r"rate: +37\.5 frames per second \(12\.5 x 3\), 26666 microseconds",
                        r"container: +AVI 1\.0\n", r"file size: +%d bytes" % os.path.getsize(real)]:
            self.assertRegex(report, pattern)
        self.assertNotIn("grey", report)
        self.expect(run(["--check"] + names), 0, "--check without -o")
        # Grey pictures, a table of greys (ImageMagick's) and R = G = B, and
        # an unreadable one: --check says gray8 would do, unless a colour
        # shows or gray8 is asked for.
        palette = self.path("palette.bmp")
        subprocess.run([CONVERT, "-size", "40x30", "gradient:", "-type", "Grayscale",
                        "BMP3:" + palette], check=True)
        grey = [palette, self.write("grey.bmp", bmp24(40, 30, (90, 90, 90))), names[1]]
        hint = "every picture is grey: --pixels gray8 writes a third of the bytes"
        for args, said in [([], True), (["--pixels", "gray8"], False),
                           ([self.write("tint.bmp", bmp24(40, 30, (90, 91, 90)))], False)]:
            report = run(["--check"] + grey + args).stdout.decode()
            self.assertEqual(hint in report, said, args)


class Lists(ToolCase):
    def test_list_from_pipe_file_and_command_line_agree(self):
        listed = self.write("frames.txt", "".join(n + "\r\n" for n in DEMO).encode())
        outs = [self.path(n) for n in ("pipe.avi", "file.avi", "args.avi")]
        pipe = subprocess.run("printf '%%s\\r\\n' %s | %s --list - -o %s" % (
            " ".join(DEMO), TOOL, outs[0]), shell=True, cwd=SOURCE, capture_output=True)
        self.expect(pipe, 0, "--list - from a pipe")
        self.expect(run(["--list", listed, "-o", outs[1]]), 0, "--list FILE")
        self.expect(run(DEMO + ["-o", outs[2]]), 0, "pictures as arguments")
        data = []
        for out in outs:
            with open(out, "rb") as f:
                data.append(f.read())
        for name, have in zip(outs[1:], data[1:]):
            self.assertEqual(have, data[0], "%s vs pipe.avi: %s" % (name, first_difference(have, data[0])))


    def test_stream_of_bmps_equals_the_pictures_named(self):
        # The BMP files themselves one after another on standard input, from
        # a pipe: counted, the file of any kind is the one of the same
        # pictures named; not counted, AVI 1.0 is, and AVI 2.0-ready files
        # decode to the same frames. ImageMagick writes the pictures beyond
        # the demo's: run-length encoded, 32-bit with alpha (a version 5
        # header with bit fields), and of another size.
        need(self, CONVERT)
        need(self, "ffmpeg")
        extra = [self.path(n) for n in ("rle.bmp", "alpha.bmp", "wide.bmp")]
        subprocess.run([CONVERT, os.path.join(SOURCE, DEMO[1]), "-compress", "RLE",
                        "BMP3:" + extra[0]], check=True)
        subprocess.run([CONVERT, os.path.join(SOURCE, DEMO[3]), "-alpha", "on", "-channel", "A",
                        "-fx", "0.5", "-type", "TrueColorAlpha", extra[1]], check=True)
        subprocess.run([CONVERT, "-size", "100x50", "xc:orange", "-type", "TrueColor",
                        "BMP3:" + extra[2]], check=True)
        names = DEMO + extra
        stream = self.write("stream.bmps", joined(names))
        count = str(len(names))
        runs = [["--pictures", count], ["--pictures", count, "--smooth", "4", "--threads", "2"],
                ["--pictures", count, "--smooth", "3", "--container", "opendml"],
                ["--smooth", "4", "--container", "avi1"],
                ["--pixels", "gray8", "--smooth", "2", "--container", "avi1"],
                ["--classic", "--smooth", "2"], ["--smooth", "4"]]
        for options in runs:
            context = " ".join(options)
            out, want = self.path("stream.avi"), self.path("names.avi")
            proc = subprocess.run("cat %s | %s %s -o %s -" % (stream, TOOL, context, out),
                                  shell=True, cwd=SOURCE, capture_output=True)
            self.expect(proc, 0, context)
            options = [o for o in options if o not in ("--pictures", count)]
            self.expect(run(options + ["-q", "-o", want] + names), 0, context)
            with open(out, "rb") as f, open(want, "rb") as g:
                have, expected = f.read(), g.read()
            if "--pictures" in context or "avi1" in context or "--classic" in context:
                self.assertTrue(have == expected, "%s: %s" % (
                    context, first_difference(have, expected)))
                continue
            decoded = [subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo",
                                       "-pix_fmt", "bgr24", "-"], capture_output=True,
                                      check=True).stdout for path in (out, want)]
            frames = (len(names) - 1) * int(options[options.index("--smooth") + 1]) + 1
            self.assertEqual(len(decoded[1]), frames * 80 * 60 * 3, context)
            self.assertTrue(decoded[0] == decoded[1], "%s: frames differ" % context)


class Terminal(ToolCase):
    def run_on_terminal(self, args, stdin=None):
        """Runs the tool with its standard error on a pseudo-terminal."""
        master, slave = pty.openpty()
        proc = subprocess.Popen([TOOL] + args, cwd=SOURCE, stderr=slave, stdout=subprocess.PIPE,
                                stdin=stdin)
        os.close(slave)
        seen = b""
        while True:
            ready, _, _ = select.select([master], [], [], 30)
            if not ready:
                proc.kill()
                self.fail("no output on the terminal for 30 s; have %r" % seen)
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the tool closed its end
                break
            if not chunk:
                break
            seen += chunk
        os.close(master)
        proc.wait()
        proc.stderr = seen
        return proc, seen.decode()

    def test_progress_line_only_on_a_terminal(self):
        out = self.path("out.avi")
        args = ["--fps", "2", "--smooth", "12", "--list", "examples/frames.txt", "-o", out]
        proc, screen = self.run_on_terminal(args)
        self.expect(proc, 0, "on a terminal")
        lines = re.findall(r"Progress: ([\d.]+)% - (\d+) of (\d+) frames, ([^\r\n]*)", screen)
        self.assertTrue(lines, "no progress line in %r" % screen)
        self.assertEqual(lines[0][:3], ("0.0", "0", "61"), screen)
        self.assertEqual(lines[-1], ("100.0", "61", "61", "0:00 left"), screen)
        self.assertIn("\r", screen, "the progress line is rewritten in place")
        self.assertRegex(screen, r"\r?\n?stillreel: wrote .*out\.avi: 61 frames")
        proc, screen = self.run_on_terminal(["--quiet"] + args)
        self.expect(proc, 0, "--quiet on a terminal")
        self.assertEqual(screen, "", "--quiet shows nothing")
        proc = run(args)
        self.assertNotIn(b"Progress", proc.stderr, "standard error is not a terminal")
        # Pictures from a stream, not counted: pictures and frames, no percent.
        with open(self.write("stream.bmps", joined(DEMO)), "rb") as stream:
            proc, screen = self.run_on_terminal(["--fps", "2", "--smooth", "12", "-o", out, "-"],
                                                stdin=stream)
        self.expect(proc, 0, "a stream on a terminal")
        lines = re.findall(r"Progress: ([^\r\n]*)", screen)
        self.assertTrue(lines, "no progress line in %r" % screen)
        # Until the index, when the count is known at last.
        self.assertEqual(lines[0], "0 pictures, 0 frames written", screen)
        for line in lines[:-1]:
            self.assertRegex(line, r"^\d+ pictures, \d+ frames written$", screen)
        self.assertEqual(lines[-1], "100.0% - 61 of 61 frames, 0:00 left", screen)


class Identity(ToolCase):
    def test_tool_writes_what_vod2eri_writes(self):
        # --classic always; the defaults (AVI 1.0 while it fits, full reading,
        # a thread per core) for lists of 24-bit pictures, which both readings
        # read alike; any number of threads.
        mixed = self.write("mixed.txt", ("%s\nmissing.bmp\n\n%s\n%s" % (
            DEMO[2], DEMO[0], DEMO[5])).encode())
        true_colour = [name for name in DEMO if self.bit_count(name) == 24]
        self.assertGreaterEqual(len(true_colour), 2)
        plain = self.write("plain.txt", "".join(n + "\n" for n in true_colour).encode())
        runs = [("examples/frames.txt", "25", 1, ["--classic"]),
                ("examples/frames.txt", "29.97", 4, ["--classic", "--threads", "3"]),
                ("examples/frames.txt", "2", 12, ["--classic", "--threads", "1"]),
                (mixed, "0.5", 3, ["--classic", "--threads", "2"]),
                (plain, "25", 3, []), (plain, "25", 5, ["--threads", "0"]),
                (plain, "29.97", 1, ["--container", "auto"])]
        for listed, rate, smooth, options in runs:
            x100 = int(round(float(rate) * 100))
            tool_out, host_out = self.path("tool.avi"), self.path("host.avi")
            context = "%s at %s fps, smoothing %d, %s" % (os.path.basename(listed), rate, smooth,
                                                           " ".join(options) or "defaults")
            self.expect(run(options + ["--fps", rate, "--smooth", str(smooth), "--list", listed,
                                       "-o", tool_out]), 0, context)
            host = subprocess.run([VOD2ERI_RUN, host_out, listed, str(x100), str(smooth)],
                                  cwd=SOURCE, capture_output=True)
            self.assertEqual(host.stdout, b"999\n", context)
            with open(tool_out, "rb") as f:
                have = f.read()
            with open(host_out, "rb") as f:
                want = f.read()
            self.assertTrue(have == want, "%s: %s" % (context, first_difference(have, want)))

    @staticmethod
    def bit_count(name):
        with open(os.path.join(SOURCE, name), "rb") as f:
            return struct.unpack_from("<H", f.read(30), 28)[0]

    def test_every_instruction_set_writes_the_same_file(self):
        # STILLREEL_SIMD=scalar, the portable code of every kernel, against the
        # best the processor has, for fades of N = 2 to 10: bit-field pictures
        # (vector rows; in scalar, the word table of a large 16-bit picture and
        # the plain decoder of small ones) and run-length pictures (RLE4 nibbles
        # in blocks), each list with a next picture narrower than the frame.
        import random  # here alone: pictures of random pixels
        need(self, CONVERT)
        rng = random.Random(7)
        lists = {}
        for kind, sizes in [("fields16", [(400, 330), (90, 70), (130, 100)]),
                            ("fields32", [(160, 120), (70, 130), (160, 120)]),
                            ("rle8", [(160, 120), (100, 90), (160, 120)]),
                            ("rle4", [(170, 120), (90, 140), (170, 120)])]:
            names = []
            for i, (width, height) in enumerate(sizes):
                name = self.path("%s-%d.bmp" % (kind, i))
                if kind == "fields16" and i < 2:
                    self.magick(name, width, height, i, ["-define", "bmp:subtype=RGB565", "BMP:"])
                elif kind == "rle8":
                    self.magick(name, width, height, i, ["-colors", "200", "-type", "Palette",
                                                         "-compress", "RLE", "BMP3:"])
                elif kind == "rle4":
                    self.write(name, self.rle4(width, height, rng))
                else:
                    masks = {("fields16", 2): (0x0F00, 0x00F0, 0x000F),
                             ("fields32", 0): (0x3FF00000, 0x000FFC00, 0x000003FF),
                             ("fields32", 1): (0x000000FF, 0x0000FF00, 0x00FF0000),
                             ("fields32", 2): (0xFFE00000, 0x001FFC00, 0x000003FF)}[kind, i]
                    self.write(name, self.fields(width, height, 16 if kind == "fields16" else 32,
                                                 masks, rng))
                names.append(name)
            lists[kind] = self.write(kind + ".txt", "".join(n + "\n" for n in names).encode())
        env = {k: v for k, v in os.environ.items() if k != "STILLREEL_SIMD"}
        for kind, listed in lists.items():
            for smooth in range(2, 11):
                data = []
                for level in ["scalar", None]:
                    out = self.path("%s.avi" % level)
                    context = "%s, smoothing %d, STILLREEL_SIMD=%s" % (kind, smooth, level)
                    level_env = dict(env, STILLREEL_SIMD=level) if level else env
                    proc = run(["--smooth", str(smooth), "--list", listed, "-o", out],
                               env=level_env)
                    self.expect(proc, 0, context)
                    self.assertNotIn(b"unreadable", proc.stderr, context)
                    with open(out, "rb") as f:
                        data.append(f.read())
                self.assertTrue(data[0] == data[1], "%s, smoothing %d: scalar vs best: %s" % (
                    kind, smooth, first_difference(data[0], data[1])))

    def magick(self, name, width, height, seed, options):
        """A picture ImageMagick writes: a plasma that differs with the seed."""
        subprocess.run([CONVERT, "-seed", str(seed), "-size", "%dx%d" % (width, height),
                        "plasma:", "-type", "TrueColor"] + options[:-1] + [options[-1] + name],
                       check=True)

    @staticmethod
    def fields(width, height, bits, masks, rng):
        """A bottom-up bit-field BMP (a 124-byte header) of random pixels."""
        row = (width * bits + 31) // 32 * 4
        pixels = bytearray()
        for _ in range(height):
            line = b"".join(struct.pack("<H" if bits == 16 else "<I", rng.getrandbits(bits))
                            for _ in range(width))
            pixels += line + bytes(row - len(line))
        info = struct.pack("<IiiHHIIiiII", 124, width, height, 1, bits, 3, len(pixels), 0, 0, 0,
                           0) + struct.pack("<IIII", *masks, 0) + bytes(124 - 56)
        header = struct.pack("<2sIHHI", b"BM", 14 + 124 + len(pixels), 0, 0, 14 + 124)
        return header + info + bytes(pixels)

    @staticmethod
    def rle4(width, height, rng):
        """An RLE4 BMP: each row runs of one index or two taking turns and
        absolute runs, short and long, then an end of line."""
        codes = bytearray()
        for _ in range(height):
            x = 0
            while x < width:
                n = min(width - x, rng.choice([rng.randint(3, 32), rng.randint(33, 200)]))
                if rng.random() < 0.5 or n < 3:
                    codes += bytes([n, rng.getrandbits(8)])
                else:
                    data = bytes(rng.getrandbits(8) for _ in range((n + 1) // 2))
                    codes += bytes([0, n]) + data + bytes(len(data) & 1)
                x += n
            codes += b"\0\0"
        codes += b"\0\1"
        palette = b"".join(bytes((17 * i, 255 - 13 * i, (i * 71) & 255, 0)) for i in range(16))
        offset = 14 + 40 + len(palette)
        info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 2, len(codes), 0, 0, 16, 0)
        header = struct.pack("<2sIHHI", b"BM", offset + len(codes), 0, 0, offset)
        return header + info + palette + bytes(codes)


class Demo(ToolCase):
    def test_demo_pictures_and_video(self):
        need(self, "ffprobe")
        need(self, "ffmpeg")
        kinds = set()
        for name in DEMO:
            with open(os.path.join(SOURCE, name), "rb") as f:
                data = f.read()
            self.assertLess(len(data), 16 * 1024, name)
            kinds.add(struct.unpack_from("<H", data, 28)[0])
        self.assertTrue({8, 16, 24} <= kinds, "have bit counts %s" % sorted(kinds))
        out = self.path("demo.avi")
        self.expect(run(["--fps", "2", "--smooth", "12", "--list", "examples/frames.txt",
                         "-o", out]), 0, "the demo")
        probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                "stream=codec_name,pix_fmt,width,height,nb_frames", "-of",
                                "default=nw=1", out], capture_output=True, check=True)
        self.assertEqual(probe.stdout.decode().split(), ["codec_name=rawvideo", "width=80",
                         "height=60", "pix_fmt=bgr24", "nb_frames=61"])
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", out, "-f", "rawvideo", "-pix_fmt",
                              "rgb24", "-"], capture_output=True, check=True).stdout
        size = 80 * 60 * 3
        shown = [raw[k * 12 * size:(k * 12 + 1) * size] for k in range(6)]
        for k in range(5):
            change = sum(abs(a - b) for a, b in zip(shown[k], shown[k + 1])) / size
            self.assertGreater(change, 20, "pictures %d and %d look alike: mean change %.1f"
                               % (k + 1, k + 2, change))


class Pipes(ToolCase):
    def test_standard_output_into_ffmpeg(self):
        # "-o -" and "-o /dev/stdout" into a pipe give the file's bytes, for
        # AVI 1.0 and AVI 2.0 alike, and ffmpeg reading the pipe decodes every
        # frame; a terminal as standard output is refused.
        need(self, "ffmpeg")
        args = ["--fps", "2", "--smooth", "3", "--list", "examples/frames.txt"]
        for container in ["auto", "opendml"]:
            out = self.path("file.avi")
            self.expect(run(args + ["--container", container, "-o", out]), 0, container)
            with open(out, "rb") as f:
                want = f.read()
            for name in ["-", "/dev/stdout"]:
                proc = subprocess.run("%s %s --container %s -o %s | cat" % (
                    TOOL, " ".join(args), container, name), shell=True, cwd=SOURCE,
                    capture_output=True)
                self.expect(proc, 0, "%s to %s" % (container, name))
                self.assertTrue(proc.stdout == want, "%s to %s: %s" % (
                    container, name, first_difference(proc.stdout, want)))
                self.assertRegex(proc.stderr.decode(), r"wrote %s: 16 frames" % (
                    "standard output" if name == "-" else "/dev/stdout"))
            tool = subprocess.Popen([TOOL, "-q", "--container", container, "-o", "-"] + args,
                                    cwd=SOURCE, stdout=subprocess.PIPE)
            decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", "-", "-f", "rawvideo",
                                      "-pix_fmt", "bgr24", "-"], stdin=tool.stdout,
                                     capture_output=True)
            tool.stdout.close()
            self.assertEqual(tool.wait(), 0, container)
            self.assertEqual(decoded.returncode, 0, decoded.stderr.decode())
            self.assertEqual(len(decoded.stdout), 16 * 80 * 60 * 3, "%s: frames ffmpeg decoded"
                             % container)
            from_file = subprocess.run(["ffmpeg", "-v", "error", "-i", out, "-f", "rawvideo",
                                        "-pix_fmt", "bgr24", "-"], capture_output=True)
            self.assertTrue(decoded.stdout == from_file.stdout, container)

    def test_stream_into_a_pipe_needs_its_count(self):
        # -o - into a pipe from a stream: with --pictures the file's bytes;
        # without, the library's refusal to write what cannot seek, and
        # nothing reaches the pipe.
        stream = joined(DEMO)
        out = self.path("file.avi")
        self.expect(run(["-q", "--smooth", "3", "-o", out] + DEMO), 0, "the file")
        with open(out, "rb") as f:
            want = f.read()
        proc = run(["--smooth", "3", "--pictures", "6", "-o", "-", "-"], input=stream)
        self.expect(proc, 0, "--pictures 6 into a pipe")
        self.assertTrue(proc.stdout == want, first_difference(proc.stdout, want))
        self.assertRegex(proc.stderr.decode(), r"wrote standard output: 16 frames")
        for name in ["-", "/dev/stdout"]:
            proc = run(["--smooth", "3", "-o", name, "-"], input=stream)
            self.expect(proc, 4, "-o %s without --pictures" % name)
            self.assertEqual(proc.stdout, b"", name)
            self.assertRegex(proc.stderr.decode(), r"^stillreel: .*an argument is out of range: "
                             r"it cannot seek; give --pictures COUNT", name)

    def test_terminal_is_no_place_for_a_video(self):
        master, slave = pty.openpty()
        proc = subprocess.run([TOOL, "-o", "-", DEMO[0]], cwd=SOURCE, stdout=slave,
                              stderr=subprocess.PIPE)
        os.close(slave)
        os.close(master)
        self.expect(proc, 64, "-o - on a terminal")
        self.assertIn(b"standard output is a terminal", proc.stderr)
        # Nor is a terminal a stream of pictures.
        master, slave = pty.openpty()
        proc = subprocess.run([TOOL, "-o", self.path("out.avi"), "-"], cwd=SOURCE, stdin=slave,
                              capture_output=True)
        os.close(slave)
        os.close(master)
        self.expect(proc, 64, "- on a terminal")
        self.assertIn(b"standard input is a terminal", proc.stderr)
        self.assertEqual(os.listdir(self.tmp), [])


class Native(ToolCase):
    """A cross build's tool, run under its emulator, writes the very bytes
    that the build machine's own build writes (STILLREEL_NATIVE_TOOL): every
    BMP kind of the public suite in both readings, fades, AVI 1.0 and 2.0."""

    def test_files_equal_the_native_builds(self):
        native = os.environ.get("STILLREEL_NATIVE_TOOL")
        if not native:
            message = "STILLREEL_NATIVE_TOOL is not set: build build-test/ first (scripts/test)"
            if os.environ.get("CI") == "true":
                self.fail(message)
            self.skipTest(message)
        suite = os.path.join(SOURCE, "..", "shared", "bmpsuite")
        # A 127 x 64 picture first: every other one of the suite fits its frame.
        pictures = [os.path.join(suite, "g", "rgb24.bmp")] + sorted(
            os.path.join(suite, folder, name) for folder in ("g", "q", "b")
            for name in os.listdir(os.path.join(suite, folder)) if name.endswith(".bmp"))
        cases = [["--smooth", "1"] + pictures, ["--classic"] + pictures,
                 ["--smooth", "3", "--container", "opendml"] + pictures,
                 ["--classic", "--smooth", "2"] + pictures,
                 ["--pixels", "gray8", "--smooth", "3"] + pictures]
        cases += [["--fps", "29.97", "--smooth", str(n)] + DEMO for n in range(2, 17)]
        # Pictures larger than the suite's: 16-bit ones past the size that
        # earns the table of every word, long RLE4 runs.
        import random  # here alone: pictures of random pixels
        rng = random.Random(11)
        large = [self.write("fields16-%d.bmp" % i, Identity.fields(400, 330, 16, masks, rng))
                 for i, masks in enumerate([(0xF800, 0x07E0, 0x001F), (0x0F00, 0x00F0, 0x000F)])]
        large.append(self.write("rle4.bmp", Identity.rle4(400, 330, rng)))
        cases.append(["--smooth", "3"] + large)
        for args in cases:
            what = " ".join(a for a in args[:4] if not a.startswith("/"))
            want, have = self.path("native.avi"), self.path("cross.avi")
            subprocess.run([native, "-q", "-o", want] + args, cwd=SOURCE, check=True)
            self.expect(run(["-q", "-o", have] + args), 0, what)
            with open(want, "rb") as w, open(have, "rb") as h:
                want_bytes, have_bytes = w.read(), h.read()
            self.assertTrue(have_bytes == want_bytes,
                            "%s: %s" % (what, first_difference(have_bytes, want_bytes)))


if __name__ == "__main__":
    unittest.main()
