// Writer: the run of a conversion fed by the caller's appends, into an
// output opened as Convert opens it. With the number of pictures known the
// plan is Convert's and the file goes out front to back. Without it, the
// frames go out under a layout of every frame the file could hold, and
// Close, once the count is known, writes the index and then the headers
// again (the one seek back): an AVI 1.0 file's headers do not grow with
// its frames, and an AVI 2.0-ready file's have room for the indexes of
// kRoomRiffs RIFFs.

#include <algorithm>
#include <atomic>
#include <new>
#include <optional>
#include <utility>

#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "convert/picture_view.h"
#include "convert/run.h"
#include "convert/run_settings.h"
#include "convert/writer.h"
#include "image/bmp_reader.h"
#include "platform/output_file.h"
#include "size_limits.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {
namespace {

std::atomic<std::uint64_t> gRiffBytes{0};

// The headers are written again through a buffer of this size.
constexpr std::size_t kHeaderBufferBytes = std::size_t{64} << 10;

// The checks Open makes before it creates anything.
Result Check(const WriterSetup& setup, const Options& options, RunSettings& settings) {
  if (!Named(options.reading) || !Named(options.container) || !Named(options.pixels)) {
    return Result::kBadArgument;
  }
  if (options.threads < 0 || setup.pictureCount < -1 || setup.pictureCount == 0) {
    return Result::kBadArgument;
  }
  if ((setup.width == 0) != (setup.height == 0) || setup.width < 0 || setup.height < 0) {
    return Result::kBadArgument;
  }
  if (!SetRate(settings, setup.frameRateX100, setup.smoothCount)) return Result::kBadArgument;
  return Result::kOk;
}

}  // namespace

void UseWriterRiffBytes(std::uint64_t bytes) {
  gRiffBytes = bytes;
}

namespace {

// Everything a Writer holds, apart from the class so that none of it is exported.
struct WriterState {
  Options options;
  RunSettings settings;
  Container container = Container::kAvi1;
  std::uint64_t riffBytes = kOpenDmlRiffBytes;
  std::int64_t declared = -1;  // n given, or -1
  std::int64_t taken = 0;      // pictures handed to the run
  std::int64_t offered = 0;    // appended, refused beyond the count included
  bool sizeGiven = false;
  bool started = false;
  Result failed = Result::kOk;  // sticky
  std::uint64_t start = 0;      // where the file begins in the output (a descriptor's position)
  std::int64_t unreadable = 0;
  platform::OutputFile file;
  std::optional<ByteWriter> out;
  std::optional<AviWriter> avi;
  // Last, so that it goes (its workers stopped) before what it writes through.
  std::optional<Run> run;

  bool counted() const { return declared >= 0; }

  // The layout of a file of n pictures without their count known ahead.
  AviLayout Unknown(std::uint64_t n) const {
    const std::uint64_t frames = FrameCount(n, static_cast<std::uint64_t>(settings.smoothCount));
    const auto micros = static_cast<std::uint32_t>(1000000.0 / settings.frameRate);
    const std::int32_t bits = 8 * FramePixelBytes(settings);
    if (container == Container::kAvi1) {
      return LayoutAvi(settings.frameWidth, settings.frameHeight, frames, micros, bits);
    }
    return LayoutWithRoom(settings.frameWidth, settings.frameHeight, frames, micros, riffBytes,
                          bits, kRoomRiffs, container == Container::kAuto);
  }

  Result Fail(Result result) {
    failed = result;
    // A named output goes; a descriptor keeps what it was given.
    file.Abandon();
    return result;
  }

