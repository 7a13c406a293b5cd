#!/usr/bin/python3
"""(Re)makes the seed corpus of the fuzz targets in fuzz/corpus/<target>/.

Small real pictures of every kind the reader accepts and every kind it
refuses: written by ImageMagick (/usr/bin/convert) and Pillow where they can
write the kind, and built here field by field where no tool writes it
(top-down rows, a 2-bit count, cut files, V4/V5 headers around palettes, ...).
Only files named seed-* are replaced, so inputs added to a corpus by hand or
by a fuzzing run stay. Run from anywhere: fuzz/make_corpus.py
"""

import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
MAGICK = "/usr/bin/convert"


# ---------------------------------------------------------------------------
# BMP files built field by field.

def bmp(width, height, bits, rows=None, palette=(), compression=0, header_size=40,
        offset=None, masks=None, cut=None, signature=b"BM", os2=False, data=None):
    """A BMP whose fields are as given; rows is a list of raw rows (bottom row
    first, without padding), padded here to 4 bytes, or data the pixel bytes
    as stored (run-length codes). Masks (3, or 4 with alpha) go right after a
    40-byte header, or into a larger one as V2-V5 headers have them. With
    os2, a header shorter than 40 bytes is laid out as OS/2 has it: 16-bit
    sizes and 3-byte table entries at 12 bytes, the first fields of the
    40-byte one from 16 to 36; otherwise its fields are still those of a
    40-byte header."""
    info = struct.pack("<IiiHHIIiiII", header_size, width, height, 1, bits, compression,
                       0, 2835, 2835, len(palette), 0)
    entry = "<BBBB"
    if os2 and header_size == 12:
        info = struct.pack("<IHHHH", 12, width, height, 1, bits)
        entry = "<BBB"
    elif os2 and header_size < 40:
        info = info[:header_size]
    extra = b""
    if header_size > 40:
        inside = b""
        if masks is not None:
            inside = struct.pack("<%dI" % len(masks), *masks)
        extra = (inside + bytes(header_size - 40))[:header_size - 40]
    elif masks is not None:
        extra = struct.pack("<%dI" % len(masks), *masks)
    table = b"".join(struct.pack(entry, *e[:len(entry) - 1]) for e in palette)
    head_len = 14 + len(info) + len(extra) + len(table)
    if offset is None:
        offset = head_len
    if data is None:
        data = b""
        for row in rows or []:
            data += row + bytes((4 - len(row) % 4) % 4)
    gap = bytes(max(0, offset - head_len))
    body = info + extra + table + gap + data
    file_size = 14 + len(body)
    out = signature + struct.pack("<IHHI", file_size, 0, 0, offset) + body
    return out[:cut] if cut is not None else out


def rows24(width, height, seed, step=3):
    return [bytes((seed * 31 + x * 17 + y * 59 + c * 80) % 256
                  for x in range(width) for c in range(step)) for y in range(height)]


def rows_indexed(width, height, bits, seed):
    per_byte = 8 // bits
    out = []
    for y in range(height):
        row = bytearray()
        for x0 in range(0, width, per_byte):
            byte = 0
            for i in range(per_byte):
                x = x0 + i
                value = ((x * 7 + y * 3 + seed) % (1 << bits)) if x < width else 0
                byte |= value << (8 - bits * (i + 1))
            row.append(byte)
        out.append(bytes(row))
    return out


def rows16(width, height, seed):
    return [b"".join(struct.pack("<H", (x * 2311 + y * 977 + seed * 131) & 0xFFFF)
                     for x in range(width)) for y in range(height)]


def palette(entries, seed):
    return [((i * 37 + seed) % 256, (i * 91 + 3 * seed) % 256, (255 - i * 13) % 256,
             (i * 5) % 256) for i in range(entries)]


