// The C API with options: each call turns its arguments into a Request with
// C++ Options and hands it to the one entry sequence, or into the calls of a
// Writer. No exception crosses it.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "convert/request.h"
#include "platform/file.h"
#include "stillreel/stillreel.h"

namespace stillreel {
namespace {

// Every C value is its C++ value: the C API passes them through unchanged.
template <class Enum>
constexpr bool Same(int c, Enum cpp) {
  return c == static_cast<int>(cpp);
}
static_assert(Same(STILLREEL_OK, Result::kOk));
static_assert(Same(STILLREEL_TOO_LARGE, Result::kTooLarge));
static_assert(Same(STILLREEL_CANNOT_CREATE_OUTPUT, Result::kCannotCreateOutput));
static_assert(Same(STILLREEL_LIST_UNREADABLE, Result::kListUnreadable));
static_assert(Same(STILLREEL_BAD_ARGUMENT, Result::kBadArgument));
static_assert(Same(STILLREEL_WRITE_FAILED, Result::kWriteFailed));
static_assert(Same(STILLREEL_OUT_OF_MEMORY, Result::kOutOfMemory));
static_assert(Same(STILLREEL_CANCELLED, Result::kCancelled));
static_assert(Same(STILLREEL_CONTAINER_AVI1, Container::kAvi1));
static_assert(Same(STILLREEL_CONTAINER_OPENDML, Container::kOpenDml));
static_assert(Same(STILLREEL_CONTAINER_AUTO, Container::kAuto));
static_assert(Same(STILLREEL_READING_CLASSIC, Reading::kClassic));
static_assert(Same(STILLREEL_READING_FULL, Reading::kFull));
static_assert(Same(STILLREEL_PIXELS_BGR24, Pixels::kBgr24));
static_assert(Same(STILLREEL_PIXELS_GRAY8, Pixels::kGray8));
static_assert(Same(STILLREEL_LAYOUT_GRAY8, Layout::kGray8));
static_assert(Same(STILLREEL_LAYOUT_BGR24, Layout::kBgr24));
static_assert(Same(STILLREEL_LAYOUT_RGB24, Layout::kRgb24));
static_assert(Same(STILLREEL_LAYOUT_BGRA32, Layout::kBgra32));
static_assert(Same(STILLREEL_LAYOUT_RGBA32, Layout::kRgba32));
static_assert(Same(STILLREEL_PICTURE_CANNOT_OPEN, PictureIssue::kCannotOpen));
static_assert(Same(STILLREEL_PICTURE_NOT_A_FILE, PictureIssue::kNotAFile));
static_assert(Same(STILLREEL_PICTURE_NOT_BMP, PictureIssue::kNotBmp));
static_assert(Same(STILLREEL_PICTURE_SHORT_HEADER, PictureIssue::kShortHeader));
static_assert(Same(STILLREEL_PICTURE_RUN_LENGTH_ENCODED, PictureIssue::kRunLengthEncoded));
static_assert(Same(STILLREEL_PICTURE_UNSUPPORTED_COMPRESSION,
                   PictureIssue::kUnsupportedCompression));
static_assert(Same(STILLREEL_PICTURE_BIT_FIELDS_NOT_16, PictureIssue::kBitFieldsNot16));
static_assert(Same(STILLREEL_PICTURE_UNSUPPORTED_BIT_COUNT, PictureIssue::kUnsupportedBitCount));
static_assert(Same(STILLREEL_PICTURE_TOP_DOWN, PictureIssue::kTopDown));
static_assert(Same(STILLREEL_PICTURE_BAD_SIZE, PictureIssue::kBadSize));
static_assert(Same(STILLREEL_PICTURE_TOO_LARGE, PictureIssue::kTooLarge));
static_assert(Same(STILLREEL_PICTURE_OUT_OF_MEMORY, PictureIssue::kOutOfMemory));
static_assert(Same(STILLREEL_PICTURE_SIZE_DIFFERS, PictureIssue::kSizeDiffers));
static_assert(Same(STILLREEL_PICTURE_OS2_CORE_HEADER, PictureIssue::kOs2CoreHeader));
static_assert(Same(STILLREEL_PICTURE_UNKNOWN_HEADER_SIZE, PictureIssue::kUnknownHeaderSize));
static_assert(Same(STILLREEL_PICTURE_EMBEDDED_JPEG, PictureIssue::kEmbeddedJpeg));
static_assert(Same(STILLREEL_PICTURE_EMBEDDED_PNG, PictureIssue::kEmbeddedPng));
static_assert(Same(STILLREEL_PICTURE_HUFFMAN, PictureIssue::kHuffman));
static_assert(Same(STILLREEL_PICTURE_RLE24, PictureIssue::kRle24));
static_assert(Same(STILLREEL_PICTURE_MASKS_NOT_CONTIGUOUS, PictureIssue::kMasksNotContiguous));
static_assert(Same(STILLREEL_PICTURE_SIXTY_FOUR_BITS, PictureIssue::kSixtyFourBits));
static_assert(Same(STILLREEL_PICTURE_RUN_LENGTH_BIT_COUNT, PictureIssue::kRunLengthBitCount));
static_assert(Same(STILLREEL_PICTURE_BIT_FIELDS_BIT_COUNT, PictureIssue::kBitFieldsBitCount));
static_assert(Same(STILLREEL_PICTURE_TOP_DOWN_RUN_LENGTH, PictureIssue::kTopDownRunLength));

// A struct's size beyond this is not a size but garbage (an uninitialized
// field), and is not read.
constexpr std::uint32_t kMaxStructSize = 4096;

// The sizes of the structs' first versions: a caller's struct is at least
// that long. Later versions grow at the end.
// The options' first version ends with its summary pointer: 72 bytes where
// pointers have 8 bytes, 48 where they have 4.
constexpr std::uint32_t kFirstOptionsSize =
    offsetof(stillreel_options, summary) + sizeof(stillreel_options::summary);
constexpr std::uint32_t kFirstSummarySize = offsetof(stillreel_summary, riff_count) + 8;
static_assert(kFirstOptionsSize == 24 + 6 * sizeof(void*));
static_assert(kFirstSummarySize == 72);
// The writer's structs are still in their first version.
constexpr std::uint32_t kFirstSetupSize = sizeof(stillreel_writer_setup);
constexpr std::uint32_t kFirstPictureSize = sizeof(stillreel_picture);
static_assert(kFirstSetupSize == 32);

// The size a caller's struct declares, or 0 when it cannot be one.
std::uint32_t DeclaredSize(const void* theirs, std::uint32_t first) {
  std::uint32_t size = 0;
  std::memcpy(&size, theirs, sizeof size);
  return size >= first && size <= kMaxStructSize ? size : 0;
}

// Copies the caller's struct into `known`, which holds the defaults: the
// fields both versions have. A longer struct than this library's must hold
// zeros in the part it does not know.
template <class Struct>
bool ReadStruct(const Struct* theirs, Struct& known, std::uint32_t first) {
  const std::uint32_t size = DeclaredSize(theirs, first);
  if (size == 0) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(theirs);
  if (size > sizeof known &&
      std::any_of(bytes + sizeof known, bytes + size, [](unsigned char b) { return b != 0; })) {
    return false;
  }
  std::memcpy(&known, theirs, std::min<std::size_t>(size, sizeof known));
  known.size = sizeof known;
  return true;
}

// One call of the C API: the C options read and the C++ ones built from them.
class CCall {
 public:
  // False when the options cannot be read.
  bool Prepare(const stillreel_options* c) {
    stillreel_options_init(&c_);
    if (c && !ReadStruct(c, c_, kFirstOptionsSize)) return false;
    options_.container = static_cast<Container>(c_.container);
    options_.reading = static_cast<Reading>(c_.reading);
    options_.threads = c_.threads;
    options_.pixels = static_cast<Pixels>(c_.pixels);
    options_.dryRun = c_.dry_run != 0;
    if (c_.summary) {
      summarySize_ = DeclaredSize(c_.summary, kFirstSummarySize);
      if (summarySize_ == 0) return false;
      options_.summary = &summary_;
    }
    if (c_.on_picture) {
      options_.onPicture = [this](const PictureNotice& notice) {
        stillreel_picture_notice n{};
        n.entry = notice.entry;
        n.name = notice.name.data();
        n.name_size = notice.name.size();
        n.issue = static_cast<std::int32_t>(notice.issue);
        n.width = notice.width;
        n.height = notice.height;
        c_.on_picture(&n, c_.picture_user_data);
      };
    }
    // The caller's flag is read where the conversion reports its progress,
    // which it does before every point where it looks at its own flag.
    if (c_.on_progress || c_.cancel) {
      options_.cancel = &cancelled_;
      options_.onProgress = [this](const Progress& progress) {
        if (c_.on_progress) {
          const stillreel_progress p{progress.percent, progress.entry, progress.framesWritten,
                                     progress.frameCount};
          c_.on_progress(&p, c_.progress_user_data);
        }
        if (c_.cancel && __atomic_load_n(c_.cancel, __ATOMIC_ACQUIRE) != 0) cancelled_ = true;
      };
    }
    return true;
  }