  // Open and OpenFd (output null, `lent` the caller's file).
  Result Open(const std::filesystem::path* output, platform::File lent, const WriterSetup& setup,
              const Options& given);
  Result Begin(const PictureInput& first);
  Result Take(const PictureInput& picture);
  // Take, with what it throws turned into a result: out of memory; or, for a
  // callback's exception, passed through once the output is gone.
  Result TakeGuarded(const PictureInput& picture) {
    try {
      return Take(picture);
    } catch (const std::bad_alloc&) {
      return Fail(Result::kOutOfMemory);
    } catch (...) {
      Fail(Result::kCancelled);
      throw;
    }
  }
  Result Finish();
  Result WriteHeadersAgain();
  void Summarize(Summary& summary) const;
};

Result WriterState::Begin(const PictureInput& first) {
  started = true;
  if (!sizeGiven) {
    // The frame is the first picture's size, as its headers state it.
    if (first.kind == PictureInput::Kind::kView) {
      settings.frameWidth = first.view->width;
      settings.frameHeight = first.view->height;
    } else {
      BmpFile file(settings.reading);
      if (file.Open(first.bmp)) {
        settings.frameWidth = file.layout().width;
        settings.frameHeight = file.layout().height;
      }
    }
  }
  if (counted()) {
    settings.imageCount = declared;
    PlanFrames(settings, container, riffBytes);
  } else {
    settings.imageCount = 1;
    settings.frameCount = 1;
    settings.layout = Unknown(1);
  }
  if (options.summary) {
    FillSummary(settings, *options.summary);
    options.summary->picturesAppended = offered;
  }
  if (!Writable(settings.layout)) return Result::kTooLarge;
  if (options.dryRun) {
    run.emplace(settings, options, unreadable, nullptr, nullptr);
  } else {
    if (counted()) file.Reserve(settings.layout.fileSize);
    // A frame is written a whole number of rows at a time.
    out.emplace(file.file(),
                std::max<std::size_t>(ByteWriter::kDefaultBufferBytes,
                                      static_cast<std::size_t>(settings.layout.rowBytes)));
    if (!out->ok()) return Result::kOutOfMemory;
    avi.emplace(settings.layout, *out);
    run.emplace(settings, options, unreadable, &*avi, &*out);
    run->Start();
  }
  if (!counted()) {
    // The frames go where a file of every frame it could hold has them;
    // the counts in the headers are filled in by Close.
    settings.imageCount = -1;
    settings.layout = Unknown(kMaxFrameCount);
  }
  return Result::kOk;
}

Result WriterState::Take(const PictureInput& picture) {
  if (failed != Result::kOk) return failed;
  ++offered;
  if (counted() && taken == declared) return Fail(Result::kBadArgument);
  if (!started) {
    if (const Result begun = Begin(picture); begun != Result::kOk) return Fail(begun);
  }
  // Without the count, each picture must leave a file that can be finished.
  if (!counted() && !Writable(Unknown(static_cast<std::uint64_t>(taken) + 1))) {
    return Fail(Result::kTooLarge);
  }
  const std::int64_t k = taken++;
  const Result result = options.dryRun ? run->Check(k, picture) : run->Add(k, picture, nullptr);
  return result == Result::kOk ? result : Fail(result);
}

Result WriterState::Finish() {
  if (failed != Result::kOk) return failed;
  if (taken == 0 || (counted() && taken < declared)) return Fail(Result::kBadArgument);
  if (!counted()) {
    settings.imageCount = taken;
    settings.frameCount = FrameCount(static_cast<std::uint64_t>(taken),
                                     static_cast<std::uint64_t>(settings.smoothCount));
    settings.layout = Unknown(static_cast<std::uint64_t>(taken));
  }
  if (options.dryRun) return run->FinishCheck();
  Result result = run->Finish();
  if (result == Result::kOk && !counted()) result = WriteHeadersAgain();
  if (result == Result::kOk) result = file.Commit();
  return result == Result::kOk ? result : Fail(result);
}

// The headers, and the start of the last RIFF when it is not the first,
// written again over what was written before the count was known.
Result WriterState::WriteHeadersAgain() {
  const AviLayout& layout = settings.layout;
  const platform::File to = file.file();
  if (!platform::Seek(to, start)) return Result::kWriteFailed;
  ByteWriter again(to, kHeaderBufferBytes);
  if (!again.ok()) return Result::kOutOfMemory;
  AviWriter headers(layout, again);
  headers.WriteHeaders();
  const std::uint64_t last = layout.riffCount - 1;
  if (last > 0) {
    if (!again.Flush() || !platform::Seek(to, start + RiffOffset(layout, last))) {
      return Result::kWriteFailed;
    }
    headers.WriteRiffStart(last);
  }
  // A descriptor is left at the end of the file, as writing it through would.
  if (!again.Flush() || !platform::Seek(to, start + layout.fileSize)) return Result::kWriteFailed;
  return Result::kOk;
}

void WriterState::Summarize(Summary& summary) const {
  if (started) {
    FillSummary(settings, summary);
  } else {
    summary = Summary();
    summary.pixels = settings.pixels;
  }
  if (counted()) summary.pictureCount = declared;
  summary.picturesAppended = offered;
  summary.unreadablePictures = unreadable;
}

}  // namespace

