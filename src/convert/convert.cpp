// The entry sequence of every conversion, the plan it makes, and Convert.

#include <algorithm>
#include <new>
#include <thread>

#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "convert/request.h"
#include "convert/run.h"
#include "convert/run_settings.h"
#include "image/bmp_reader.h"
#include "platform/output_file.h"
#include "size_limits.h"

namespace stillreel {
namespace {

Result Write(const RunSettings& settings, const Request& request, std::int64_t& unreadable) {
  platform::OutputFile file;
  if (request.outputFd >= 0) {
    file.Lend(platform::FromDescriptor(request.outputFd));
  } else if (!request.output) {
    return Result::kCannotCreateOutput;
  } else if (const Result opened = file.Open(*request.output); opened != Result::kOk) {
    return opened;
  }
  const AviLayout& layout = settings.layout;
  file.Reserve(layout.fileSize);
  // A frame is written a whole number of rows at a time.
  ByteWriter out(file.file(), std::max<std::size_t>(ByteWriter::kDefaultBufferBytes,
                                                    static_cast<std::size_t>(layout.rowBytes)));
  if (!out.ok()) return Result::kOutOfMemory;
  AviWriter avi(layout, out);
  const Result result = WriteVideo(settings, avi, out, *request.options, unreadable);
  return result == Result::kOk ? file.Commit() : result;
}

}  // namespace

std::uint64_t FrameCount(std::uint64_t n, std::uint64_t N) {
  std::uint64_t frames;
  if (__builtin_mul_overflow(n - 1, N, &frames) || frames == kHugeSize) return kHugeSize;
  return frames + 1;
}

bool Named(Reading reading) {
  return reading == Reading::kClassic || reading == Reading::kFull;
}
bool Named(Pixels pixels) {
  return pixels == Pixels::kBgr24 || pixels == Pixels::kGray8;
}
bool Named(Container container) {
  return container == Container::kAvi1 || container == Container::kOpenDml ||
         container == Container::kAuto;
}

std::int32_t ThreadCount(std::int32_t asked) {
  const auto cores = static_cast<std::int64_t>(std::thread::hardware_concurrency());
  const std::int64_t threads = asked == 0 ? std::max<std::int64_t>(cores, 1) : asked;
  return static_cast<std::int32_t>(std::min<std::int64_t>(threads, kMaxThreads));
}

void FillSummary(const RunSettings& settings, Summary& summary) {
  summary = Summary();
  summary.frameWidth = settings.frameWidth;
  summary.frameHeight = settings.frameHeight;
  summary.pictureCount = settings.imageCount;
  summary.frameCount = static_cast<std::int64_t>(
      std::min<std::uint64_t>(settings.frameCount, std::numeric_limits<std::int64_t>::max()));
  summary.frameRate = settings.frameRate;
  summary.microsPerFrame = settings.layout.microsPerFrame;
  summary.fileSize = settings.layout.fileSize;
  summary.container =
      settings.layout.kind == AviKind::kAvi1 ? Container::kAvi1 : Container::kOpenDml;
  summary.pixels = settings.pixels;
  summary.riffCount = static_cast<std::int64_t>(
      std::min<std::uint64_t>(settings.layout.riffCount, std::numeric_limits<std::int64_t>::max()));
}

bool SetRate(RunSettings& settings, std::int32_t frameRateX100, std::int32_t smoothCount) {
  if (frameRateX100 <= 0 || smoothCount < 0) return false;
  if (smoothCount != 0) settings.smoothCount = smoothCount;
  settings.frameRate = static_cast<double>(frameRateX100) * 0.01;
  settings.frameRate *= static_cast<double>(settings.smoothCount);
  // Stored as whole microseconds per frame: 0 would be no rate at all.
  return 1000000.0 / settings.frameRate >= 1.0;
}

void PlanRun(RunSettings& settings, const std::vector<std::string>& names, Container container,
             std::uint64_t riffBytes) {
  settings.imageNames = &names;
  settings.imageCount = static_cast<std::int64_t>(names.size());
  BmpFile first(settings.reading);
  if (first.Open(names.front())) {
    settings.frameWidth = first.layout().width;
    settings.frameHeight = first.layout().height;
  }
  PlanFrames(settings, container, riffBytes);
}

void PlanFrames(RunSettings& settings, Container container, std::uint64_t riffBytes) {
  settings.frameCount = FrameCount(static_cast<std::uint64_t>(settings.imageCount),
                                   static_cast<std::uint64_t>(settings.smoothCount));
  const auto micros = static_cast<std::uint32_t>(1000000.0 / settings.frameRate);
  const std::int32_t bits = settings.pixels == Pixels::kGray8 ? 8 : 24;
  settings.layout =
      LayoutAvi(settings.frameWidth, settings.frameHeight, settings.frameCount, micros, bits);
  // AVI 2.0 when asked for, or when an AVI 1.0 file could not hold the frames.
  if (container == Container::kOpenDml ||
      (container == Container::kAuto && !Writable(settings.layout))) {
    settings.layout = LayoutOpenDml(settings.frameWidth, settings.frameHeight, settings.frameCount,
                                    micros, riffBytes, bits);
  }
}

Result RunRequest(const Request& request) {
  const Options& options = *request.options;
  // The arguments.
  if (request.outputFd < 0 && request.output && request.output->empty() && !options.dryRun) {
    return Result::kBadArgument;
  }
  if (!request.names && request.listPath && request.listPath->empty()) {
    return Result::kBadArgument;
  }
  if (!Named(options.reading) || !Named(options.container) || !Named(options.pixels)) {
    return Result::kBadArgument;
  }
  if (options.threads < 0) return Result::kBadArgument;
  RunSettings settings;
  if (!SetRate(settings, request.frameRateX100, request.smoothCount)) return Result::kBadArgument;
  settings.reading = options.reading;
  settings.pixels = options.pixels;
  settings.threads = ThreadCount(options.threads);

  // The list.
  std::vector<std::string> listed;
  const std::vector<std::string>* names = request.names;
  if (!names) {
    if (!request.listPath || ReadFrameList(*request.listPath, listed) != Result::kOk) {
      return Result::kListUnreadable;
    }
    names = &listed;
  }
  if (names->empty()) return Result::kListUnreadable;

  // The size.
  PlanRun(settings, *names, options.container, request.riffBytes);
  if (options.summary) FillSummary(settings, *options.summary);
  if (!Writable(settings.layout)) return Result::kTooLarge;

  // The output, and the run.
  std::int64_t unreadable = 0;
  Result result;
  try {
    result = options.dryRun ? CheckPictures(settings, options, unreadable)
                            : Write(settings, request, unreadable);
  } catch (const std::bad_alloc&) {
    result = Result::kOutOfMemory;
  }
  if (options.summary) options.summary->unreadablePictures = unreadable;
  return result;
}

namespace {

Request RequestFor(const std::vector<std::string>& names, std::int32_t frameRateX100,
                   std::int32_t smoothCount, const Options& options) {
  Request request;
  request.frameRateX100 = frameRateX100;
  request.smoothCount = smoothCount;
  request.names = &names;
  request.options = &options;
  return request;
}

}  // namespace

Result Convert(const std::filesystem::path& output, const std::vector<std::string>& names,
               std::int32_t frameRateX100, std::int32_t smoothCount, const Options& options) {
  Request request = RequestFor(names, frameRateX100, smoothCount, options);
  request.output = output;
  return RunRequest(request);
}

Result ConvertToFd(int fd, const std::vector<std::string>& names, std::int32_t frameRateX100,
                   std::int32_t smoothCount, const Options& options) {
  if (fd < 0) return Result::kBadArgument;
  Request request = RequestFor(names, frameRateX100, smoothCount, options);
  request.outputFd = fd;
  return RunRequest(request);
}

}  // namespace stillreel
