#!/usr/bin/env python3
"""One timed writer of frames from memory, for bench/run's writer section.

  python_writers.py KIND OUTPUT --library LIB --width W --height H --frames F

KIND is writer (stillreel.Writer), os-write (os.write of each frame's bytes,
what the AVI holds), cv2 (cv2.VideoWriter, fourcc 'DIB ', raw bgr24), pyav
(PyAV, rawvideo bgr24) or convert (stillreel.convert of the BMP files listed
in --list). Each process first makes its frames in memory, the same for every
kind (one seed), then times only the writing, close included, and prints
"WALL CPU" in seconds on standard output. The frames are --distinct ones
taken in turn (all of them by default), so that a long run can be measured
for memory without holding every frame.

  python_writers.py bmps FOLDER --width W --height H --frames F

writes the same frames as BMP files FOLDER/0001.bmp... and FOLDER/frames.txt.
"""

import argparse
import os
import struct
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RATE = 25


def make_frames(args):
    import numpy
    rng = numpy.random.default_rng(args.seed)
    # The pool is the same for every --frames, so that peaks compare.
    count = args.distinct or args.frames
    # RGB uint8 (h, w, 3), as numpy pipelines hold frames.
    return rng.integers(0, 256, (count, args.height, args.width, 3), dtype=numpy.uint8)


def bmp_bytes(frame):
    h, w, _ = frame.shape
    row = (3 * w + 3) // 4 * 4
    pixels = frame[::-1, :, ::-1]  # bottom-up, BGR
    if row != 3 * w:
        import numpy
        padded = numpy.zeros((h, row), dtype=numpy.uint8)
        padded[:, :3 * w] = pixels.reshape(h, 3 * w)
        pixels = padded
    header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + row * h, 0, 0, 54, 40, w, h, 1, 24,
                         0, row * h, 2835, 2835, 0, 0)
    return header + pixels.tobytes()


def write_bmps(args, frames):
    os.makedirs(args.output, exist_ok=True)
    names = []
    for i in range(args.frames):
        name = os.path.join(args.output, "%04d.bmp" % (i + 1))
        with open(name, "wb") as f:
            f.write(bmp_bytes(frames[i % len(frames)]))
        names.append(name)
    with open(os.path.join(args.output, "frames.txt"), "w") as f:
        f.write("".join(n + "\n" for n in names))


def run(args, frames):
    """Writes the frames as KIND does; returns the (wall, CPU) seconds of that alone."""
    count, distinct = args.frames, len(frames) if frames is not None else 0
    if args.kind == "writer":
        import stillreel
        start, cpu = time.perf_counter(), time.process_time()
        counted = {"pictures": count} if args.counted else {}
        with stillreel.Writer(args.output, RATE, args.smooth, **counted) as writer:
            for i in range(count):
                writer.write(frames[i % distinct])
    elif args.kind == "convert":
        import stillreel
        start, cpu = time.perf_counter(), time.process_time()
        stillreel.convert(args.output, args.list, RATE, args.smooth)
    elif args.kind == "os-write":
        start, cpu = time.perf_counter(), time.process_time()
        fd = os.open(args.output, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            for i in range(count):
                data = memoryview(frames[i % distinct]).cast("B")
                while data:
                    data = data[os.write(fd, data):]
        finally:
            os.close(fd)
    elif args.kind == "cv2":
        import cv2
        import numpy
        bgr = numpy.ascontiguousarray(frames[..., ::-1])  # given in OpenCV's order, untimed
        # OpenCV picks the container by the name's extension: /dev/null goes
        # through a link named .avi. Its FFmpeg back end has no 'DIB ', so
        # OpenCV's choice falls to GStreamer, which writes raw bgr24.
        start, cpu = time.perf_counter(), time.process_time()
        writer = cv2.VideoWriter(args.output, cv2.VideoWriter_fourcc(*"DIB "), RATE,
                                 (args.width, args.height))
        if not writer.isOpened():
            sys.exit("python_writers.py: cv2.VideoWriter cannot open %s" % args.output)
        for i in range(count):
            writer.write(bgr[i % distinct])
        writer.release()
    elif args.kind == "pyav":
        import av
        import numpy
        bgr = numpy.ascontiguousarray(frames[..., ::-1])
        start, cpu = time.perf_counter(), time.process_time()
        with av.open(args.output, "w", format="avi") as container:
            stream = container.add_stream("rawvideo", rate=RATE)
            stream.width, stream.height, stream.pix_fmt = args.width, args.height, "bgr24"
            for i in range(count):
                frame = av.VideoFrame.from_ndarray(bgr[i % distinct], format="bgr24")
                container.mux(stream.encode(frame))
            container.mux(stream.encode())
    else:
        sys.exit("python_writers.py: no kind %s" % args.kind)
    return time.perf_counter() - start, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind")
    parser.add_argument("output")
    parser.add_argument("--library", help="libstillreel.so.1 to load")
    parser.add_argument("--width", type=int, default=1920)
    parser.add_argument("--height", type=int, default=1080)
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--distinct", type=int, help="distinct frames, taken in turn")
    parser.add_argument("--smooth", type=int, default=1)
    parser.add_argument("--counted", action="store_true", help="give the Writer pictures=")
    parser.add_argument("--list", help="the list file of BMPs, for convert")
    parser.add_argument("--seed", type=int, default=23)
    args = parser.parse_args()
    if args.library:
        os.environ["STILLREEL_LIBRARY"] = args.library
    sys.path.insert(0, os.path.join(ROOT, "python"))
    frames = make_frames(args) if args.kind != "convert" else None
    if args.kind == "bmps":
        write_bmps(args, frames)
        return
    print("%.6f %.6f" % run(args, frames))


if __name__ == "__main__":
    main()