def crafted():
    """Pictures no tool writes, one for each rule of the reader."""
    p = {}
    p["24bit-1x1"] = bmp(1, 1, 24, rows24(1, 1, 1))
    for w in (2, 3, 4, 5):
        p[f"24bit-{w}x2-padding"] = bmp(w, 2, 24, rows24(w, 2, w))
    p["32bit-3x2"] = bmp(3, 2, 32, rows24(3, 2, 2, step=4))
    p["24bit-v4-header"] = bmp(3, 2, 24, rows24(3, 2, 3), header_size=108)
    p["24bit-v5-header"] = bmp(3, 2, 24, rows24(3, 2, 4), header_size=124)
    p["24bit-header-52"] = bmp(3, 2, 24, rows24(3, 2, 4), header_size=52)
    p["24bit-header-56"] = bmp(3, 2, 24, rows24(3, 2, 4), header_size=56)
    p["24bit-header-12"] = bmp(3, 2, 24, rows24(3, 2, 4), header_size=12)
    p["24bit-offset-0"] = bmp(3, 2, 24, rows24(3, 2, 5), offset=0)
    p["24bit-offset-gap"] = bmp(3, 2, 24, rows24(3, 2, 5), offset=63)
    p["8bit-236-entries"] = bmp(5, 3, 8, rows_indexed(5, 3, 8, 1), palette(236, 1))
    p["8bit-v5-header"] = bmp(5, 3, 8, rows_indexed(5, 3, 8, 2), palette(256, 2), header_size=124)
    p["8bit-no-table"] = bmp(4, 2, 8, rows_indexed(4, 2, 8, 3), offset=54)
    p["8bit-offset-in-header"] = bmp(4, 2, 8, rows_indexed(4, 2, 8, 3), header_size=124, offset=54)
    p["8bit-offset-unaligned"] = bmp(3, 2, 8, rows_indexed(3, 2, 8, 4), palette(4, 4), offset=54 + 18)
    p["4bit-3x2"] = bmp(3, 2, 4, rows_indexed(3, 2, 4, 5), palette(16, 5))
    p["4bit-v4-header"] = bmp(7, 3, 4, rows_indexed(7, 3, 4, 6), palette(16, 6), header_size=108)
    p["1bit-9x2"] = bmp(9, 2, 1, rows_indexed(9, 2, 1, 7), palette(2, 7))
    p["1bit-extra-entries"] = bmp(3, 2, 1, rows_indexed(3, 2, 1, 8), palette(4, 8))
    p["1bit-65537x1"] = bmp(65537, 1, 1, rows_indexed(65537, 1, 1, 9), palette(2, 9))
    p["16bit-555"] = bmp(3, 2, 16, rows16(3, 2, 1))
    p["16bit-565-after-header"] = bmp(3, 2, 16, rows16(3, 2, 2), compression=3,
                                      masks=(0xF800, 0x07E0, 0x001F))
    p["16bit-565-v5-header"] = bmp(3, 2, 16, rows16(3, 2, 3), compression=3, header_size=124,
                                   masks=(0xF800, 0x07E0, 0x001F))
    p["16bit-odd-masks"] = bmp(3, 2, 16, rows16(3, 2, 4), compression=3,
                               masks=(0xFFFF, 0x0000, 0x8001))
    # Pictures of 2^17 pixels and more, whose rows may take other paths; only
    # their first rows are in the file.
    p["16bit-555-many-pixels"] = bmp(512, 256, 16, rows16(512, 20, 5))
    p["16bit-565-many-pixels"] = bmp(362, 363, 16, rows16(362, 20, 6), compression=3,
                                     masks=(0xF800, 0x07E0, 0x001F))
    p["8bit-many-pixels"] = bmp(512, 256, 8, rows_indexed(512, 30, 8, 7), palette(256, 7))
    p["24bit-many-pixels"] = bmp(400, 330, 24, rows24(400, 40, 8))
    # Refused kinds.
    p["refused-signature"] = bmp(2, 2, 24, rows24(2, 2, 1), signature=b"MB")
    p["refused-empty"] = b""
    p["refused-b-only"] = b"B"
    p["refused-short-20"] = bmp(2, 2, 24, rows24(2, 2, 1), cut=20)
    p["refused-short-49"] = bmp(2, 2, 24, rows24(2, 2, 1), cut=49)
    p["refused-rle8"] = bmp(2, 2, 8, rows_indexed(2, 2, 8, 1), palette(2, 1), compression=1)
    p["refused-rle4"] = bmp(2, 2, 4, rows_indexed(2, 2, 4, 1), palette(2, 1), compression=2)
    p["refused-jpeg"] = bmp(2, 2, 24, rows24(2, 2, 1), compression=4)
    p["refused-png"] = bmp(2, 2, 24, rows24(2, 2, 1), compression=5)
    p["refused-bitfields-24"] = bmp(2, 2, 24, rows24(2, 2, 1), compression=3)
    p["refused-bitfields-32"] = bmp(2, 2, 32, rows24(2, 2, 1, step=4), compression=3,
                                    header_size=124, masks=(0xFF0000, 0xFF00, 0xFF))
    p["refused-2bit"] = bmp(2, 2, 2, [b"\x50", b"\xa0"], palette(4, 1))
    p["refused-0bit"] = bmp(2, 2, 0)
    p["refused-48bit"] = bmp(2, 2, 48)
    p["refused-top-down"] = bmp(2, -2, 24, rows24(2, 2, 1))
    p["refused-width-0"] = bmp(0, 2, 24)
    p["refused-width-negative"] = bmp(-2, 2, 24)
    p["refused-height-0"] = bmp(2, 0, 24)
    p["refused-too-large"] = bmp(30000, 30000, 24, cut=200)
    p["refused-2gib-plus"] = bmp(32768, 21846, 24, cut=100)
    # Accepted but cut short: what the file does not hold stays white.
    p["cut-50"] = bmp(2, 2, 24, rows24(2, 2, 1), cut=50)
    p["cut-53"] = bmp(2, 2, 24, rows24(2, 2, 1), cut=53)
    p["cut-24bit-mid-pixel"] = bmp(2, 2, 24, rows24(2, 2, 1), cut=54 + 8 + 4)
    p["cut-32bit-mid-pixel"] = bmp(2, 1, 32, rows24(2, 1, 1, step=4), cut=54 + 4 + 2)
    p["cut-16bit-mid-word"] = bmp(2, 1, 16, rows16(2, 1, 1), cut=54 + 3)
    p["cut-8bit-in-table"] = bmp(3, 1, 8, rows_indexed(3, 1, 8, 1), palette(2, 1), cut=54 + 6)
    p["cut-4bit-in-row"] = bmp(3, 1, 4, rows_indexed(3, 1, 4, 1), palette(2, 1), cut=54 + 8 + 1)
    p["cut-1bit-in-row"] = bmp(9, 1, 1, rows_indexed(9, 1, 1, 1), palette(2, 1), cut=54 + 8 + 1)
    p["cut-large-claim"] = bmp(512, 384, 24, rows24(512, 3, 1))
    # Rows that run across the reader's 64 KiB buffer.
    p["24bit-across-64k"] = bmp(150, 148, 24, rows24(150, 148, 9))
    p.update(full_reading())
    return p