  std::int32_t Run(Request& request) {
    request.options = &options_;
    const Result result = RunRequest(request);
    if (c_.summary) Summarize(summary_, c_.summary, summarySize_);
    return static_cast<std::int32_t>(result);
  }

  const Options& options() const { return options_; }
  // The caller's options.summary, when it gave one, filled from `summary`.
  void Summarize(const Summary& summary) const {
    if (c_.summary) Summarize(summary, c_.summary, summarySize_);
  }

  // Only the fields of the caller's version are written: `size` bytes.
  static void Summarize(const Summary& summary, stillreel_summary* c, std::uint32_t size) {
    stillreel_summary s{};
    s.size = size;
    s.frame_width = summary.frameWidth;
    s.frame_height = summary.frameHeight;
    s.container = static_cast<std::int32_t>(summary.container);
    s.picture_count = summary.pictureCount;
    s.frame_count = summary.frameCount;
    s.frame_rate = summary.frameRate;
    s.micros_per_frame = summary.microsPerFrame;
    s.file_size = summary.fileSize;
    s.unreadable_pictures = summary.unreadablePictures;
    s.riff_count = summary.riffCount;
    s.pixels = static_cast<std::int32_t>(summary.pixels);
    s.pictures_appended = summary.picturesAppended;
    std::memcpy(c, &s, std::min<std::size_t>(size, sizeof s));
  }

