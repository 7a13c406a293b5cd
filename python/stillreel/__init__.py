"""BMP pictures to one uncompressed AVI video, through libstillreel.

    import stillreel
    summary = stillreel.convert("clip.avi", ["a.bmp", "b.bmp"], fps=2, smooth=12)

The library is the one named by the environment variable STILLREEL_LIBRARY,
else the one installed beside this package, else libstillreel.so.1 as the
dynamic loader finds it.
"""

import ctypes
import dataclasses
import decimal
import os
import signal
import threading

__all__ = [
    "convert", "Summary", "Progress", "PictureNotice", "Error", "TooLarge",
    "CannotCreateOutput", "ListUnreadable", "BadArgument", "WriteFailed",
    "OutOfMemory", "Cancelled", "LibraryNotFound", "library_version", "ISSUES",
]

# The names of the picture issues, in the order of their values.
ISSUES = (
    "cannot-open", "not-a-file", "not-bmp", "short-header", "run-length-encoded",
    "unsupported-compression", "bit-fields-not-16", "unsupported-bit-count", "top-down",
    "bad-size", "too-large", "out-of-memory", "size-differs", "os2-core-header",
    "unknown-header-size", "embedded-jpeg", "embedded-png", "huffman", "rle24",
    "masks-not-contiguous", "sixty-four-bits", "run-length-bit-count",
    "bit-fields-bit-count", "top-down-run-length",
)
_CONTAINERS = {"avi1": 0, "opendml": 1, "auto": 2}
_READINGS = {"classic": 0, "full": 1}
_PIXELS = {"bgr24": 0, "gray8": 1, "bgra32": 2}
_OK = 999
_INT32_MAX = 2**31 - 1


class Error(Exception):
    """A conversion that did not write its file. `result` is the library's
    value, `summary` what was known of the file (or None)."""

    def __init__(self, result, message, summary=None):
        super().__init__(message)
        self.result = result
        self.summary = summary


class TooLarge(Error):
    """The file would be too large for the container chosen."""


class CannotCreateOutput(Error):
    """The output file cannot be created."""


class ListUnreadable(Error):
    """The list file cannot be read, or there are no pictures."""


class BadArgument(Error, ValueError):
    """A rate, smoothing count, thread count or choice out of range."""


class WriteFailed(Error):
    """Writing the output failed (disk full, I/O error)."""


class OutOfMemory(Error, MemoryError):
    """The conversion's own buffers could not be allocated."""


class Cancelled(Error):
    """The conversion was cancelled."""


class LibraryNotFound(OSError):
    """libstillreel cannot be loaded, or is too old for this package."""


_ERRORS = {1: TooLarge, 2: CannotCreateOutput, 3: ListUnreadable, 4: BadArgument,
           5: WriteFailed, 6: OutOfMemory, 7: Cancelled}


@dataclasses.dataclass(frozen=True)
class Summary:
    frame_width: int
    frame_height: int
    picture_count: int
    frame_count: int
    frame_rate: float  # frames per second of the file: the rate times smooth
    micros_per_frame: int
    file_size: int
    unreadable_pictures: int  # pictures that became 1 x 1 white frames
    container: str  # "avi1" or "opendml"
    riff_count: int
    pixels: str = "bgr24"  # "bgr24", "gray8" or "bgra32"
    every_picture_grey: bool = False  # set by a dry run: gray8 would keep every pixel


@dataclasses.dataclass(frozen=True)
class Progress:
    percent: float
    entry: int  # the picture about to be converted, from 0
    frames_written: int
    frame_count: int


@dataclasses.dataclass(frozen=True)
class PictureNotice:
    entry: int  # the picture, counted from 0
    name: str
    issue: str  # one of ISSUES; "size-differs" is a notice, the others failed reads
    message: str
    width: int
    height: int


class _ProgressC(ctypes.Structure):
    _fields_ = [("percent", ctypes.c_double), ("entry", ctypes.c_int64),
                ("frames_written", ctypes.c_int64), ("frame_count", ctypes.c_int64)]


class _NoticeC(ctypes.Structure):
    _fields_ = [("entry", ctypes.c_int64), ("name", ctypes.POINTER(ctypes.c_char)),
                ("name_size", ctypes.c_size_t), ("issue", ctypes.c_int32),
                ("width", ctypes.c_int32), ("height", ctypes.c_int32)]


class _SummaryC(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("frame_width", ctypes.c_int32),
                ("frame_height", ctypes.c_int32), ("container", ctypes.c_int32),
                ("picture_count", ctypes.c_int64), ("frame_count", ctypes.c_int64),
                ("frame_rate", ctypes.c_double), ("micros_per_frame", ctypes.c_uint32),
                ("reserved", ctypes.c_uint32), ("file_size", ctypes.c_uint64),
                ("unreadable_pictures", ctypes.c_int64), ("riff_count", ctypes.c_int64),
                ("pixels", ctypes.c_int32), ("every_picture_grey", ctypes.c_int32)]