def full_reading():
    """Layouts that only full reading reads, or refuses for a reason of its own."""
    p = {}
    p["full-2bit"] = bmp(5, 2, 2, rows_indexed(5, 2, 2, 1), palette(4, 1))
    p["full-os2-8bit"] = bmp(5, 3, 8, rows_indexed(5, 3, 8, 2), palette(7, 2), header_size=12,
                             os2=True)
    p["full-os2-24bit"] = bmp(3, 2, 24, rows24(3, 2, 3), header_size=12, os2=True)
    p["full-os2v2-16"] = bmp(4, 2, 4, rows_indexed(4, 2, 4, 3), palette(16, 3), header_size=16,
                             os2=True)
    p["full-os2v2-64"] = bmp(4, 2, 8, rows_indexed(4, 2, 8, 4), palette(9, 4), header_size=64)
    p["full-top-down-24bit"] = bmp(3, -3, 24, rows24(3, 3, 5))
    p["full-top-down-1bit"] = bmp(9, -2, 1, rows_indexed(9, 2, 1, 6), palette(2, 6))
    # Run, absolute run, end of line, delta, end of picture; runs past the
    # row; codes that end early; rows wide enough for whole blocks.
    p["full-rle8"] = bmp(6, 3, 8, palette=palette(9, 7), compression=1,
                         data=bytes([3, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 2, 1, 2, 5, 0, 1]))
    p["full-rle8-cut"] = bmp(6, 3, 8, palette=palette(9, 8), compression=1,
                             data=bytes([8, 7, 0, 0, 0, 2, 3, 0, 1, 6]))
    p["full-rle4"] = bmp(8, 3, 4, palette=palette(16, 9), compression=2,
                         data=bytes([5, 0x12, 0, 3, 0x34, 0x50, 0, 0, 0, 7, 0x98]))
    p["full-rle8-wide"] = bmp(70, 3, 8, palette=palette(256, 10), compression=1,
                              data=bytes([20, 9, 0, 30] + list(range(30)) + [40, 3, 0, 0,
                                       0, 5] + list(range(5)) + [0, 60, 1, 0, 1]))
    p["full-rle4-wide"] = bmp(70, 2, 4, palette=palette(16, 11), compression=2,
                              data=bytes([33, 0x5A, 0, 31] + list(range(16)) + [0, 0,
                                       0, 2, 4, 0, 25, 0xC3, 0, 1]))
    p["full-fields32-alpha"] = bmp(3, 2, 32, rows24(3, 2, 12, step=4), compression=6,
                                   masks=(0xFF000000, 0xFF, 0xFF00, 0xFF0000))
    p["full-fields32-1010102"] = bmp(3, 2, 32, rows24(3, 2, 13, step=4), compression=3,
                                     header_size=124,
                                     masks=(0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000))
    p["full-fields32-v2"] = bmp(3, 2, 32, rows24(3, 2, 14, step=4), compression=3,
                                header_size=52, masks=(0xFF000000, 0xFF0000, 0xFF00))
    p["full-fields16-444"] = bmp(3, 2, 16, rows16(3, 2, 15), compression=3,
                                 masks=(0xF00, 0xF0, 0xF))
    p["refused-full-masks-gap"] = bmp(2, 2, 32, rows24(2, 2, 1, step=4), compression=3,
                                      masks=(0xF0F000, 0xFF00, 0xFF))
    p["refused-full-64bit"] = bmp(2, 2, 64, [bytes(16)] * 2)
    p["refused-full-huffman"] = bmp(8, 2, 1, rows_indexed(8, 2, 1, 1), palette(2, 1),
                                    compression=3, header_size=64)
    p["refused-full-rle24"] = bmp(2, 2, 24, rows24(2, 2, 1), compression=4, header_size=64)
    p["refused-full-header-66"] = bmp(2, 2, 24, rows24(2, 2, 1), header_size=66)
    p["refused-full-rle8-top-down"] = bmp(2, -2, 8, palette=palette(2, 1), compression=1,
                                          data=bytes([2, 1, 0, 0, 2, 0, 0, 1]))
    return p