 private:
  stillreel_options c_{};
  Options options_;
  Summary summary_;
  std::uint32_t summarySize_ = 0;
  std::atomic<bool> cancelled_{false};
};

// A null path is a missing argument, like an empty one.
std::filesystem::path PathOf(const char* text) {
  return text ? platform::PathOf(text) : std::filesystem::path();
}

std::int32_t Call(const char* output, int fd, const char* list, const char* const* names,
                  std::size_t count, std::int32_t frameRateX100, std::int32_t smoothCount,
                  const stillreel_options* options) {
  try {
    CCall call;
    if (!call.Prepare(options)) return STILLREEL_BAD_ARGUMENT;
    Request request;
    request.frameRateX100 = frameRateX100;
    request.smoothCount = smoothCount;
    request.output = PathOf(output);
    request.outputFd = fd;
    std::vector<std::string> given;
    if (list) {
      request.listPath = PathOf(list);
    } else {
      if (!names && count > 0) return STILLREEL_BAD_ARGUMENT;
      given.reserve(count);
      for (std::size_t i = 0; i < count; ++i) {
        if (!names[i]) return STILLREEL_BAD_ARGUMENT;
        given.emplace_back(names[i]);
      }
      request.names = &given;
    }
    return call.Run(request);
  } catch (...) {
    // Only allocations of the call's own (paths, names, callbacks) can throw.
    return STILLREEL_OUT_OF_MEMORY;
  }
}

// The open writer behind a stillreel_writer: its C options kept for its
// callbacks. A writer given the options' summary fills it itself at Close.
struct CWriter {
  CCall call;
  Writer writer;
};

std::int32_t OpenWriter(stillreel_writer** handle, const char* output, int fd,
                        const stillreel_writer_setup* setup, const stillreel_options* options) {
  if (!handle) return STILLREEL_BAD_ARGUMENT;
  *handle = nullptr;
  try {
    stillreel_writer_setup c;
    stillreel_writer_setup_init(&c);
    if (setup && !ReadStruct(setup, c, kFirstSetupSize)) return STILLREEL_BAD_ARGUMENT;
    auto opened = std::make_unique<CWriter>();
    if (!opened->call.Prepare(options)) return STILLREEL_BAD_ARGUMENT;
    WriterSetup cpp;
    cpp.frameRateX100 = c.frame_rate_x100;
    cpp.smoothCount = c.smooth_count;
    cpp.pictureCount = c.picture_count;
    cpp.width = c.width;
    cpp.height = c.height;
    Options given = opened->call.options();
    given.summary = nullptr;  // filled by stillreel_writer_close
    const Result result = output ? opened->writer.Open(platform::PathOf(output), cpp, given)
                                 : opened->writer.OpenFd(fd, cpp, given);
    if (result != Result::kOk) return static_cast<std::int32_t>(result);
    *handle = reinterpret_cast<stillreel_writer*>(opened.release());
    return STILLREEL_OK;
  } catch (...) {
    return STILLREEL_OUT_OF_MEMORY;
  }
}

CWriter* WriterOf(stillreel_writer* handle) {
  return reinterpret_cast<CWriter*>(handle);
}

// A call on an open writer; what a callback throws ends the writer's file.
template <class Body>
std::int32_t OnWriter(stillreel_writer* handle, const Body& body) {
  if (!handle) return STILLREEL_BAD_ARGUMENT;
  try {
    return static_cast<std::int32_t>(body(WriterOf(handle)->writer));
  } catch (...) {
    return STILLREEL_OUT_OF_MEMORY;
  }
}

}  // namespace
}  // namespace stillreel