_ON_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.POINTER(_ProgressC), ctypes.c_void_p)
_ON_PICTURE = ctypes.CFUNCTYPE(None, ctypes.POINTER(_NoticeC), ctypes.c_void_p)


class _OptionsC(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("container", ctypes.c_int32),
                ("reading", ctypes.c_int32), ("threads", ctypes.c_int32),
                ("dry_run", ctypes.c_int32), ("reserved", ctypes.c_int32),
                ("on_progress", _ON_PROGRESS), ("progress_user_data", ctypes.c_void_p),
                ("on_picture", _ON_PICTURE), ("picture_user_data", ctypes.c_void_p),
                ("cancel", ctypes.POINTER(ctypes.c_int32)),
                ("summary", ctypes.POINTER(_SummaryC)), ("pixels", ctypes.c_int32)]


_library = None
_library_lock = threading.Lock()


def _candidates():
    named = os.environ.get("STILLREEL_LIBRARY")
    if named:  # the caller's choice, and only it
        yield named
        return
    here = os.path.dirname(os.path.abspath(__file__))
    yield os.path.join(here, "libstillreel.so.1")
    try:  # written when the package is installed with the library
        from . import _location
        yield os.path.normpath(os.path.join(here, _location.LIBRARY))
    except ImportError:
        pass
    yield "libstillreel.so.1"


def _load():
    global _library
    with _library_lock:
        if _library is not None:
            return _library
        tried = []
        for candidate in _candidates():
            if os.sep in candidate and not os.path.exists(candidate) and \
                    candidate != os.environ.get("STILLREEL_LIBRARY"):
                continue
            try:
                lib = ctypes.CDLL(candidate)
            except OSError as error:
                tried.append(f"{candidate}: {error}")
                continue
            if not hasattr(lib, "stillreel_convert"):
                tried.append(f"{candidate}: too old, it has no stillreel_convert")
                continue
            break
        else:
            raise LibraryNotFound("libstillreel cannot be loaded (set STILLREEL_LIBRARY to "
                                  "its path): " + "; ".join(tried or ["not found"]))
        names = ctypes.POINTER(ctypes.c_char_p)
        common = [ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(_OptionsC)]
        for name, first in (("stillreel_convert", [ctypes.c_char_p, names, ctypes.c_size_t]),
                            ("stillreel_convert_list", [ctypes.c_char_p, ctypes.c_char_p]),
                            ("stillreel_convert_to_fd", [ctypes.c_int, names, ctypes.c_size_t]),
                            ("stillreel_convert_list_to_fd", [ctypes.c_int, ctypes.c_char_p])):
            function = getattr(lib, name)
            function.argtypes = first + common
            function.restype = ctypes.c_int32
        lib.stillreel_options_init.argtypes = [ctypes.POINTER(_OptionsC)]
        lib.stillreel_options_init.restype = None
        for name in ("stillreel_result_string", "stillreel_picture_issue_string"):
            getattr(lib, name).argtypes = [ctypes.c_int32]
            getattr(lib, name).restype = ctypes.c_char_p
        lib.stillreel_version.argtypes = []
        lib.stillreel_version.restype = ctypes.c_int32
        _library = lib
        return lib


def library_version():
    """The loaded library's version as a string, e.g. "1.0.0"."""
    number = _load().stillreel_version()
    return f"{number // 10000}.{number // 100 % 100}.{number % 100}"


def _rate_x100(fps):
    """Hundredths of a picture per second, rounded half up like the tool."""
    try:
        x100 = (decimal.Decimal(str(fps)) * 100).quantize(0, decimal.ROUND_HALF_UP)
    except (decimal.InvalidOperation, ValueError):
        raise BadArgument(4, f"fps {fps!r} is not a number") from None
    if not x100.is_finite() or not 0 < x100 <= _INT32_MAX:
        raise BadArgument(4, f"fps {fps!r} is out of range (0.01 to 21474836.47)")
    return int(x100)


def _count(value, what, low):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not low <= value <= _INT32_MAX:
        raise BadArgument(4, f"{what} {value} is out of range")
    return value


def _choice(table, value, what):
    if value not in table:
        raise BadArgument(4, f"{what} {value!r} is not one of {', '.join(table)}")
    return table[value]