# ---------------------------------------------------------------------------
# Pictures written by the real tools.

MAGICK_KINDS = {
    "pal1": ("", ["-colors", "2", "-compress", "none"]),
    "pal1-bmp3": ("BMP3:", ["-colors", "2", "-compress", "none"]),
    "pal4": ("", ["-colors", "16", "-compress", "none"]),
    "pal4-bmp3": ("BMP3:", ["-colors", "16", "-compress", "none"]),
    "pal8": ("", ["-type", "Palette", "-colors", "200", "-compress", "none"]),
    "pal8-bmp3": ("BMP3:", ["-type", "Palette", "-colors", "200", "-compress", "none"]),
    "refused-os2-bmp2": ("BMP2:", ["-type", "Palette", "-colors", "200", "-compress", "none"]),
    "rgb555": ("", ["-define", "bmp:subtype=RGB555"]),
    "rgb565": ("", ["-define", "bmp:subtype=RGB565"]),
    "rgb24": ("", ["-type", "TrueColor"]),
    "rgb24-bmp3": ("BMP3:", ["-type", "TrueColor"]),
    "refused-argb32": ("", ["-alpha", "on", "-type", "TrueColorAlpha"]),
    "refused-rle8": ("BMP3:", ["-type", "Palette", "-colors", "200", "-compress", "RLE"]),
}

PILLOW_SCRIPT = r"""
import sys
from PIL import Image
path, mode, w, h, s = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
im = Image.new("RGBA", (w, h))
im.putdata([((x * 19 + y * 7 + s * 40) % 256, (x * 5 + y * 31 + s * 90) % 256,
             (255 - x * 11 - y * 3 - s * 20) % 256, (x * 37 + y * 53 + s) % 256)
            for y in range(h) for x in range(w)])
if mode != "RGBA":
    im = im.convert(mode)
im.save(path, "BMP")
"""


def tool_pictures(work):
    p = {}
    for seed, (label, (prefix, options)) in enumerate(sorted(MAGICK_KINDS.items())):
        path = os.path.join(work, label + ".bmp")
        subprocess.run([MAGICK, "-size", "7x5", "-seed", str(seed + 1), "plasma:fractal"]
                       + options + [prefix + path], check=True)
        with open(path, "rb") as f:
            p["magick-" + label] = f.read()
    for seed, mode in enumerate(["RGBA", "RGB", "P", "L", "1"]):
        path = os.path.join(work, mode + ".bmp")
        subprocess.run(["/usr/bin/python3", "-c", PILLOW_SCRIPT, path, mode, "6", "4",
                        str(seed)], check=True)
        with open(path, "rb") as f:
            p["pillow-" + mode.lower()] = f.read()
    return p


