// The C++ API of stillreel: BMP pictures in, one uncompressed 24-bit AVI out.
// Convert() takes pictures from files, a Writer from the caller's memory.
// Convert() does the whole job on the caller's thread and starts no threads,
// unless Options::threads asks it to share the cross-fades among more; calls
// on different output files may run at the same time. The library
// prints and logs nothing: what it has to say reaches the caller through the
// result and the callbacks in Options.
#ifndef STILLREEL_STILLREEL_HPP_
#define STILLREEL_STILLREEL_HPP_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
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
  std::int64_t entry;     // list entry, counted from 0 (a Writer's: pictures appended before)
  std::string_view name;  // the name as given; empty for a picture a Writer was given
  PictureIssue issue;
  std::int32_t width;  // the picture's size as read (1 x 1 for a failed read)
  std::int32_t height;
};

// Reported before each entry k with percent 100 x k / (n - 1) (0 for a single
// entry), after each in-between frame l of a fade from entry k with k + l / N
// in place of k, and with 100 once while the index is written. A Writer that
// was not told n reports the same moments with percent and frameCount -1.
struct Progress {
  double percent;
  std::int64_t entry;          // the entry about to be converted; n while the index is written
  std::int64_t framesWritten;  // frames written so far
  std::int64_t frameCount;     // frames in the whole file; -1 when not known yet
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
  // A Writer's pictures appended, refused beyond the count included; it
  // differs from pictureCount only when their number was not the one given.
  std::int64_t picturesAppended = 0;
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
  // Reads every picture and reports as a conversion would, but writes nothing.
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

// How a picture in memory holds its pixels: a byte a pixel, or three or four
// in the order named. A fourth byte is alpha; frames without alpha drop it.
enum class Layout : std::int32_t {
  kGray8 = 0,   // grey: blue, green and red are its value
  kBgr24 = 1,   // blue, green, red (a BMP's and OpenCV's order)
  kRgb24 = 2,   // red, green, blue (numpy's and Pillow's)
  kBgra32 = 3,  // blue, green, red, alpha
  kRgba32 = 4,  // red, green, blue, alpha
};

// Pixels in the caller's memory, not owned and only read during the call.
// Row y of the picture (0 the top row) starts at pixels + y x stride.
struct PictureView {
  const void* pixels = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
  // Bytes from one row to the next, at least width times the layout's bytes
  // a pixel; negative when the rows are stored bottom-up, pixels then
  // pointing at the top row (the last in memory).
  std::ptrdiff_t stride = 0;
  Layout layout = Layout::kRgb24;
};

// What a Writer knows before its first picture.
struct WriterSetup {
  std::int32_t frameRateX100 = 2500;  // pictures per second times 100, as for Convert
  std::int32_t smoothCount = 1;       // N, as for Convert; 0 means 1
  // n, the pictures to come, or -1 when not known. Known, the file is
  // written front to back and any output will do, a pipe included; not
  // known, the output must be a file that can seek, whose headers are filled
  // in by Close (with Container::kAuto or kOpenDml they then keep room for
  // the indexes of an AVI 2.0 file as a JUNK chunk, to be free to grow past
  // 2048 MiB).
  std::int64_t pictureCount = -1;
  // The frame's size; 0 and 0 take the first picture's (1 x 1 when it
  // cannot be read), as Convert does.
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Writes one AVI file from pictures appended one at a time: the same file
// Convert writes for the same pictures as BMP files, fades included (the
// writer holds one picture back, since a fade from a picture needs the
// next). A picture of another size than the frame is fitted as Convert fits
// it, and an unreadable BMP becomes a 1 x 1 white picture with its notice;
// notices name no picture, their entry counts the pictures appended before.
// Results are sticky: after one other than kOk every later call returns it
// and writes nothing (only a view refused as malformed leaves the writer as
// it was). The output is created by Open and put in place only
// by Close; a Writer destroyed without Close, cancelled, or failed leaves
// no file (an existing one stays as it was). One thread at a time may use a
// Writer; different Writers may run at the same time.
class STILLREEL_API Writer {
 public:
  Writer();
  ~Writer();  // as Abort() when not closed
  Writer(Writer&&) noexcept;
  Writer& operator=(Writer&&) noexcept;

  // Creates the output, as Convert does: kBadArgument for a rate, count,
  // size or option out of range (a size given as one of 0 and the other
  // not), kCannotCreateOutput. Writes nothing yet. A Writer opened again
  // abandons its file first.
  Result Open(const std::filesystem::path& output, const WriterSetup& setup,
              const Options& options = {});
  // The same on the caller's open descriptor, which stays open; it must be
  // able to seek when the count is not given (kBadArgument before anything
  // is written otherwise). As with ConvertToFd, what was written stays when
  // the writer fails.
  Result OpenFd(int fd, const WriterSetup& setup, const Options& options = {});

  // Takes the next picture: kOk once it is written or held for its fade.
  // kBadArgument, nothing written, for a view without pixels, of a size
  // below 1 x 1, with a stride shorter than a row or an unnamed layout (the
  // writer stays usable), and for a picture beyond the count given; kTooLarge
  // when the file could not hold it; kCancelled, kWriteFailed, kOutOfMemory.
  Result Append(const PictureView& picture);
  // The same for a whole BMP file in memory, read as Options::reading says.
  Result AppendBmp(const void* bytes, std::size_t size);

  // Writes the last frames and the index, and puts the file in place.
  // kBadArgument when fewer pictures came than the count given, or none
  // (nothing is left under the output's name). Fills `summary` whatever the
  // result; Options::summary too.
  Result Close(Summary* summary = nullptr);
  // Drops everything: no file is left, an existing output stays as it was.
  void Abort();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace stillreel

#endif  // STILLREEL_STILLREEL_HPP_
