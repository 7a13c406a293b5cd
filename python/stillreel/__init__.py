"""BMP pictures, or frames in memory, to one uncompressed AVI video, through
libstillreel.

    import stillreel
    summary = stillreel.convert("clip.avi", ["a.bmp", "b.bmp"], fps=2, smooth=12)

    with stillreel.Writer("clip.avi", fps=30) as writer:
        for frame in frames:  # numpy arrays (h, w, 3), Pillow images, ...
            writer.write(frame)

The library is the one named by the environment variable STILLREEL_LIBRARY,
else the one installed beside this package, else libstillreel.so.1 as the
dynamic loader finds it.
"""

from __future__ import annotations

import ctypes
import dataclasses
import decimal
import os
import signal
import stat
import threading
from typing import Any, Callable, Iterable, Optional, Union

__all__ = [
    "convert", "Writer", "Summary", "Progress", "PictureNotice", "Error", "TooLarge",
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
_PIXELS = {"bgr24": 0, "gray8": 1}
# The Writer's, where "auto" is settled by the first frame; "bgra32" keeps
# alpha, in a library that has those frames.
_WRITER_PIXELS = {"auto": None, "bgr24": 0, "gray8": 1, "bgra32": 2}
_CHANNELS = ("rgb", "bgr")
# stillreel_picture.layout by channels and channel order.
_LAYOUTS = {(1, "rgb"): 0, (1, "bgr"): 0, (3, "bgr"): 1, (3, "rgb"): 2, (4, "bgr"): 3,
            (4, "rgb"): 4}
_OK = 999
_INT32_MAX = 2**31 - 1


class Error(Exception):
    """A conversion that did not write its file. `result` is the library's
    value, `summary` what was known of the file (or None)."""

    def __init__(self, result: int, message: str, summary: Optional[Summary] = None) -> None:
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
    pixels: str = "bgr24"  # "bgr24" or "gray8"
    pictures_appended: int = 0  # a Writer's frames written or refused beyond the count


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
                ("pixels", ctypes.c_int32), ("reserved2", ctypes.c_int32),
                ("pictures_appended", ctypes.c_int64)]


class _SetupC(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("frame_rate_x100", ctypes.c_int32),
                ("smooth_count", ctypes.c_int32), ("width", ctypes.c_int32),
                ("height", ctypes.c_int32), ("reserved", ctypes.c_int32),
                ("picture_count", ctypes.c_int64)]


class _PictureC(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("layout", ctypes.c_int32),
                ("width", ctypes.c_int32), ("height", ctypes.c_int32),
                ("stride", ctypes.c_int64), ("pixels", ctypes.c_void_p)]


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


def _candidates() -> Iterable[str]:
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


def _load() -> ctypes.CDLL:
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
        if hasattr(lib, "stillreel_writer_open"):  # a library older than the Writer has none
            handle = ctypes.POINTER(ctypes.c_void_p)
            setup, options = ctypes.POINTER(_SetupC), ctypes.POINTER(_OptionsC)
            for name, args in (
                    ("stillreel_writer_open", [handle, ctypes.c_char_p, setup, options]),
                    ("stillreel_writer_open_fd", [handle, ctypes.c_int, setup, options]),
                    ("stillreel_writer_append", [ctypes.c_void_p, ctypes.POINTER(_PictureC)]),
                    ("stillreel_writer_append_bmp",
                     [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]),
                    ("stillreel_writer_close", [ctypes.c_void_p, ctypes.POINTER(_SummaryC)])):
                getattr(lib, name).argtypes = args
                getattr(lib, name).restype = ctypes.c_int32
            lib.stillreel_writer_abort.argtypes = [ctypes.c_void_p]
            lib.stillreel_writer_abort.restype = None
            lib.stillreel_writer_setup_init.argtypes = [setup]
            lib.stillreel_writer_setup_init.restype = None
        _library = lib
        return lib


def library_version() -> str:
    """The loaded library's version as a string, e.g. "1.0.0"."""
    number = _load().stillreel_version()
    return f"{number // 10000}.{number // 100 % 100}.{number % 100}"