# ---------------------------------------------------------------------------
# Frame lists and conversion inputs.

def frame_lists():
    t = {
        "lf": b"a.bmp\nb.bmp\nc.bmp\n",
        "no-final-newline": b"a.bmp\nb.bmp\nc.bmp",
        "crlf": b"a.bmp\r\nb.bmp\r\n",
        "cr-ends-last": b"a.bmp\r\nb.bmp\r",
        "two-cr": b"a\r\r\nb\r\r",
        "inner-cr": b"a\rb\n\r\n",
        "blank-lines": b"\n\na\n\n\nb\n",
        "one-blank": b"\n",
        "cr-only": b"\r",
        "nul-byte": b"a\0b\nc\n",
        "spaces": b" a b \t\n\t\n",
        "long-line": b"n" * 5000 + b"\r\n" + b"m" * 999 + b"\n",
        "empty": b"",
    }
    # Line ends split across the 64 KiB blocks a reader may take.
    t["crlf-across-64k"] = b"x" * 65535 + b"\r\n" + b"y" * 10 + b"\r"
    t["lf-at-64k"] = (b"z" * 99 + b"\n") * 655 + b"w" * 35 + b"\n" + b"v\r\n"
    return t


def conversion(control, pictures):
    out = bytes([control])
    for pic in pictures[:-1]:
        out += struct.pack("<H", len(pic))
    return out + b"".join(pictures)


def conversions(pics):
    """Lists of one to three pictures, with a missing entry, a blank one,
    other sizes and unreadable pictures, at every smoothing count."""
    def pick(name):
        return pics[name]
    c = {}
    c["one-24bit"] = conversion(0x00, [pick("24bit-3x2-padding")])
    c["two-same-size"] = conversion(0x01, [pick("24bit-3x2-padding"), pick("32bit-3x2")])
    c["three-kinds"] = conversion(0x12, [pick("magick-rgb24"), pick("magick-pal8"),
                                         pick("magick-rgb565")])
    c["other-sizes"] = conversion(0x22, [pick("24bit-4x2-padding"), pick("magick-pal4"),
                                         pick("1bit-9x2")])
    c["refused-first"] = conversion(0x31, [pick("refused-top-down"), pick("24bit-5x2-padding")])
    c["refused-middle"] = conversion(0x16, [pick("16bit-555"), pick("refused-rle8"),
                                            pick("16bit-555")])
    c["missing-and-blank"] = conversion(0x2D, [pick("pillow-rgba"), pick("pillow-p")])
    c["cut-pictures"] = conversion(0x32, [pick("cut-24bit-mid-pixel"), pick("cut-4bit-in-row"),
                                          pick("cut-50")])
    c["first-too-large"] = conversion(0x01, [pick("refused-too-large"), pick("24bit-1x1")])
    c["later-too-large"] = conversion(0x41, [pick("24bit-2x2-padding"), pick("refused-2gib-plus")])
    c["wide-65537"] = conversion(0x81, [pick("1bit-65537x1"), pick("24bit-3x2-padding")])
    c["v5-palettes"] = conversion(0xC2, [pick("8bit-v5-header"), pick("4bit-v4-header"),
                                         pick("8bit-offset-in-header")])
    c["many-pixels"] = conversion(0x16, [pick("16bit-555-many-pixels"),
                                         pick("16bit-565-many-pixels"), pick("8bit-many-pixels")])
    c["bmp3-kinds"] = conversion(0x12, [pick("magick-pal1-bmp3"), pick("magick-pal4-bmp3"),
                                        pick("magick-rgb24-bmp3")])
    return c


def v5_profile(width, height, profile, after_pixels=True):
    """A 24-bit BMP with a version 5 header that embeds a colour profile,
    after the pixels (as writers put it) or before them, with its file size
    field left at 0: only the profile's place ends it."""
    data = bmp(width, height, 24, rows24(width, height, 3), header_size=124)
    head, pixels = bytearray(data[:14 + 124]), data[14 + 124:]
    at = 124 + len(pixels) if after_pixels else 124
    struct.pack_into("<I", head, 2, 0)
    if not after_pixels:
        struct.pack_into("<I", head, 10, 14 + 124 + len(profile))
    struct.pack_into("<4s", head, 14 + 56, b"DEBM")  # "MBED" little-endian: embedded
    struct.pack_into("<II", head, 14 + 112, at, len(profile))
    return bytes(head) + (pixels + profile if after_pixels else profile + pixels)


