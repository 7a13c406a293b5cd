#!/usr/bin/env python3
"""Runs examples/python/convert.py as a user would, with the library named by
--library, by STILLREEL_LIBRARY and by its usual name, and reads its files
back with ffprobe and ffmpeg.

Environment: STILLREEL_EXAMPLE (convert.py), STILLREEL_BUILT_LIBRARY (the
build tree's libstillreel), STILLREEL_INSTALLED_LIBDIR (the installed copy's
library folder), STILLREEL_SCRATCH (a folder for the files).
"""

import json
import os
import shutil
import struct
import subprocess
import sys
import unittest

EXAMPLE = os.environ["STILLREEL_EXAMPLE"]
BUILT_LIBRARY = os.environ["STILLREEL_BUILT_LIBRARY"]
INSTALLED_LIBDIR = os.environ["STILLREEL_INSTALLED_LIBDIR"]
SCRATCH = os.environ["STILLREEL_SCRATCH"]


def bmp_24(width, height, pixel):
    """A bottom-up 24-bit BMP; pixel(x, y) gives (blue, green, red), y = 0 at the top."""
    row_bytes = (3 * width + 3) & ~3
    rows = b""
    for y in reversed(range(height)):
        row = b"".join(bytes(pixel(x, y)) for x in range(width))
        rows += row + bytes(row_bytes - len(row))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(rows), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 0, 0, 0, 0)
    return header + info + rows


def need(tool):
    path = shutil.which(tool)
    if path is None:
        if os.environ.get("CI") == "true":
            raise AssertionError(f"{tool} is missing (Debian's ffmpeg package)")
        raise unittest.SkipTest(f"{tool} is missing")
    return path


class ConvertExample(unittest.TestCase):
    longMessage = False

    def assertHave(self, have, want, what):
        self.assertEqual(have, want, f"{what}: have {have!r}, want {want!r}")

    def setUp(self):
        self.folder = os.path.join(SCRATCH, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        # Two 3 x 2 pictures; the second is the first with its channels moved.
        self.first = {(x, y): (40 * x, 100 + 50 * y, 200) for x in range(3) for y in range(2)}
        self.second = {xy: (g, r, b) for xy, (b, g, r) in self.first.items()}
        for name, pixels in (("first.bmp", self.first), ("second.bmp", self.second)):
            with open(os.path.join(self.folder, name), "wb") as out:
                out.write(bmp_24(3, 2, lambda x, y, p=pixels: p[(x, y)]))
        self.list = os.path.join(self.folder, "frames.txt")
        with open(self.list, "w") as out:
            out.write("first.bmp\nsecond.bmp\n")
        self.output = os.path.join(self.folder, "clip.avi")

    def run_example(self, *args, library=None, env_library=None, ld_path=None):
        env = {k: v for k, v in os.environ.items()
               if k not in ("STILLREEL_LIBRARY", "LD_LIBRARY_PATH")}
        if env_library is not None:
            env["STILLREEL_LIBRARY"] = env_library
        if ld_path is not None:
            env["LD_LIBRARY_PATH"] = ld_path
        command = [sys.executable, EXAMPLE]
        if library is not None:
            command += ["--library", library]
        # The list names its pictures relative to the folder it is run in.
        return subprocess.run(command + list(args), cwd=self.folder, env=env,
                              capture_output=True, text=True, timeout=60)

    def assertRan(self, run, want_status):
        self.assertEqual(run.returncode, want_status,
                         f"have exit status {run.returncode}, want {want_status}\n"
                         f"stdout: {run.stdout}\nstderr: {run.stderr}")

    def decoded_frames(self):
        """The file's frames as ffmpeg decodes them, top row first, and ffprobe's stream."""
        probe = subprocess.run(
            [need("ffprobe"), "-v", "error", "-count_frames", "-show_streams", "-of", "json",
             self.output], capture_output=True, text=True, check=True)
        stream = json.loads(probe.stdout)["streams"][0]
        raw = subprocess.run(
            [need("ffmpeg"), "-v", "error", "-i", self.output, "-f", "rawvideo", "-pix_fmt",
             "bgr24", "-"], capture_output=True, check=True).stdout
        size = 3 * 2 * 3
        return stream, [raw[i:i + size] for i in range(0, len(raw), size)]

    def picture_bytes(self, pixels):
        return b"".join(bytes(pixels[(x, y)]) for y in range(2) for x in range(3))

    def test_library_argument_smoothing(self):
        run = self.run_example("clip.avi", "frames.txt", "25", "2", library=BUILT_LIBRARY)
        self.assertRan(run, 0)
        stream, frames = self.decoded_frames()
        for field, want in (("codec_name", "rawvideo"), ("pix_fmt", "bgr24"), ("width", 3),
                            ("height", 2), ("nb_read_frames", "3"), ("r_frame_rate", "50/1")):
            self.assertHave(stream.get(field), want, f"ffprobe {field}")
        self.assertHave(len(frames), 3, "frames decoded")
        self.assertHave(frames[0].hex(), self.picture_bytes(self.first).hex(), "frame 0")
        self.assertHave(frames[2].hex(), self.picture_bytes(self.second).hex(), "frame 2")
        # Halfway between the two; the channel sums are all even.
        half = {xy: tuple((a + b) // 2 for a, b in zip(self.first[xy], self.second[xy]))
                for xy in self.first}
        self.assertHave(frames[1].hex(), self.picture_bytes(half).hex(), "frame 1, the cross-fade")

    def test_environment_variable_and_decimal_rates(self):
        # A rate reaches VOD2ERI as its nearest hundredths: 1.15 as 115 (not
        # the 114 of a truncated binary fraction), 23.976 as 2398.
        for rate, want_micros in (("1.15", 869565), ("23.976", 41701)):
            with self.subTest(rate=rate):
                run = self.run_example(self.output, self.list, rate, env_library=BUILT_LIBRARY)
                self.assertRan(run, 0)
                with open(self.output, "rb") as avi:
                    header = avi.read(52)
                (micros,) = struct.unpack_from("<I", header, 32)
                (frames,) = struct.unpack_from("<I", header, 48)
                self.assertHave(micros, want_micros, "microseconds per frame")
                self.assertHave(frames, 2, "total frames")

    def test_usual_name_from_installed_copy(self):
        run = self.run_example("clip.avi", "frames.txt", "10", ld_path=INSTALLED_LIBDIR)
        self.assertRan(run, 0)
        stream, frames = self.decoded_frames()
        self.assertHave(stream.get("r_frame_rate"), "10/1", "ffprobe r_frame_rate")
        self.assertHave(len(frames), 2, "frames decoded")

    def test_failures(self):
        cases = (
            (("clip.avi", "no-such-list.txt", "25"), BUILT_LIBRARY, 3, "frame list"),
            (("clip.avi", "frames.txt", "0"), BUILT_LIBRARY, 4, "out of range"),
            (("clip.avi", "frames.txt", "fast"), BUILT_LIBRARY, 64, "RATE must be a number"),
            (("clip.avi", "frames.txt", "25", "2", "extra"), BUILT_LIBRARY, 64, "usage"),
            (("clip.avi", "frames.txt", "25"), os.path.join(self.folder, "libnone.so"), 69,
             "cannot load"),
        )
        for args, library, want_status, want_message in cases:
            with self.subTest(args=args, library=library):
                run = self.run_example(*args, library=library)
                self.assertRan(run, want_status)
                self.assertIn(want_message, run.stderr,
                              f"stderr: have {run.stderr!r}, want {want_message!r} in it")
                self.assertFalse(os.path.exists(self.output), "output written after a failure")


if __name__ == "__main__":
    unittest.main()
