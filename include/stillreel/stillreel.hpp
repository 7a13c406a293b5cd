// The C++ API of stillreel: BMP pictures in, one uncompressed AVI out.
// Convert() does the whole job on the caller's thread and starts no threads,
// unless Options::threads asks it to share the cross-fades among more; calls
// on different output files may run at the same time. The library
// prints and logs nothing: what it has to say reaches the caller through the
// result and the callbacks in Options.
#ifndef STILLREEL_STILLREEL_HPP_
#define STILLREEL_STILLREEL_HPP_

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "stillreel/export.h"
#include "stillreel/version.h"

namespace stillreel {

// The outcome of a conversion. The values are those of the C entry VOD2ERI.
enum class Result : std::int32_t {
  kOk = 999,                // the AVI file was written and closed
  kTooLarge = 1,            // too large for its kind (AVI 1.0: 2048 MiB); nothing was created
  kCannotCreateOutput = 2,  // the output cannot be created; nothing was written
  kListUnreadable = 3,      // the frame list cannot be read or names no pictures
  kBadArgument = 4,         // an empty path, a rate <= 0, a smoothing count < 0, ...
  kWriteFailed = 5,         // a write, flush or close of the output failed
  kOutOfMemory = 6,         // the conversion's own buffers could not be allocated
  kCancelled = 7,           // Options::cancel was set (never returned by VOD2ERI)
};

// One line of plain words for a result, e.g. "the output file cannot be created".
STILLREEL_API const char* ToString(Result result) noexcept;

// Why a picture could not be read (its frame is then a 1 x 1 white picture),
// or, for kSizeDiffers, a notice that a readable picture has another size
// than the first one (it is placed at the frame's bottom-left corner).
enum class PictureIssue : std::int32_t {
  kCannotOpen = 0,              // no such file, no permission, or a name with a NUL byte
  kNotAFile = 1,                // a directory, a FIFO or a device
  kNotBmp = 2,                  // does not start with "BM"
  kShortHeader = 3,             // the file ends inside its headers
  kRunLengthEncoded = 4,        // classic: compression 1 or 2
  kUnsupportedCompression = 5,  // classic: other than 0, 1, 2, 3; full: other than 0 to 6
  kBitFieldsNot16 = 6,       // classic: bit fields (compression 3) with a bit count other than 16
  kUnsupportedBitCount = 7,  // bit count other than 1, 4, 8, 16, 24 and 32
  kTopDown = 8,              // classic: negative height, rows stored top-down
  kBadSize = 9,              // width <= 0 or height 0
  kTooLarge = 10,            // its 24-bit frame would exceed 2048 MiB
  kOutOfMemory = 11,         // its pixels could not be allocated
  kSizeDiffers = 12,         // notice only: read, but its size is not the first picture's
  kOs2CoreHeader = 13,       // classic: a 12-byte info header (OS/2 1.x)
  kUnknownHeaderSize = 14,   // full: an info header size no BMP version has
  kEmbeddedJpeg = 15,        // full: compression 4, a JPEG picture inside
  kEmbeddedPng = 16,         // full: compression 5, a PNG picture inside
  kHuffman = 17,             // full: OS/2 Huffman 1D (compression 3 in an OS/2 2.x header)
  kRle24 = 18,               // full: OS/2 RLE24 (compression 4 in an OS/2 2.x header)
  kMasksNotContiguous = 19,  // full: a red, green or blue mask whose bits are not contiguous
  kSixtyFourBits = 20,       // full: 64 bits a pixel
  kRunLengthBitCount = 21,   // full: RLE8 with a bit count other than 8, RLE4 other than 4
  kBitFieldsBitCount = 22,   // full: bit fields with a bit count other than 16 and 32
  kTopDownRunLength = 23,    // full: run-length encoded rows stored top-down
};

// Plain words for an issue, e.g. "run-length encoded BMPs are not supported".
STILLREEL_API const char* ToString(PictureIssue issue) noexcept;

struct PictureNotice {
  std::int64_t entry;     // list entry, counted from 0
  std::string_view name;  // the name as given
  PictureIssue issue;
  std::int32_t width;  // the picture's size as read (1 x 1 for a failed read)
  std::int32_t height;
};

// Reported before each entry k with percent 100 x k / (n - 1) (0 for a single
// entry), after each in-between frame l of a fade from entry k with k + l / N
// in place of k, and with 100 once while the index is written.
struct Progress {
  double percent;
  std::int64_t entry;          // the entry about to be converted; n while the index is written
  std::int64_t framesWritten;  // frames written so far
  std::int64_t frameCount;     // frames in the whole file
};

// How pictures are read.
enum class Reading : std::int32_t {
  // The reader VOD2ERI has: uncompressed bottom-up BMPs of 1, 4, 8, 16, 24
  // and 32 bits, bit fields at 16 bits only, 16-bit channels scaled by 8.
  kClassic = 0,
  // Every BMP that real programs write, each picture shown as viewers show it.
  kFull = 1,
};

// The kind of AVI file written.
enum class Container : std::int32_t {
  kAvi1 = 0,     // AVI 1.0, at most 2048 MiB (kTooLarge beyond): VOD2ERI's kind
  kOpenDml = 1,  // AVI 2.0 (OpenDML), of any length
  kAuto = 2,     // AVI 1.0 when the file fits in it, AVI 2.0 beyond
};

// The kind of frames written.
enum class Pixels : std::int32_t {
  kBgr24 = 0,  // 24-bit colour, blue, green, red: VOD2ERI's kind
  kGray8 = 1,  // 8-bit grey with a grey colour table: a third of the bytes
  // 32-bit blue, green, red and alpha: the alpha of pictures whose bit
  // fields have an alpha mask, 255 (opaque) for every other picture; what a
  // smaller picture does not cover is 0, transparent black.
  kBgra32 = 2,
};

// What a conversion produces. Filled before anything is written, also when
// the file would be too large; a size beyond 64 bits is the largest value.
struct Summary {
  std::int32_t frameWidth = 0;
  std::int32_t frameHeight = 0;
  std::int64_t pictureCount = 0;  // n, the list entries
  std::int64_t frameCount = 0;    // (n - 1) x N + 1
  double frameRate = 0;           // frames per second of the file (the rate times N)
  std::uint32_t microsPerFrame = 0;
  std::uint64_t fileSize = 0;              // bytes
  std::int64_t unreadablePictures = 0;     // pictures that became 1 x 1 white frames
  Container container = Container::kAvi1;  // the kind of file: kAvi1 or kOpenDml
  std::int64_t riffCount = 1;              // RIFFs of an AVI 2.0 file, at most 1 GiB each
  Pixels pixels = Pixels::kBgr24;          // the kind of frames
  // Set by a dry run: every picture is grey (blue = green = red, an
  // unreadable one white), so kGray8 would keep every pixel as it is.
  bool everyPictureGrey = false;
};

struct Options {
  // Called as Progress above describes.
  std::function<void(const Progress&)> onProgress;
  // Called for each picture that cannot be read, and for each picture whose
  // size differs from the first (PictureIssue::kSizeDiffers).
  std::function<void(const PictureNotice&)> onPicture;
  // Checked between frames; when it becomes true the conversion stops, leaves
  // no file behind (an existing output stays as it was) and returns kCancelled.
  const std::atomic<bool>* cancel = nullptr;
  // Reads every picture and reports as a conversion would, but writes
  // nothing (and, while the pictures are grey, reads their pixels for
  // Summary::everyPictureGrey).
  bool dryRun = false;
  // Filled once the layout of the file is known, before the first write;
  // unreadablePictures is set when the call returns.
  Summary* summary = nullptr;
  Reading reading = Reading::kClassic;
  Container container = Container::kAvi1;
  // kGray8 writes each pixel as its grey, Y = (19595 R + 38470 G + 7471 B
  // + 32768) >> 16, which keeps a grey pixel's value; fades blend the greys.
  Pixels pixels = Pixels::kBgr24;
  // The threads a conversion may use: 1, the caller's alone, or more (at
  // most 64), started with the conversion to blend the in-between frames and
  // read pictures ahead; 0 is one per available core, a negative count
  // kBadArgument. The file, the result and the callbacks, which are only
  // ever called on the caller's thread, are the same for every count.
  std::int32_t threads = 1;
};

// Converts the pictures `names` (bytes, opened unchanged, relative to the
// current folder) into the AVI file `output`, replacing it only once the new
// file is complete. frameRateX100 is frames per second times 100;
// smoothCount N > 1 inserts N - 1 cross-faded frames after each picture but the
// last and multiplies the rate by N; 0 means 1. Exceptions thrown by the
// callbacks pass through after the partial output has been removed. On
// Windows the names are UTF-8 where they are valid UTF-8, else in the ANSI
// code page; an exception passes through stillreel.dll only to a caller
// built with the same compiler and its runtime (mingw-w64's): across other
// runtimes it must not be relied on.
STILLREEL_API Result Convert(const std::filesystem::path& output,
                             const std::vector<std::string>& names, std::int32_t frameRateX100,
                             std::int32_t smoothCount, const Options& options = {});

// The same, writing the AVI file front to back to the open file descriptor
// `fd` (standard output, a pipe, a socket), which stays open. Nothing is
// renamed or removed: when the conversion fails, what was written stays.
// On Windows `fd` is a descriptor of the C runtime stillreel.dll is linked
// with (msvcrt.dll), whose handle it writes through.
STILLREEL_API Result ConvertToFd(int fd, const std::vector<std::string>& names,
                                 std::int32_t frameRateX100, std::int32_t smoothCount,
                                 const Options& options = {});

// The entries of a frame list text: one per line, a final "\n" and a "\r"
// before it removed; blank lines are entries with an empty name.
STILLREEL_API std::vector<std::string> ParseFrameList(std::string_view text);

// Reads and parses the frame list file at `list`. Returns kOk, or
// kListUnreadable when it cannot be opened or read or names no pictures.
STILLREEL_API Result ReadFrameList(const std::filesystem::path& list,
                                   std::vector<std::string>& names);

}  // namespace stillreel

#endif  // STILLREEL_STILLREEL_HPP_