def _rate_x100(fps: Union[float, int, str, decimal.Decimal]) -> int:
    """Hundredths of a picture per second, rounded half up like the tool."""
    try:
        x100 = (decimal.Decimal(str(fps)) * 100).quantize(0, decimal.ROUND_HALF_UP)
    except (decimal.InvalidOperation, ValueError):
        raise BadArgument(4, f"fps {fps!r} is not a number") from None
    if not x100.is_finite() or not 0 < x100 <= _INT32_MAX:
        raise BadArgument(4, f"fps {fps!r} is out of range (0.01 to 21474836.47)")
    return int(x100)


def _count(value: Any, what: str, low: int, high: int = _INT32_MAX) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise BadArgument(4, f"{what} {value} is out of range")
    return value


def _choice(table: dict, value: Any, what: str) -> Any:
    if value not in table:
        raise BadArgument(4, f"{what} {value!r} is not one of {', '.join(table)}")
    return table[value]


_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def convert(output: Union[_Path, int, None], pictures: Union[_Path, Iterable[_Path]],
            fps: Union[float, int, str, decimal.Decimal] = 25, smooth: int = 1, *,
            container: str = "auto", reading: str = "full", pixels: str = "bgr24",
            threads: int = 0, dry_run: bool = False,
            progress: Optional[Callable[[Progress], Any]] = None,
            on_picture: Optional[Callable[[PictureNotice], Any]] = None) -> Optional[Summary]:
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
      (24-bit colour) or "gray8" (8-bit grey, as Pillow's convert("L")).
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


def _path_bytes(name: _Path) -> bytes:
    """A name as the library takes it; a NUL byte, which would end it early,
    is refused as Python's own file functions refuse it."""
    encoded = os.fsencode(name)
    if b"\0" in encoded:
        raise ValueError(f"embedded null byte in {name!r}")
    return encoded


def _run_interruptibly(call: Callable[[], int], cancel: ctypes.c_int32, raised: list) -> int:
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


def _summary(c: _SummaryC) -> Summary:
    return Summary(c.frame_width, c.frame_height, c.picture_count, c.frame_count, c.frame_rate,
                   c.micros_per_frame, c.file_size, c.unreadable_pictures,
                   "opendml" if c.container == 1 else "avi1", c.riff_count,
                   {1: "gray8", 2: "bgra32"}.get(c.pixels, "bgr24"), c.pictures_appended)

class Writer:
    """Writes one uncompressed AVI file from frames in memory, a write() at a
    time: the file convert() writes for the same pictures as BMP files, fades
    included (a fade from a frame needs the next, so one frame is held back).

        with stillreel.Writer("clip.avi", fps=30, smooth=4) as writer:
            for frame in frames:
                writer.write(frame)
        summary = writer.summary

    output: the AVI file (str, bytes or os.PathLike), put in place only by
      close(); or an int, an open file descriptor, which stays open.
    fps, smooth, container, threads, progress and on_picture are those of
      convert(); progress without `pictures` has percent and frame_count -1
      until close().
    pixels: "auto" (gray8 when the first frame is (h, w) or a Pillow image
      of mode L, else bgr24), "bgr24", "gray8", or "bgra32" (alpha kept, in
      a library that has those frames).
    pictures: how many frames will be written. Without it the output must be
      a file that can seek (its headers are written again by close()); with
      it the file goes out front to back, to a pipe too. Another number of
      frames than it says raises BadArgument at the write beyond it or at
      close().
    width, height: the video's size; by default the first frame's. A frame
      of another size sits at the bottom-left corner, cut or padded with
      black.
    channels: "rgb" (numpy, Pillow, imageio) or "bgr" (OpenCV) for frames
      of 3 or 4 channels.
    reading: how BMP files given to write() are read, as for convert().

    Leaving a `with` block by an exception, abort(), or a Writer dropped
    unclosed leaves no file; an existing output stays as it was. One thread
    at a time may use a Writer.
    """

    def __init__(self, output: Union[_Path, int], fps: Union[float, int, str,
                 decimal.Decimal] = 25, smooth: int = 1, *, pixels: str = "auto",
                 container: str = "auto", pictures: Optional[int] = None,
                 width: Optional[int] = None, height: Optional[int] = None,
                 channels: str = "rgb", threads: int = 0,
                 progress: Optional[Callable[[Progress], Any]] = None,
                 on_picture: Optional[Callable[[PictureNotice], Any]] = None,
                 reading: str = "full") -> None:
        self._handle: Optional[ctypes.c_void_p] = None
        self._done = False  # closed or aborted
        self._written = 0
        self.summary: Optional[Summary] = None
        lib = _load()
        if not hasattr(lib, "stillreel_writer_open"):
            raise LibraryNotFound("libstillreel is too old: it has no stillreel_writer_open")
        self._lib = lib
        self._setup = _SetupC()
        lib.stillreel_writer_setup_init(ctypes.byref(self._setup))
        self._setup.frame_rate_x100 = _rate_x100(fps)
        self._setup.smooth_count = _count(smooth, "smooth", 0)
        if pictures is not None:
            self._setup.picture_count = _count(pictures, "pictures", 1, 2**63 - 1)
        if (width is None) != (height is None):
            raise BadArgument(4, "width and height are given together or not at all")
        if width is not None:
            self._setup.width = _count(width, "width", 1)
            self._setup.height = _count(height, "height", 1)
        self._pixels = _choice(_WRITER_PIXELS, pixels, "pixels")
        self._channels = channels if channels in _CHANNELS else _choice(
            dict.fromkeys(_CHANNELS), channels, "channels")
        self._pictures = pictures
        options = _OptionsC()
        lib.stillreel_options_init(ctypes.byref(options))
        options.container = _choice(_CONTAINERS, container, "container")
        options.reading = _choice(_READINGS, reading, "reading")
        options.threads = _count(threads, "threads", 0)
        self._cancel = ctypes.c_int32(0)
        options.cancel = ctypes.pointer(self._cancel)
        self._raised: list = []

        def guarded(function: Callable) -> Callable:
            def call(*args: Any) -> None:
                if self._raised:
                    return
                try:
                    function(*args)
                except BaseException as error:  # raised again once the call returns
                    self._raised.append(error)
                    self._cancel.value = 1
            return call

        def report(p: Any, _user_data: Any) -> None:
            q = p.contents
            progress(Progress(q.percent, q.entry, q.frames_written, q.frame_count))

        def notice(n: Any, _user_data: Any) -> None:
            q = n.contents
            on_picture(PictureNotice(q.entry, "", ISSUES[q.issue] if 0 <= q.issue < len(ISSUES)
                                     else str(q.issue),
                                     lib.stillreel_picture_issue_string(q.issue).decode(),
                                     q.width, q.height))

        if progress is not None:
            options.on_progress = _ON_PROGRESS(guarded(report))
        if on_picture is not None:
            options.on_picture = _ON_PICTURE(guarded(notice))
        self._options = options
        if isinstance(output, bool):
            raise TypeError("output must be a path or a file descriptor")
        self._fd = output if isinstance(output, int) else None
        self._path = None if self._fd is not None else _path_bytes(output)
        self._picture = _PictureC(size=ctypes.sizeof(_PictureC))
        if self._pixels is not None:
            self._open(self._pixels)
        elif self._fd is not None or not _is_special(self._path):
            # Opened now to say at once what is wrong with the output, and
            # again by the first frame, which settles the pixels.
            self._open(0)
            lib.stillreel_writer_abort(self._handle)
            self._handle = None

    def _open(self, pixels: int) -> None:
        self._options.pixels = pixels
        handle = ctypes.c_void_p()
        if self._fd is not None:
            result = self._lib.stillreel_writer_open_fd(
                ctypes.byref(handle), self._fd, ctypes.byref(self._setup),
                ctypes.byref(self._options))
        else:
            result = self._lib.stillreel_writer_open(
                ctypes.byref(handle), self._path, ctypes.byref(self._setup),
                ctypes.byref(self._options))
        if result != _OK:
            message = self._lib.stillreel_result_string(result).decode()
            if result == 4 and self._pictures is None and not self._seekable():
                message += ": an output that cannot seek needs pictures="
            raise _ERRORS.get(result, Error)(result, message)
        self._handle = handle

    def _seekable(self) -> bool:
        try:
            if self._fd is not None:
                os.lseek(self._fd, 0, os.SEEK_CUR)
                return True
            return not _is_special(self._path)
        except OSError:
            return False

    def write(self, frame: Any) -> None:
        """Appends one frame: a uint8 array (numpy's, or anything with the
        buffer protocol or __array_interface__) of shape (h, w) grey, (h, w, 3)
        or (h, w, 4) colour in the order `channels` says, C-contiguous or with
        strides; a Pillow image of mode L, RGB or RGBA; or a 1-D bytes-like
        object holding a whole BMP file (it starts with b"BM"). A frame of
        another kind raises ValueError and is not written; the writer goes on."""
        if self._done:
            raise ValueError("the writer is closed")
        kind, layout, w, h, stride, address, keep = _frame(frame, self._channels)
        if self._handle is None:
            self._open(1 if layout == 0 and kind == "view" else 0)
        if kind == "bmp":
            result = self._lib.stillreel_writer_append_bmp(self._handle, address, w)
        else:
            picture = self._picture
            picture.layout, picture.width, picture.height = layout, w, h
            picture.stride, picture.pixels = stride, address
            result = self._lib.stillreel_writer_append(self._handle, ctypes.byref(picture))
        del keep
        if result == 4 and self._pictures is not None and self._written >= self._pictures:
            self._check(result, f": frame {self._written + 1} is beyond pictures={self._pictures}")
        self._check(result)
        self._written += 1

    def _check(self, result: int, more: str = "", summary: Optional[Summary] = None) -> None:
        if self._raised:
            raise self._raised[0]
        if result != _OK:
            message = self._lib.stillreel_result_string(result).decode() + more
            raise _ERRORS.get(result, Error)(result, message, summary)

    def close(self) -> Summary:
        """Writes the last frames and the index, puts the file in place, and
        returns its Summary (also kept as .summary)."""
        if self._done:
            if self.summary is None:
                raise ValueError("the writer was aborted")
            return self.summary
        if self._handle is None:
            # No frame came to open the writer for: it closes on none.
            self._open(self._pixels or 0)
        c = _SummaryC(size=ctypes.sizeof(_SummaryC))
        handle, self._handle = self._handle, None
        self._done = True
        result = self._lib.stillreel_writer_close(handle, ctypes.byref(c))
        summary = _summary(c)
        more = ""
        if result == 4 and self._pictures is not None:
            more = f": {summary.pictures_appended} frames written, pictures={self._pictures} given"
        elif result == 4 and summary.pictures_appended == 0:
            more = ": no frame was written"
        self._check(result, more, summary)
        self.summary = summary
        return summary

    def abort(self) -> None:
        """Drops the file: nothing is left, an existing output stays as it was."""
        handle, self._handle = self._handle, None
        self._done = True
        if handle is not None:
            self._lib.stillreel_writer_abort(handle)

    def __enter__(self) -> "Writer":
        return self

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is not None:
            self.abort()
        elif not self._done:
            self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.abort()


def _is_special(path: bytes) -> bool:
    """Whether a path names something other than a regular file (a FIFO, a
    device), which opening might block on or write to at once."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def _shape_error(got: str) -> ValueError:
    return ValueError(f"got {got}, needs a uint8 array of shape (h, w), (h, w, 3) or "
                      "(h, w, 4), a Pillow image of mode L, RGB or RGBA, or a whole BMP file")


def _address(data: Any) -> tuple:
    """The address of a bytes-like object's first byte without a copy where
    it can be had, and what must stay alive meanwhile."""
    if isinstance(data, bytes):
        pointer = ctypes.c_char_p(data)
        return ctypes.cast(pointer, ctypes.c_void_p).value, (data, pointer)
    view = memoryview(data)
    if view.readonly or not view.c_contiguous:
        copied = view.tobytes()  # one copy, in C order
        return _address(copied)
    array = (ctypes.c_ubyte * view.nbytes).from_buffer(view)
    return ctypes.addressof(array), (view, array)


def _geometry(shape: tuple, strides: Optional[tuple], channels: str) -> tuple:
    """(layout, width, height, row stride or None when the pixels of a row
    are not packed) of a uint8 array's shape and byte strides."""
    if len(shape) not in (2, 3) or (len(shape) == 3 and shape[2] not in (3, 4)):
        raise _shape_error(f"shape {shape}")
    h, w = shape[0], shape[1]
    n = 1 if len(shape) == 2 else shape[2]
    if h < 1 or w < 1:
        raise _shape_error(f"shape {shape}, which has no pixels")
    if h > _INT32_MAX or w > _INT32_MAX:
        raise _shape_error(f"shape {shape}, larger than any frame")
    if strides is None:
        return _LAYOUTS[(n, channels)], w, h, w * n
    packed = (w == 1 or strides[1] == n) and (n == 1 or strides[2] == 1)
    return _LAYOUTS[(n, channels)], w, h, strides[0] if packed else None


def _frame(frame: Any, channels: str) -> tuple:
    """(kind, layout, width or size, height, stride, address, keep-alive)."""
    if hasattr(frame, "getbands") and hasattr(frame, "mode"):  # a Pillow image
        n = {"L": 1, "RGB": 3, "RGBA": 4}.get(frame.mode)
        if n is None:
            raise _shape_error(f"a Pillow image of mode {frame.mode}")
        w, h = frame.size
        data = frame.tobytes()
        address, keep = _address(data)
        layout = _LAYOUTS[(n, "rgb")]  # Pillow's order whatever `channels` says
        return "view", layout, w, h, w * n, address, keep
    interface = getattr(frame, "__array_interface__", None)
    if isinstance(interface, dict) and len(interface.get("shape", ())) != 1:
        typestr = interface.get("typestr", "")
        if typestr[1:] != "u1":
            raise _shape_error(f"dtype {typestr!r} of shape {tuple(interface['shape'])}")
        shape = tuple(interface["shape"])
        layout, w, h, stride = _geometry(shape, interface.get("strides"), channels)
        data = interface.get("data")
        if stride is None or not isinstance(data, tuple):
            # Pixels not packed in their rows, or held by another object:
            # one copy in C order.
            copied = frame.tobytes() if hasattr(frame, "tobytes") else memoryview(frame).tobytes()
            address, keep = _address(copied)
            return "view", layout, w, h, w * (shape[2] if len(shape) == 3 else 1), address, keep
        return "view", layout, w, h, stride, data[0], frame
    try:
        view = memoryview(frame)
    except TypeError:
        raise _shape_error(type(frame).__name__) from None
    if view.ndim <= 1:
        if view.nbytes >= 2 and view.format in ("B", "b", "c") and view[:2].tobytes() == b"BM":
            address, keep = _address(frame)
            return "bmp", 0, view.nbytes, 0, 0, address, keep
        raise _shape_error(f"a 1-D buffer of {view.nbytes} bytes that is not a BMP file "
                           "(it does not start with b'BM')")
    if view.format != "B":
        raise _shape_error(f"items of format {view.format!r} of shape {view.shape}")
    layout, w, h, stride = _geometry(view.shape, view.strides, channels)
    if stride is None or not view.c_contiguous or view.readonly:
        address, keep = _address(view.tobytes())
        n = view.shape[2] if view.ndim == 3 else 1
        return "view", layout, w, h, w * n, address, keep
    address, keep = _address(view)
    return "view", layout, w, h, stride, address, keep