def convert(output, pictures, fps=25, smooth=1, *, container="auto", reading="full",
            pixels="bgr24", threads=0, dry_run=False, progress=None, on_picture=None):
    """Turns BMP pictures into one uncompressed AVI file and returns its
    Summary.

    output: the AVI file (str or os.PathLike), replaced only once the new one
      is complete; or an int, an open file descriptor written front to back
      (a pipe, standard output); None with dry_run.
    pictures: the names of the pictures (a list of str, bytes or
      os.PathLike), or the name of a list file naming one picture per line.
    fps: pictures per second, rounded to hundredths. smooth: frames per
      picture; N > 1 cross-fades each picture into the next over N frames and
      multiplies the frame rate by N.
    container: "auto" (AVI 1.0 while the file fits in 2048 MiB, AVI 2.0
      beyond), "avi1" or "opendml". reading: "full" (every BMP kind real
      programs write) or "classic" (what VOD2ERI reads). pixels: "bgr24"
      (24-bit colour), "gray8" (8-bit grey, as Pillow's convert("L")) or
      "bgra32" (32-bit colour with the pictures' alpha, 255 where they have
      none).
    threads: threads for the cross-fades, 0 for one per core; the file is the
      same for every count. dry_run: read every picture, write nothing.
    progress(Progress) and on_picture(PictureNotice) are called on the
      calling thread. An exception raised in them, or Ctrl-C (when called on
      the main thread), cancels the conversion, leaves no file behind and is
      raised again. A Ctrl-C that comes after the last frame and report, while
      the file is being finished, is raised once the file is complete, with
      the attribute `completed` set.

    Raises a subclass of Error for each way the file is not written.
    """
    lib = _load()
    x100 = _rate_x100(fps)
    smooth = _count(smooth, "smooth", 0)
    options = _OptionsC()
    lib.stillreel_options_init(ctypes.byref(options))
    options.container = _choice(_CONTAINERS, container, "container")
    options.reading = _choice(_READINGS, reading, "reading")
    options.pixels = _choice(_PIXELS, pixels, "pixels")
    options.threads = _count(threads, "threads", 0)
    options.dry_run = 1 if dry_run else 0
    summary = _SummaryC(size=ctypes.sizeof(_SummaryC))
    options.summary = ctypes.pointer(summary)
    cancel = ctypes.c_int32(0)
    options.cancel = ctypes.pointer(cancel)
    raised = []

    def guarded(function):
        def call(*args):
            if raised:
                return
            try:
                function(*args)
            except BaseException as error:  # raised again once the call returns
                raised.append(error)
                cancel.value = 1
        return call

    # The library reads the cancel flag at every progress report, so one is
    # always asked for: that is also where a Ctrl-C is seen.
    def report(p, _user_data):
        if progress is not None:
            q = p.contents
            progress(Progress(q.percent, q.entry, q.frames_written, q.frame_count))

    def notice(n, _user_data):
        q = n.contents
        on_picture(PictureNotice(q.entry, os.fsdecode(ctypes.string_at(q.name, q.name_size)),
                                 ISSUES[q.issue] if 0 <= q.issue < len(ISSUES) else str(q.issue),
                                 lib.stillreel_picture_issue_string(q.issue).decode(),
                                 q.width, q.height))

    options.on_progress = _ON_PROGRESS(guarded(report))
    if on_picture is not None:
        options.on_picture = _ON_PICTURE(guarded(notice))

    if isinstance(pictures, (str, bytes, os.PathLike)):
        listed, names, count = _path_bytes(pictures), None, 0
    else:
        encoded = [_path_bytes(name) for name in pictures]
        listed, names, count = None, (ctypes.c_char_p * max(1, len(encoded)))(*encoded), len(encoded)

    if isinstance(output, bool):
        raise TypeError("output must be a path or a file descriptor")
    if isinstance(output, int):
        if listed is not None:
            call = lambda: lib.stillreel_convert_list_to_fd(output, listed, x100, smooth, options)
        else:
            call = lambda: lib.stillreel_convert_to_fd(output, names, count, x100, smooth, options)
    else:
        path = _path_bytes(output) if output is not None else b""
        if listed is not None:
            call = lambda: lib.stillreel_convert_list(path, listed, x100, smooth, options)
        else:
            call = lambda: lib.stillreel_convert(path, names, count, x100, smooth, options)

    result = _run_interruptibly(call, cancel, raised)
    if raised:
        if result == _OK:
            # Only a Ctrl-C can come this late, once the last point where the
            # conversion could stop had passed: the file is complete.
            raised[0].completed = True
        raise raised[0]
    known = _summary(summary) if summary.frame_count > 0 else None
    if result != _OK:
        message = lib.stillreel_result_string(result).decode()
        raise _ERRORS.get(result, Error)(result, message, known)
    return known


def _path_bytes(name):
    """A name as the library takes it; a NUL byte, which would end it early,
    is refused as Python's own file functions refuse it."""
    encoded = os.fsencode(name)
    if b"\0" in encoded:
        raise ValueError(f"embedded null byte in {name!r}")
    return encoded


def _run_interruptibly(call, cancel, raised):
    """Runs call(); on the main thread a Ctrl-C meanwhile raises the cancel
    flag and is raised again once the library has cleaned up."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        return call()

    def interrupted(signum, frame):
        if not raised:
            raised.append(KeyboardInterrupt())
        cancel.value = 1

    signal.signal(signal.SIGINT, interrupted)
    try:
        return call()
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def _summary(c):
    return Summary(c.frame_width, c.frame_height, c.picture_count, c.frame_count, c.frame_rate,
                   c.micros_per_frame, c.file_size, c.unreadable_pictures,
                   "opendml" if c.container == 1 else "avi1", c.riff_count,
                   {v: k for k, v in _PIXELS.items()}.get(c.pixels, "bgr24"),
                   bool(c.every_picture_grey))
