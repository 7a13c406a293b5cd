#!/usr/bin/env python3
"""Writes a numbered set of BMP pictures (0001.bmp, 0002.bmp, ...) for the benchmark.

Every picture differs from the others: a gradient that moves from one picture
to the next, with per-picture noise from a seeded generator in the low bits, so
neither a converter nor the page cache can share work between pictures. The
same arguments always give the same bytes. Standard library only.

  make_pictures.py FOLDER WIDTH HEIGHT COUNT [--bits 24|8] [--grey] [--seed S]

--grey gives 8-bit pictures the colour table of the greys (entry i is i, i,
i), as grey cameras save them.

The folder also gets frames.txt, a frame list naming the pictures by their
full path, one a line.
"""

import argparse
import os
import random
import struct
import sys


def bmp_headers(width, height, bits, palette_entries, data_bytes):
    table_bytes = 4 * palette_entries
    offset = 14 + 40 + table_bytes
    file_header = struct.pack("<2sIHHI", b"BM", offset + data_bytes, 0, 0, offset)
    # A plain 40-byte info header: bottom-up rows, no compression.
    info_header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, data_bytes,
                              2835, 2835, palette_entries, 0)
    return file_header + info_header


def palette_bytes(grey):
    if grey:
        return b"".join(bytes((i, i, i, 0)) for i in range(256))
    # 256 colours that walk round the colour wheel, so neighbouring indices
    # differ in every channel (blue, green, red, reserved).
    out = bytearray()
    for i in range(256):
        out += bytes(((i * 7) & 255, (255 - i) & 255, (i * 3 + 64) & 255, 0))
    return bytes(out)


def ramp(length):
    # 0, 1, ..., 255, 0, 1, ...: the gradient tape that rows are cut from.
    return (bytes(range(256)) * (length // 256 + 1))[:length]


def pixel_rows_24(width, height, frame):
    """The rows of picture `frame`, bottom row first, each padded to 4 bytes."""
    pad = (-3 * width) % 4
    tape = ramp(width + height + 8 * frame + 256)
    blue = tape[(3 * frame) % 256:][:width]
    out = bytearray()
    row = bytearray(3 * width + pad)
    row[0:3 * width:3] = blue
    for r in range(height):
        y = height - 1 - r  # rows are stored bottom-up
        row[1:3 * width:3] = bytes(((y + 2 * frame) & 255,)) * width
        start = (y + 5 * frame) % 256
        row[2:3 * width:3] = tape[start:start + width]
        out += row
    return out


def pixel_rows_8(width, height, frame):
    pad = (-width) % 4
    tape = ramp(width + height + 512)
    out = bytearray()
    for r in range(height):
        y = height - 1 - r
        start = (y + 3 * frame) % 256
        out += tape[start:start + width] + bytes(pad)
    return out


def add_noise(data, seed, frame, bits):
    # XOR every byte with noise of a few low bits, drawn per picture.
    rng = random.Random(seed * 1_000_003 + frame)
    mask = 0x0F if bits == 24 else 0x07
    noise = rng.randbytes(len(data)).translate(bytes(i & mask for i in range(256)))
    mixed = int.from_bytes(data, "little") ^ int.from_bytes(noise, "little")
    return mixed.to_bytes(len(data), "little")


def picture(width, height, bits, frame, seed, grey):
    if bits == 24:
        data = add_noise(pixel_rows_24(width, height, frame), seed, frame, bits)
        return bmp_headers(width, height, 24, 0, len(data)) + data
    data = add_noise(pixel_rows_8(width, height, frame), seed, frame, bits)
    return bmp_headers(width, height, 8, 256, len(data)) + palette_bytes(grey) + data


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("width", type=int)
    parser.add_argument("height", type=int)
    parser.add_argument("count", type=int)
    parser.add_argument("--bits", type=int, choices=(24, 8), default=24)
    parser.add_argument("--grey", action="store_true", help="8 bits: a colour table of greys")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    if args.grey and args.bits != 8:
        parser.error("--grey needs --bits 8")
    if args.width < 1 or args.height < 1 or not 1 <= args.count <= 9999:
        parser.error("width and height must be at least 1, count 1 to 9999")

    os.makedirs(args.folder, exist_ok=True)
    names = []
    for frame in range(args.count):
        name = os.path.join(os.path.abspath(args.folder), "%04d.bmp" % (frame + 1))
        with open(name, "wb") as f:
            f.write(picture(args.width, args.height, args.bits, frame, args.seed, args.grey))
        names.append(name)
    with open(os.path.join(args.folder, "frames.txt"), "w") as f:
        f.write("".join(n + "\n" for n in names))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