extern "C" {

STILLREEL_C_API void STILLREEL_CDECL stillreel_writer_setup_init(stillreel_writer_setup* setup) {
  if (!setup) return;
  *setup = stillreel_writer_setup{};
  setup->size = sizeof *setup;
  setup->frame_rate_x100 = 2500;
  setup->smooth_count = 1;
  setup->picture_count = -1;
}

STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_writer_open(stillreel_writer** writer,
                                                              const char* output,
                                                              const stillreel_writer_setup* setup,
                                                              const stillreel_options* options) {
  if (!output) {
    if (writer) *writer = nullptr;
    return STILLREEL_BAD_ARGUMENT;
  }
  return stillreel::OpenWriter(writer, output, -1, setup, options);
}

STILLREEL_C_API int32_t STILLREEL_CDECL
stillreel_writer_open_fd(stillreel_writer** writer, int fd, const stillreel_writer_setup* setup,
                         const stillreel_options* options) {
  if (fd < 0) {
    if (writer) *writer = nullptr;
    return STILLREEL_BAD_ARGUMENT;
  }
  return stillreel::OpenWriter(writer, nullptr, fd, setup, options);
}

STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_writer_append(stillreel_writer* writer,
                                                                const stillreel_picture* picture) {
  if (!picture) return STILLREEL_BAD_ARGUMENT;
  stillreel_picture c{};
  if (!stillreel::ReadStruct(picture, c, stillreel::kFirstPictureSize)) {
    return STILLREEL_BAD_ARGUMENT;
  }
  stillreel::PictureView view;
  view.pixels = c.pixels;
  view.width = c.width;
  view.height = c.height;
  view.layout = static_cast<stillreel::Layout>(c.layout);
  // A stride beyond the address space is one no picture has.
  if (c.stride > PTRDIFF_MAX || c.stride < -PTRDIFF_MAX) return STILLREEL_BAD_ARGUMENT;
  view.stride = static_cast<std::ptrdiff_t>(c.stride);
  return stillreel::OnWriter(writer, [&](stillreel::Writer& w) { return w.Append(view); });
}

STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_writer_append_bmp(stillreel_writer* writer,
                                                                    const void* bytes,
                                                                    size_t size) {
  return stillreel::OnWriter(writer,
                             [&](stillreel::Writer& w) { return w.AppendBmp(bytes, size); });
}

STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_writer_close(stillreel_writer* writer,
                                                               stillreel_summary* summary) {
  if (!writer) return STILLREEL_BAD_ARGUMENT;
  std::unique_ptr<stillreel::CWriter> owned(stillreel::WriterOf(writer));
  const std::uint32_t size =
      summary ? stillreel::DeclaredSize(summary, stillreel::kFirstSummarySize) : 0;
  stillreel::Summary s;
  std::int32_t result;
  try {
    result = static_cast<std::int32_t>(owned->writer.Close(&s));
  } catch (...) {
    result = STILLREEL_OUT_OF_MEMORY;
  }
  if (size != 0) stillreel::CCall::Summarize(s, summary, size);
  owned->call.Summarize(s);
  return result;
}

STILLREEL_C_API void STILLREEL_CDECL stillreel_writer_abort(stillreel_writer* writer) {
  delete stillreel::WriterOf(writer);
}

STILLREEL_C_API void STILLREEL_CDECL stillreel_options_init(stillreel_options* options) {
  if (!options) return;
  *options = stillreel_options{};
  options->size = sizeof *options;
  options->container = STILLREEL_CONTAINER_AVI1;
  options->reading = STILLREEL_READING_CLASSIC;
  options->threads = 1;
}

STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_convert(const char* output,
                                                          const char* const* names, size_t count,
                                                          int32_t frame_rate_x100,
                                                          int32_t smooth_count,
                                                          const stillreel_options* options) {
  if (!output) return STILLREEL_BAD_ARGUMENT;
  return stillreel::Call(output, -1, nullptr, names, count, frame_rate_x100, smooth_count, options);
}

STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_convert_list(const char* output, const char* list,
                                                               int32_t frame_rate_x100,
                                                               int32_t smooth_count,
                                                               const stillreel_options* options) {
  if (!output || !list) return STILLREEL_BAD_ARGUMENT;
  return stillreel::Call(output, -1, list, nullptr, 0, frame_rate_x100, smooth_count, options);
}

STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_convert_to_fd(int fd, const char* const* names,
                                                                size_t count,
                                                                int32_t frame_rate_x100,
                                                                int32_t smooth_count,
                                                                const stillreel_options* options) {
  if (fd < 0) return STILLREEL_BAD_ARGUMENT;
  return stillreel::Call(nullptr, fd, nullptr, names, count, frame_rate_x100, smooth_count,
                         options);
}

STILLREEL_C_API int32_t STILLREEL_CDECL
stillreel_convert_list_to_fd(int fd, const char* list, int32_t frame_rate_x100,
                             int32_t smooth_count, const stillreel_options* options) {
  if (fd < 0 || !list) return STILLREEL_BAD_ARGUMENT;
  return stillreel::Call(nullptr, fd, list, nullptr, 0, frame_rate_x100, smooth_count, options);
}

STILLREEL_C_API const char* STILLREEL_CDECL stillreel_result_string(int32_t result) {
  if (result != STILLREEL_OK && (result < STILLREEL_TOO_LARGE || result > STILLREEL_CANCELLED)) {
    return "unknown";
  }
  return stillreel::ToString(static_cast<stillreel::Result>(result));
}

STILLREEL_C_API const char* STILLREEL_CDECL stillreel_picture_issue_string(int32_t issue) {
  if (issue < 0 || issue > STILLREEL_PICTURE_TOP_DOWN_RUN_LENGTH) return "unknown";
  return stillreel::ToString(static_cast<stillreel::PictureIssue>(issue));
}

STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_version(void) {
  return STILLREEL_VERSION;
}

}  // extern "C"
