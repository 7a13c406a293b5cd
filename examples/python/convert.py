#!/usr/bin/env python3
"""Turns BMP pictures into an uncompressed AVI by calling libstillreel's
VOD2ERI through ctypes.

usage: convert.py [--library PATH] OUTPUT LIST RATE [SMOOTH]

  OUTPUT  the AVI file to write; an existing file is replaced
  LIST    a text file naming one BMP picture per line (relative names are
          relative to the current folder)
  RATE    pictures per second, a decimal such as 25 or 29.97, rounded to
          hundredths
  SMOOTH  frames per picture, N (default 1): N > 1 cross-fades each picture
          into the next over N frames and multiplies the frame rate by N

The library is the one named by --library, else by the environment variable
STILLREEL_LIBRARY, else libstillreel.so.1 as the dynamic loader finds it (the
system's library folders, LD_LIBRARY_PATH).

Exit status: 0 when the file was written, otherwise VOD2ERI's result (1 to 6);
64 for a usage error, 69 when the library cannot be loaded.

Example: python3 convert.py clip.avi frames.txt 29.97 4
"""

import argparse
import ctypes
import decimal
import os
import sys

EXIT_USAGE = 64
EXIT_NO_LIBRARY = 69

# The results of VOD2ERI, as include/stillreel/vod2eri.h names them.
VOD2ERI_OK = 999
RESULTS = {
    1: "the file would exceed 2048 MiB",
    2: "the output file cannot be created",
    3: "the frame list cannot be read or names no pictures",
    4: "an argument is out of range",
    5: "writing the output failed",
    6: "out of memory",
}


class UsageError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def rate_x100(text):
    """Pictures per second as hundredths: "29.97" gives 2997, exactly."""
    try:
        rate = decimal.Decimal(text)
    except decimal.InvalidOperation:
        raise UsageError(f"RATE must be a number, have {text!r}")
    if not rate.is_finite():
        raise UsageError(f"RATE must be a number, have {text!r}")
    hundredths = int((rate * 100).to_integral_value(rounding=decimal.ROUND_HALF_UP))
    if not -(2**31) <= hundredths < 2**31:
        raise UsageError(f"RATE is out of range, have {text!r}")
    return hundredths


def smooth_count(text):
    try:
        count = int(text)
    except ValueError:
        raise UsageError(f"SMOOTH must be a whole number, have {text!r}")
    if not -(2**31) <= count < 2**31:
        raise UsageError(f"SMOOTH is out of range, have {text!r}")
    return count


def load_library(path):
    """libstillreel with VOD2ERI's signature declared."""
    library = ctypes.CDLL(path)
    vod2eri = library.VOD2ERI
    # int32_t VOD2ERI(const wchar_t* outputPath, const wchar_t* listPath,
    #                 int32_t frameRateX100, int32_t smoothCount);
    vod2eri.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p, ctypes.c_int32, ctypes.c_int32]
    vod2eri.restype = ctypes.c_int32
    return vod2eri


def main(argv):
    parser = Parser(prog="convert.py", usage="%(prog)s [--library PATH] OUTPUT LIST RATE [SMOOTH]",
                    description=__doc__.split("\n\n", 2)[2],
                    formatter_class=argparse.RawDescriptionHelpFormatter, add_help=False)
    parser.add_argument("-h", "--help", action="help", help="show this help and exit")
    parser.add_argument("--library", metavar="PATH", help="the libstillreel library to load")
    parser.add_argument("output", metavar="OUTPUT", help=argparse.SUPPRESS)
    parser.add_argument("list", metavar="LIST", help=argparse.SUPPRESS)
    parser.add_argument("rate", metavar="RATE", help=argparse.SUPPRESS)
    parser.add_argument("smooth", metavar="SMOOTH", nargs="?", default="1", help=argparse.SUPPRESS)
    try:
        args = parser.parse_args(argv)
        rate = rate_x100(args.rate)
        smooth = smooth_count(args.smooth)
    except UsageError as error:
        parser.print_usage(sys.stderr)
        print(f"convert.py: {error}", file=sys.stderr)
        return EXIT_USAGE

    library = args.library or os.environ.get("STILLREEL_LIBRARY") or "libstillreel.so.1"
    try:
        vod2eri = load_library(library)
    except (OSError, AttributeError) as error:
        print(f"convert.py: cannot load {library}: {error}", file=sys.stderr)
        print("convert.py: install stillreel, or name the library with --library PATH "
              "or STILLREEL_LIBRARY", file=sys.stderr)
        return EXIT_NO_LIBRARY

    result = vod2eri(args.output, args.list, rate, smooth)
    if result != VOD2ERI_OK:
        reason = RESULTS.get(result, "unknown result")
        print(f"convert.py: {args.output}: {reason} (result {result})", file=sys.stderr)
        return result if result in RESULTS else 1
    print(f"convert.py: wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