def streams(pics):
    """Streams of BMPs as the tool reads them on standard input: pictures of
    every kind joined, cut short, followed by bytes that are no BMP, with
    file size fields too small, too large or 0, and headers that declare
    sizes far beyond the stream."""
    def size_field(data, value):
        return data[:2] + struct.pack("<I", value) + data[6:]
    a, b, c = pics["24bit-3x2-padding"], pics["magick-pal8"], pics["16bit-565-after-header"]
    s = {}
    s["one"] = a
    s["three-kinds"] = a + b + c
    s["every-reader-kind"] = b"".join(pics[n] for n in (
        "1bit-9x2", "4bit-3x2", "8bit-v5-header", "16bit-555", "32bit-3x2", "full-os2-8bit",
        "full-os2v2-16", "full-os2v2-64", "full-rle8", "full-rle4", "full-fields32-alpha",
        "full-fields32-v2", "full-top-down-24bit", "magick-rgb24", "pillow-p"))
    s["cut-in-pixels"] = a + b[:len(b) - 5]
    s["cut-in-header"] = a + c[:30]
    s["cut-in-masks"] = a + c[:60]
    s["cut-after-b"] = a + b"B"
    s["garbage-after"] = a + b + b"GIF89a and the rest of a file"
    s["garbage-first"] = b"\x89PNG\r\n\x1a\n" + a
    s["zero-size-field"] = size_field(a, 0) + size_field(b, 0) + c
    s["small-size-field"] = size_field(a, 20) + b
    s["large-size-field"] = size_field(a, len(a) + 40) + bytes(40) + b
    s["size-field-swallows-next"] = size_field(a, len(a) + len(b)) + b + c
    s["rle-image-size"] = pics["full-rle8"] + pics["full-rle4-wide"] + a
    s["unknown-header"] = pics["refused-full-header-66"] + a
    s["header-4gib"] = a[:14] + struct.pack("<I", 0xFFFFFFF0) + bytes(60) + a
    s["huge-pixels"] = bmp(60000, 60000, 24, rows24(2, 2, 1), cut=200) + a
    s["huge-offset"] = a[:10] + struct.pack("<I", 0xFFFFFF00) + a[14:] + b
    s["huge-image-size"] = bmp(4, 4, 8, palette=palette(4, 1), compression=1,
                               data=bytes([4, 1, 0, 1]))[:34] + struct.pack("<I", 0xFFFFFFFF) + \
        bmp(4, 4, 8, palette=palette(4, 1), compression=1, data=bytes([4, 1, 0, 1]))[38:] + a
    s["huge-colours-used"] = bmp(2, 2, 8, rows_indexed(2, 2, 8, 1), palette(2, 1))[:46] + \
        struct.pack("<I", 0xFFFFFFFF) + bmp(2, 2, 8, rows_indexed(2, 2, 8, 1), palette(2, 1))[50:]
    s["v5-profile-after"] = v5_profile(3, 2, b"profile " * 5) + a
    s["v5-profile-before"] = v5_profile(3, 2, b"profile " * 5, after_pixels=False) + b
    s["v5-profile-huge"] = v5_profile(3, 2, b"p" * 8)[:14 + 116] + struct.pack("<I", 0x7FFFFFFF) + \
        v5_profile(3, 2, b"p" * 8)[14 + 120:] + a
    s["pictures-across-64k"] = pics["24bit-across-64k"] + a + pics["24bit-across-64k"]
    s["empty"] = b""
    return s


def replace_seeds(target, files):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        if name.startswith("seed-"):
            os.remove(os.path.join(folder, name))
    for name, data in sorted(files.items()):
        with open(os.path.join(folder, "seed-" + name), "wb") as f:
            f.write(data)
    print(f"{target}: {len(files)} seeds, {sum(len(d) for d in files.values())} bytes")


def main():
    if not os.access(MAGICK, os.X_OK):
        sys.exit(f"{MAGICK} (ImageMagick) is needed")
    with tempfile.TemporaryDirectory() as work:
        pictures = crafted()
        pictures.update(tool_pictures(work))
    replace_seeds("bmp_reader", {name + ".bmp": data for name, data in pictures.items()})
    replace_seeds("frame_list", {name + ".txt": data for name, data in frame_lists().items()})
    replace_seeds("convert", {name + ".in": data for name, data in conversions(pictures).items()})
    replace_seeds("bmp_stream", {name + ".in": data for name, data in streams(pictures).items()})


if __name__ == "__main__":
    main()