struct Writer::State : WriterState {};

Writer::Writer() = default;

Writer::~Writer() {
  Abort();
}

Writer::Writer(Writer&&) noexcept = default;

Writer& Writer::operator=(Writer&& other) noexcept {
  if (this != &other) {
    Abort();
    state_ = std::move(other.state_);
  }
  return *this;
}

Result WriterState::Open(const std::filesystem::path* output, platform::File lent,
                         const WriterSetup& setup, const Options& given) {
  if (const Result checked = Check(setup, given, settings); checked != Result::kOk) {
    return failed = checked;
  }
  if (!output && !lent.valid()) return failed = Result::kBadArgument;
  if (output && output->empty() && !given.dryRun) return failed = Result::kBadArgument;
  // Without the count the headers are written again at the end: the output
  // must seek (a regular file, a device that takes anything). A descriptor
  // is asked before anything is done to it.
  if (!output && setup.pictureCount < 0 && platform::Tell(lent) < 0) {
    return failed = Result::kBadArgument;
  }
  options = given;
  settings.reading = given.reading;
  settings.pixels = given.pixels;
  settings.threads = ThreadCount(given.threads);
  container = given.container;
  declared = setup.pictureCount;
  sizeGiven = setup.width > 0;
  if (sizeGiven) {
    settings.frameWidth = setup.width;
    settings.frameHeight = setup.height;
  }
  if (const std::uint64_t bytes = gRiffBytes; bytes != 0) riffBytes = bytes;
  if (given.dryRun) return Result::kOk;
  if (!output) {
    file.Lend(lent);
  } else if (const Result opened = file.Open(*output); opened != Result::kOk) {
    return Fail(opened);
  }
  if (!counted()) {
    const std::int64_t at = platform::Tell(file.file());
    if (at < 0) return Fail(Result::kBadArgument);
    start = static_cast<std::uint64_t>(at);
  }
  return Result::kOk;
}

Result Writer::Open(const std::filesystem::path& output, const WriterSetup& setup,
                    const Options& options) {
  Abort();
  state_ = std::make_unique<State>();
  return state_->Open(&output, platform::File{}, setup, options);
}

Result Writer::OpenFd(int fd, const WriterSetup& setup, const Options& options) {
  Abort();
  state_ = std::make_unique<State>();
  return state_->Open(nullptr, platform::FromDescriptor(fd), setup, options);
}

Result Writer::Append(const PictureView& picture) {
  if (!state_) return Result::kBadArgument;
  if (state_->failed == Result::kOk && !ValidView(picture)) return Result::kBadArgument;
  PictureInput input;
  input.kind = PictureInput::Kind::kView;
  input.view = &picture;
  return state_->TakeGuarded(input);
}

Result Writer::AppendBmp(const void* bytes, std::size_t size) {
  if (!state_) return Result::kBadArgument;
  if (state_->failed == Result::kOk && !bytes && size > 0) return Result::kBadArgument;
  PictureInput input;
  input.kind = PictureInput::Kind::kBmp;
  input.bmp = std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size);
  return state_->TakeGuarded(input);
}

Result Writer::Close(Summary* summary) {
  if (!state_) {
    if (summary) *summary = Summary();
    return Result::kBadArgument;
  }
  Result result;
  try {
    result = state_->Finish();
  } catch (const std::bad_alloc&) {
    result = state_->Fail(Result::kOutOfMemory);
  } catch (...) {
    state_->Fail(Result::kCancelled);
    state_.reset();
    throw;
  }
  if (summary) state_->Summarize(*summary);
  if (state_->options.summary) state_->Summarize(*state_->options.summary);
  state_.reset();
  return result;
}

void Writer::Abort() {
  if (!state_) return;
  state_->file.Abandon();
  state_.reset();
}

}  // namespace stillreel
