"""python3 -m stillreel: the stillreel tool's main options over stillreel.convert().

Exit status: 0 written (or, with --check, it would be); the library's result
(1 to 7) when not; 64 for a usage error; 69 when the library cannot be loaded.
"""

import argparse
import os
import sys

import stillreel

EXIT_USAGE = 64
EXIT_NO_LIBRARY = 69


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _parser():
    parser = _Parser(prog="python3 -m stillreel",
                     description="Turns BMP pictures, in the order given, into one "
                                 "uncompressed 24-bit AVI video.")
    parser.add_argument("pictures", nargs="*", metavar="PICTURE")
    parser.add_argument("-o", "--output", metavar="PATH",
                        help="the AVI file to write; - writes it to standard output")
    parser.add_argument("-l", "--list", metavar="FILE",
                        help="read the picture names from FILE, one per line; - reads "
                             "standard input")
    parser.add_argument("-r", "--fps", default="25", metavar="RATE",
                        help="pictures per second, rounded to hundredths (default 25)")
    parser.add_argument("-s", "--smooth", type=int, default=1, metavar="N",
                        help="frames per picture (default 1): N > 1 cross-fades each "
                             "picture into the next and multiplies the frame rate by N")
    parser.add_argument("--container", choices=("auto", "avi1", "opendml"),
                        help="the kind of AVI file (default auto)")
    parser.add_argument("--classic", action="store_true",
                        help="read pictures and write files exactly as VOD2ERI does")
    parser.add_argument("--threads", type=int, default=0, metavar="N",
                        help="threads for the cross-fades (default: one per core)")
    parser.add_argument("--check", action="store_true",
                        help="read every picture and report what would be written")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="no progress line and no summary")
    parser.add_argument("--version", action="store_true", help="show the versions and exit")
    return parser


def _plural(count, noun):
    return f"{count} {noun}{'s' * (count != 1)}"


def _kind(summary):
    if summary.container == "avi1":
        return "AVI 1.0"
    return f"AVI 2.0 (OpenDML) in {_plural(summary.riff_count, 'RIFF')}"


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.version:
            print(f"stillreel {stillreel.library_version()} (python3 -m stillreel)")
            return 0
        stillreel._load()
    except stillreel.LibraryNotFound as error:
        print(f"stillreel: {error}", file=sys.stderr)
        return EXIT_NO_LIBRARY
    if args.classic and args.container:
        parser.error("--classic writes AVI 1.0 only; leave out --container")
    if bool(args.list) == bool(args.pictures):
        parser.error("give either pictures or --list")
    if not args.output and not args.check:
        parser.error("-o is required unless --check is given")
    if args.threads < 0:
        parser.error("--threads must be 0 or more")
    to_stdout = args.output == "-" and not args.check
    if to_stdout and os.isatty(1):
        parser.error("standard output is a terminal; redirect it or give -o a file")

    pictures = args.pictures
    if args.list:
        pictures = "/dev/stdin" if args.list == "-" else args.list
    output = 1 if to_stdout else (args.output if not args.check else None)
    show = not args.quiet and sys.stderr.isatty()

    def progress(p):
        if show:
            sys.stderr.write(f"\rstillreel: {p.percent:5.1f}% ({p.frames_written} of "
                             f"{p.frame_count} frames)")
            sys.stderr.flush()

    def on_picture(notice):
        line = f"picture {notice.entry + 1} {notice.name!r} {notice.message}"
        if show:
            sys.stderr.write("\r\033[K")
        if args.check:
            print(line)
        else:
            print(f"stillreel: warning: {line}", file=sys.stderr)

    try:
        summary = stillreel.convert(
            output, pictures, args.fps, args.smooth,
            container="avi1" if args.classic else (args.container or "auto"),
            reading="classic" if args.classic else "full", threads=args.threads,
            dry_run=args.check, progress=progress, on_picture=on_picture)
    except stillreel.Error as error:
        if show:
            sys.stderr.write("\n")
        print(f"stillreel: {error}", file=sys.stderr)
        return error.result
    except KeyboardInterrupt as interrupt:
        if show:
            sys.stderr.write("\n")
        if getattr(interrupt, "completed", False):
            what = "too late: the file was already complete"
        elif to_stdout:
            what = "what reached standard output is an incomplete file"
        else:
            what = "no file was left behind"
        print("stillreel: interrupted; " + what, file=sys.stderr)
        return 7
    if show:
        sys.stderr.write("\n")
    if args.check:
        print(f"pictures:   {summary.picture_count}, {summary.unreadable_pictures} unreadable")
        print(f"frames:     {_plural(summary.frame_count, 'frame')} of {summary.frame_width}x"
              f"{summary.frame_height}, 24-bit")
        print(f"rate:       {summary.frame_rate:g} frames per second")
        print(f"container:  {_kind(summary)}")
        print(f"file size:  {summary.file_size} bytes")
    elif not args.quiet:
        where = "standard output" if to_stdout else args.output
        line = (f"stillreel: wrote {where}: {_plural(summary.frame_count, 'frame')} of "
                f"{summary.frame_width}x{summary.frame_height} at {summary.frame_rate:g} fps, "
                f"{_kind(summary)}, {summary.file_size} bytes")
        if summary.unreadable_pictures:
            line += f", {_plural(summary.unreadable_pictures, 'picture')} unreadable"
        print(line, file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
