// stillreel: the command line over the library's Convert and Writer. It
// parses the options, gathers the picture names or splits the stream of BMPs
// on standard input, and turns what the conversion reports into messages, a
// progress line and an exit status. The conversion itself is the library's;
// nothing here decodes a picture or writes a byte of AVI.

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "bmp_stream.h"
#include "console.h"
#include "platform.h"
#include "stillreel/stillreel.hpp"
#include "stillreel/version.h"

namespace stillreel::tool {
namespace {

constexpr int kExitUsage = 64;

constexpr char kUsage[] =
    "usage: stillreel [OPTIONS] -o OUTPUT.avi PICTURE...\n"
    "       stillreel [OPTIONS] -o OUTPUT.avi --list FILE\n"
    "       stillreel [OPTIONS] -o OUTPUT.avi - < PICTURES\n";

constexpr char kStandardOutput[] = "standard output";
constexpr char kStandardInput[] = "standard input";

constexpr char kHelp[] =
    "Turns BMP pictures, in the order given, into one uncompressed AVI video of\n"
    "24-bit colour or 8-bit grey frames. A picture that cannot be read becomes a\n"
    "white frame, with a warning. A picture named - alone reads the pictures from\n"
    "standard input instead: whole BMP files one after another, as\n"
    "cat frames/*.bmp writes them.\n"
    "\n"
    "  -o, --output PATH  the AVI file to write; an existing file is replaced\n"
    "                     only once the new one is complete; - writes it to\n"
    "                     standard output (a pipe or a file, not a terminal)\n"
    "  -l, --list FILE    read the picture names from FILE, one per line, names\n"
    "                     relative to the current folder; - reads standard input\n"
    "  -r, --fps RATE     pictures per second, a decimal such as 15 or 29.97,\n"
    "                     rounded to hundredths (default 25)\n"
    "  -s, --smooth N     frames per picture (default 1): N > 1 cross-fades each\n"
    "                     picture into the next over N frames and multiplies the\n"
    "                     frame rate by N\n"
    "      --container KIND  the kind of AVI file: auto (the default) writes\n"
    "                     AVI 1.0 when the file fits in 2048 MiB, which every\n"
    "                     player reads, and AVI 2.0 (OpenDML) beyond, for\n"
    "                     videos of any length; avi1 refuses larger files;\n"
    "                     opendml always writes AVI 2.0\n"
    "      --pixels KIND  the frames: bgr24 (the default), 24-bit colour; gray8,\n"
    "                     8-bit grey, a third of the bytes, for grey footage;\n"
    "                     bgra32, 32-bit colour with the pictures' alpha\n"
    "      --classic      read pictures and write files exactly as the\n"
    "                     library's VOD2ERI does: only the BMP kinds it reads\n"
    "                     (16-bit colours at most 248), AVI 1.0 only\n"
    "      --pictures COUNT  the number of pictures on standard input (-);\n"
    "                     needed when OUTPUT cannot seek, as - into a pipe\n"
    "      --threads N    threads that make the cross-faded frames: 1 or more,\n"
    "                     or 0 (the default) for one per available core; the\n"
    "                     file is the same for every count\n"
    "      --check        read every picture and report what would be written:\n"
    "                     geometry, frames, rate, kind, size and unreadable\n"
    "                     pictures;\n"
    "                     writes nothing, and OUTPUT may be left out\n"
    "  -q, --quiet        no progress line, no summary and no rounding notice\n"
    "  -h, --help         show this help and exit\n"
    "      --version      show the version and exit\n"
    "\n"
    "Exit status: 0 written (or, with --check, it would be); 1 the file would\n"
    "be too large for its kind; 2 the output cannot be created; 3 the frame list cannot be\n"
    "read or names no pictures; 4 the rate times N exceeds 1000000; 5 writing\n"
    "failed; 6 out of memory; 7 interrupted; 64 usage error.\n";

enum LongOnly : int {
  kOptCheck = 256,
  kOptVersion,
  kOptContainer,
  kOptClassic,
  kOptThreads,
  kOptPixels,
  kOptPictures,
};

constexpr option kLongOptions[] = {
    {"output", required_argument, nullptr, 'o'},
    {"list", required_argument, nullptr, 'l'},
    {"fps", required_argument, nullptr, 'r'},
    {"smooth", required_argument, nullptr, 's'},
    {"container", required_argument, nullptr, kOptContainer},
    {"classic", no_argument, nullptr, kOptClassic},
    {"pixels", required_argument, nullptr, kOptPixels},
    {"threads", required_argument, nullptr, kOptThreads},
    {"pictures", required_argument, nullptr, kOptPictures},
    {"check", no_argument, nullptr, kOptCheck},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {nullptr, 0, nullptr, 0},
};

struct CommandLine {
  std::optional<std::string> output;
  std::optional<std::string> list;
  std::vector<std::string> pictures;
  Rate rate{2500, false};
  std::string rateText;
  std::int32_t smooth = 1;
  std::optional<Container> container;
  Pixels pixels = Pixels::kBgr24;
  std::int32_t threads = 0;                  // one per core
  std::optional<std::int32_t> pictureCount;  // of the stream on standard input
  bool fromStream = false;                   // the pictures are one "-"
  bool classic = false;
  bool check = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "stillreel: %s\n%sTry 'stillreel --help' for more.\n", problem.c_str(),
               kUsage);
  return kExitUsage;
}

// The usage error of an option getopt refused (c is ':' or '?').
int RefusedOption(int c, char** argv) {
  if (c == ':') return UsageError(std::string("option '") + argv[optind - 1] + "' needs a value");
  // optopt is 0 for an unknown long option, the option's own value for
  // a long one given a value it does not take, else an unknown letter.
  if (optopt == 0) return UsageError(std::string("unknown option '") + argv[optind - 1] + "'");
  for (const option& known : kLongOptions) {
    if (known.name != nullptr && known.val == optopt) {
      return UsageError(std::string("option '--") + known.name + "' takes no value");
    }
  }
  return UsageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
}

int TakeContainer(const std::string& kind, CommandLine& cl) {
  if (kind == "auto") {
    cl.container = Container::kAuto;
  } else if (kind == "avi1") {
    cl.container = Container::kAvi1;
  } else if (kind == "opendml") {
    cl.container = Container::kOpenDml;
  } else {
    return UsageError("invalid container '" + kind + "': give auto, avi1 or opendml");
  }
  return 0;
}

// Takes the option getopt returned as c, its value in optarg. Returns 0, or
// the usage error's status.
int TakeOption(int c, char** argv, CommandLine& cl) {
  switch (c) {
    case 'o':
      if (*optarg == '\0') return UsageError("the output path is empty");
      cl.output = optarg;
      break;
    case 'l':
      if (*optarg == '\0') return UsageError("the frame list path is empty");
      cl.list = optarg;
      break;
    case 'r':
      cl.rateText = optarg;
      if (!ParseRate(optarg, cl.rate)) {
        return UsageError("invalid rate '" + std::string(optarg) +
                          "': give pictures per second as a decimal above 0, "
                          "such as 15 or 29.97");
      }
      break;
    case 's':
      if (!ParseCount(optarg, cl.smooth)) {
        return UsageError("invalid smoothing count '" + std::string(optarg) +
                          "': give a whole number of frames per picture, 1 or more");
      }
      break;
    case kOptThreads:
      if (!ParseCount(optarg, cl.threads, 0)) {
        return UsageError("invalid thread count '" + std::string(optarg) +
                          "': give a whole number, 1 or more, or 0 for one per core");
      }
      break;
    case kOptPictures: {
      std::int32_t count = 0;
      if (!ParseCount(optarg, count)) {
        return UsageError("invalid picture count '" + std::string(optarg) +
                          "': give the number of pictures on standard input, 1 or more");
      }
      cl.pictureCount = count;
      break;
    }
    case kOptContainer:
      return TakeContainer(optarg, cl);
    case kOptPixels:
      if (std::string_view(optarg) == "bgr24") {
        cl.pixels = Pixels::kBgr24;
      } else if (std::string_view(optarg) == "gray8") {
        cl.pixels = Pixels::kGray8;
      } else if (std::string_view(optarg) == "bgra32") {
        cl.pixels = Pixels::kBgra32;
      } else {
        return UsageError("invalid pixel kind '" + std::string(optarg) +
                          "': give bgr24, gray8 or bgra32");
      }
      return 0;
    case kOptClassic:
      cl.classic = true;
      break;
    case kOptCheck:
      cl.check = true;
      break;
    case 'q':
      cl.quiet = true;
      break;
    case 'h':
      cl.help = true;
      break;
    case kOptVersion:
      cl.version = true;
      break;
    default:
      return RefusedOption(c, argv);
  }
  return 0;
}

// Returns 0 when the command line is sound, else the usage error's status.
int ParseCommandLine(int argc, char** argv, CommandLine& cl) {
  opterr = 0;  // the messages of TakeOption say more than getopt's own
  int c;
  while ((c = getopt_long(argc, argv, ":o:l:r:s:qh", kLongOptions, nullptr)) != -1) {
    if (const int status = TakeOption(c, argv, cl); status != 0) return status;
  }
  if (cl.help || cl.version) return 0;
  cl.pictures.assign(argv + optind, argv + argc);
  const bool dash = std::find(cl.pictures.begin(), cl.pictures.end(), "-") != cl.pictures.end();
  if (dash && cl.list == "-") {
    return UsageError("standard input cannot hold both the frame list and the pictures");
  }
  if (cl.list && !cl.pictures.empty()) {
    return UsageError("give pictures on the command line or --list, not both");
  }
  if (dash && cl.pictures.size() > 1) {
    return UsageError("- reads every picture from standard input: give it alone");
  }
  cl.fromStream = dash;
  if (cl.pictureCount && !cl.fromStream) {
    return UsageError("--pictures counts the pictures on standard input: give - as the pictures");
  }
  if (cl.fromStream && IsTerminal(Stream::kInput)) {
    return UsageError("standard input is a terminal: pipe the pictures into it");
  }
  if (!cl.list && cl.pictures.empty()) return UsageError("no pictures given");
  if (!cl.output && !cl.check) return UsageError("no output file given (-o OUTPUT.avi)");
  if (cl.classic && cl.pixels != Pixels::kBgr24) {
    return UsageError("--classic writes 24-bit colour only: leave out --pixels");
  }
  if (cl.classic && cl.container) {
    return UsageError("--classic writes AVI 1.0 only: leave out --container");
  }
  if (cl.output == "-" && !cl.check && IsTerminal(Stream::kOutput)) {
    return UsageError("standard output is a terminal: redirect it or give a file name");
  }
  return 0;
}

// What to do about each failure, after the library's own words for it.
const char* Advice(Result result) {
  switch (result) {
    case Result::kTooLarge:
      return "use fewer or smaller pictures, or a lower --smooth";
    case Result::kCannotCreateOutput:
      return "check that its folder exists and that you may write there";
    case Result::kListUnreadable:
      return "check that the list exists and names at least one picture, one per line";
    case Result::kBadArgument:
      return "lower --fps or --smooth: the rate times N may be at most 1000000";
    case Result::kWriteFailed:
      return "check the free space and the disk; an earlier file of that name is unchanged";
    case Result::kOutOfMemory:
      return "close other programs or use smaller pictures";
    case Result::kCancelled:
      return "nothing was written; an earlier file of that name is unchanged";
    default:
      return "this is a fault in stillreel; please report it";
  }
}

int Fail(Result result, const std::string& subject, const std::string& reason = "",
         const std::string& advice = "") {
  std::string line = "stillreel: ";
  if (!subject.empty()) line += subject + ": ";
  line += reason.empty() ? ToString(result) : reason;
  line += "; ";
  line += advice.empty() ? Advice(result) : advice;
  std::fprintf(stderr, "%s\n", line.c_str());
  const int status = static_cast<int>(result);
  return status >= 1 && status <= 7 ? status : 70;
}

// A warning about the picture `subject` ("picture 2 of 5 'b.bmp'").
std::string PictureLine(const std::string& subject, const PictureNotice& notice,
                        const Summary& summary, bool check) {
  std::string line = subject + " ";
  line += ToString(notice.issue);
  if (notice.issue == PictureIssue::kSizeDiffers) {
    line += " (" + std::to_string(notice.width) + "x" + std::to_string(notice.height);
    if (summary.frameWidth > 0) {
      line +=
          ", not " + std::to_string(summary.frameWidth) + "x" + std::to_string(summary.frameHeight);
    }
    line += check ? "); it would be placed at the bottom-left corner"
                  : "); it is placed at the bottom-left corner";
  } else {
    line += check ? "; its frame would be white" : "; its frame is white";
  }
  return line;
}

std::string Plural(std::int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

const char* PixelsName(Pixels pixels) {
  switch (pixels) {
    case Pixels::kGray8:
      return "8-bit grey";
    case Pixels::kBgra32:
      return "32-bit colour with alpha";
    case Pixels::kBgr24:
      break;
  }
  return "24-bit colour";
}

std::string Kind(const Summary& summary) {
  if (summary.container == Container::kAvi1) return "AVI 1.0";
  return "AVI 2.0 (OpenDML) in " + Plural(summary.riffCount, "RIFF", "RIFFs");
}

// Too large for the kind of file it would be, and what to do about it.
int FailTooLarge(const CommandLine& cl, const Summary& summary, const std::string& output) {
  if (summary.container == Container::kAvi1) {
    return Fail(Result::kTooLarge, output,
                "the AVI 1.0 file would be larger than 2048 MiB, the most it holds (" +
                    std::to_string(summary.fileSize) + " bytes)",
                cl.classic ? "leave out --classic to write AVI 2.0, or use fewer or smaller "
                             "pictures or a lower --smooth"
                           : "use --container auto to write AVI 2.0, or fewer or smaller "
                             "pictures or a lower --smooth");
  }
  return Fail(Result::kTooLarge, output,
              "an AVI 2.0 file cannot hold these frames: a frame holds at most 2 GiB, a file "
              "at most 4294967295 frames",
              "use smaller pictures or a lower --smooth");
}

void PrintCheck(const CommandLine& cl, const Summary& summary) {
  const std::int64_t fileRateX100 = std::int64_t{cl.rate.x100} * cl.smooth;
  std::printf("pictures:   %" PRId64 ", %" PRId64 " unreadable\n", summary.pictureCount,
              summary.unreadablePictures);
  std::printf("frames:     %s of %" PRId32 "x%" PRId32 ", %s\n",
              Plural(summary.frameCount, "frame", "frames").c_str(), summary.frameWidth,
              summary.frameHeight, PixelsName(summary.pixels));
  std::printf("rate:       %s frames per second (%s x %" PRId32 "), %" PRIu32
              " microseconds per frame\n",
              FormatHundredths(fileRateX100).c_str(), FormatHundredths(cl.rate.x100).c_str(),
              cl.smooth, summary.microsPerFrame);
  std::printf("container:  %s\n", Kind(summary).c_str());
  std::printf("file size:  %" PRIu64 " bytes\n", summary.fileSize);
  if (summary.everyPictureGrey && summary.pixels == Pixels::kBgr24 && !cl.classic) {
    std::printf("every picture is grey: --pixels gray8 writes a third of the bytes\n");
  }
}

// The picture names, from the command line, standard input or a list file.
// Returns the exit status when they cannot be had.
std::optional<int> GatherNames(CommandLine& cl, std::vector<std::string>& names,
                               std::string& listSubject) {
  if (!cl.list) {
    names = std::move(cl.pictures);
  } else if (*cl.list == "-") {
    listSubject = "standard input";
    if (IsTerminal(Stream::kInput) && !cl.quiet) {
      std::fprintf(stderr, "stillreel: reading picture names, one per line; end with Ctrl-D\n");
    }
    std::string text;
    if (!ReadStandardInput(text)) return Fail(Result::kListUnreadable, listSubject);
    names = ParseFrameList(text);
  } else {
    listSubject = *cl.list;
    const Result read = ReadFrameList(PathOf(*cl.list), names);
    if (read != Result::kOk) return Fail(read, listSubject);
  }
  return std::nullopt;
}

// A picture's warning, which --check reports on standard output.
void Warn(const CommandLine& cl, Console& console, const std::string& line) {
  if (cl.check) {
    std::printf("%s\n", line.c_str());
  } else {
    console.Say("warning: " + line);
  }
}

// What the command line asks of the conversion; the callbacks speak
// through `console` and fill in `summary`.
Options OptionsFor(const CommandLine& cl, Console& console, Summary& summary, std::int64_t count) {
  Options options;
  options.dryRun = cl.check;
  options.summary = &summary;
  options.reading = cl.classic ? Reading::kClassic : Reading::kFull;
  options.container = cl.classic ? Container::kAvi1 : cl.container.value_or(Container::kAuto);
  options.pixels = cl.pixels;
  options.threads = cl.threads;
  options.onProgress = [&console](const Progress& p) { console.OnProgress(p); };
  options.onPicture = [&cl, &console, &summary, count](const PictureNotice& notice) {
    const std::string subject = "picture " + std::to_string(notice.entry + 1) + " of " +
                                std::to_string(count) + " " + Quoted(notice.name);
    Warn(cl, console, PictureLine(subject, notice, summary, cl.check));
  };
  return options;
}

// The exit status of a conversion that ended in `result`, and what is said of it.
int Report(Result result, const CommandLine& cl, const Summary& summary, Console& console,
           const std::string& listSubject) {
  const bool toStdout = cl.output == "-";
  const std::string output = toStdout ? kStandardOutput : cl.output.value_or("");
  switch (result) {
    case Result::kOk:
      break;
    case Result::kTooLarge:
      return FailTooLarge(cl, summary, output);
    case Result::kListUnreadable:
      return Fail(result, listSubject);
    case Result::kBadArgument:
    case Result::kOutOfMemory:
      return Fail(result, "");
    case Result::kWriteFailed:
    case Result::kCancelled:
      if (toStdout) return Fail(result, output, "", "what reached it is an incomplete file");
      return Fail(result, output);
    default:
      return Fail(result, output);
  }
  if (cl.check) {
    PrintCheck(cl, summary);
    return 0;
  }
  if (!cl.quiet) {
    std::string line =
        "wrote " + output + ": " + Plural(summary.frameCount, "frame", "frames") + " of " +
        std::to_string(summary.frameWidth) + "x" + std::to_string(summary.frameHeight) +
        (summary.pixels == Pixels::kBgr24 ? "" : " " + std::string(PixelsName(summary.pixels))) +
        " at " + FormatHundredths(std::int64_t{cl.rate.x100} * cl.smooth) + " fps, " +
        Kind(summary) + ", " + std::to_string(summary.fileSize) + " bytes";
    if (summary.unreadablePictures > 0) {
      line += ", " + Plural(summary.unreadablePictures, "picture", "pictures") + " unreadable";
    }
    console.Say(line);
  }
  return 0;
}

// The pictures of a stream, as the Writer is fed them: where each starts in
// the input, for its warnings (a notice comes at most a picture late, while
// the Writer holds one back for a fade), and the one the input ended inside.
struct StreamPictures {
  static constexpr std::size_t kKept = 8;
  std::array<std::uint64_t, kKept> starts{};
  std::int64_t count = 0;    // handed to the Writer
  std::int64_t cut = -1;     // the picture the input ended inside
  std::uint64_t cutEnd = 0;  // the input's length then

  std::string Subject(std::int64_t entry) const {
    std::string subject = "picture " + std::to_string(entry + 1) + " of standard input";
    if (entry < count && entry + static_cast<std::int64_t>(kKept) >= count) {
      subject += " (byte " + std::to_string(starts[static_cast<std::size_t>(entry) % kKept]) + ")";
    }
    return subject;
  }
};

// Opens the Writer the command line asks for: on standard output, on the
// output file, or on nothing for --check.
Result OpenWriter(const CommandLine& cl, Writer& writer, const Options& options) {
  WriterSetup setup;
  setup.frameRateX100 = cl.rate.x100;
  setup.smoothCount = cl.smooth;
  setup.pictureCount = cl.pictureCount.value_or(-1);
  if (cl.check) return writer.Open(std::filesystem::path(), setup, options);
  if (cl.output == "-") return writer.OpenFd(StandardOutputDescriptor(), setup, options);
  return writer.Open(PathOf(*cl.output), setup, options);
}

// The failures of a stream conversion that Report does not know: an output
// that cannot seek without --pictures, and a count the stream did not keep.
std::optional<int> StreamFailure(Result result, const CommandLine& cl, const Summary& summary,
                                 bool opened) {
  if (result != Result::kBadArgument) return std::nullopt;
  const bool toStdout = cl.output == "-";
  const std::string output = toStdout ? kStandardOutput : cl.output.value_or("");
  if (!opened) {
    // The rate's limit is Convert's; any other refusal at opening is the seek.
    if (std::int64_t{cl.rate.x100} * cl.smooth > 100000000 || cl.pictureCount) return std::nullopt;
    return Fail(result, output, std::string(ToString(result)) + ": it cannot seek",
                "give --pictures COUNT, the number of pictures on standard input, to write "
                "it front to back");
  }
  if (!cl.pictureCount) return std::nullopt;
  return Fail(result, kStandardInput,
              "it held " + Plural(summary.picturesAppended, "picture", "pictures") + ", not the " +
                  std::to_string(*cl.pictureCount) + " of --pictures",
              toStdout ? "what reached standard output is an incomplete file"
                       : "nothing was written; an earlier file of that name is unchanged");
}

// What came of feeding the stream's pictures to the Writer.
struct Fed {
  Result result = Result::kOk;
  bool readFailed = false;
};

// Hands the Writer each picture of the stream until it ends, is cut short,
// holds bytes that are no BMP, or goes beyond --pictures.
Fed FeedPictures(const CommandLine& cl, Console& console, Writer& writer, StreamPictures& pictures,
                 BmpStream& stream, std::optional<StreamAhead>& ahead) {
  const auto read = [&stream, &ahead] {
    if (ahead) return ahead->Next();
    StreamAhead::Piece piece;
    piece.next = stream.Read();
    piece.bytes = stream.picture();
    piece.offset = stream.offset();
    piece.consumed = stream.consumed();
    return piece;
  };
  const auto skip = [&stream, &ahead] { return ahead ? ahead->SkipRest() : stream.SkipRest(); };
  Fed fed;
  for (;;) {
    const StreamAhead::Piece piece = read();
    BmpStream::Next next = piece.next;
    const bool beyond = cl.pictureCount && pictures.count == *cl.pictureCount;
    if (beyond && next != BmpStream::Next::kEnd && next != BmpStream::Next::kInterrupted &&
        next != BmpStream::Next::kFailed) {
      console.Say("warning: standard input goes on after the " + std::to_string(*cl.pictureCount) +
                  " pictures of --pictures (byte " + std::to_string(piece.offset) +
                  " on); the rest is skipped");
      next = skip();
    } else if (next == BmpStream::Next::kPicture || next == BmpStream::Next::kCut) {
      const std::span<const std::uint8_t> bytes = piece.bytes;
      pictures.starts[static_cast<std::size_t>(pictures.count) % StreamPictures::kKept] =
          piece.offset;
      // A cut picture goes in as its signature alone: an incomplete file,
      // unreadable, whose frame is white whatever of its rows came.
      std::size_t size = bytes.size();
      if (next == BmpStream::Next::kCut) {
        pictures.cut = pictures.count;
        pictures.cutEnd = piece.consumed;
        size = std::min<std::size_t>(size, 2);
      }
      ++pictures.count;
      fed.result = writer.AppendBmp(bytes.data(), size);
      if (fed.result == Result::kOk && next == BmpStream::Next::kPicture) continue;
      return fed;
    } else if (next == BmpStream::Next::kNotBmp) {
      console.Say(
          "warning: standard input holds bytes that are not a BMP file (they do not "
          "start with \"BM\") from byte " +
          std::to_string(piece.offset) + " on; they and the rest are skipped");
      next = skip();
    }
    if (next == BmpStream::Next::kInterrupted) fed.result = Result::kCancelled;
    fed.readFailed = next == BmpStream::Next::kFailed;
    return fed;
  }
}

// Reads the pictures from standard input, one whole BMP file after another,
// and feeds them to a Writer. A stream cut short inside a picture ends with
// that picture as a white frame; bytes that are no BMP where one should
// begin end the pictures, and the rest of the input is read and dropped, so
// that whoever writes it is not cut off.
int RunStream(const CommandLine& cl) {
  const bool progress = !cl.quiet && !cl.check && IsTerminal(Stream::kError);
  Console console(stderr, progress);
  Summary summary;
  StreamPictures pictures;
  Options options = OptionsFor(cl, console, summary, 0);
  options.onPicture = [&cl, &console, &summary, &pictures](const PictureNotice& notice) {
    const std::string subject = pictures.Subject(notice.entry);
    if (notice.entry == pictures.cut) {
      Warn(cl, console,
           subject + " is cut short: the input ends at byte " + std::to_string(pictures.cutEnd) +
               ", inside it; " + (cl.check ? "its frame would be white" : "its frame is white"));
    } else {
      Warn(cl, console, PictureLine(subject, notice, summary, cl.check));
    }
  };
  options.cancel = CatchInterrupts();

  Writer writer;
  Result result = OpenWriter(cl, writer, options);
  if (result != Result::kOk) {
    if (const std::optional<int> status = StreamFailure(result, cl, summary, false)) return *status;
    return Report(result, cl, summary, console, kStandardInput);
  }
  BmpStream stream(ReadStandardInputSome);
  // The next picture is read while the Writer takes the last, unless
  // --threads 1 keeps the conversion to one thread.
  std::optional<StreamAhead> ahead;
  if (cl.threads != 1) ahead.emplace(stream, StopReadingStandardInput);
  const Fed fed = FeedPictures(cl, console, writer, pictures, stream, ahead);
  result = fed.result;
  const bool readFailed = fed.readFailed;
  if (readFailed || (result == Result::kOk && pictures.count == 0)) {
    writer.Abort();
    console.Finish();
    return Fail(Result::kListUnreadable, kStandardInput,
                readFailed ? "reading it failed" : "no BMP pictures came",
                "pipe BMP files into it, one after another, as cat frames/*.bmp does");
  }
  if (result == Result::kOk) {
    result = writer.Close(&summary);
  } else {
    writer.Abort();
  }
  console.Finish();
  if (const std::optional<int> status = StreamFailure(result, cl, summary, true)) return *status;
  return Report(result, cl, summary, console, kStandardInput);
}

int Run(int argc, char** argv) {
  CommandLine cl;
  if (const int status = ParseCommandLine(argc, argv, cl); status != 0) return status;
  if (cl.help) {
    std::printf("%s\n%s", kUsage, kHelp);
    return 0;
  }
  if (cl.version) {
    std::printf("stillreel %s\n", STILLREEL_VERSION_STRING);
    return 0;
  }
  if (cl.rate.rounded && !cl.quiet) {
    std::fprintf(stderr, "stillreel: rate %s rounded to %s pictures per second\n",
                 cl.rateText.c_str(), FormatHundredths(cl.rate.x100).c_str());
  }

  if (cl.fromStream) return RunStream(cl);

  std::vector<std::string> names;
  std::string listSubject;
  if (const std::optional<int> status = GatherNames(cl, names, listSubject)) return *status;

  const bool progress = !cl.quiet && !cl.check && IsTerminal(Stream::kError);
  Console console(stderr, progress);
  Summary summary;
  Options options = OptionsFor(cl, console, summary, static_cast<std::int64_t>(names.size()));
  options.cancel = CatchInterrupts();
  const Result result =
      cl.output == "-" && !cl.check
          ? ConvertToFd(StandardOutputDescriptor(), names, cl.rate.x100, cl.smooth, options)
          : Convert(PathOf(cl.output.value_or("")), names, cl.rate.x100, cl.smooth, options);
  console.Finish();
  return Report(result, cl, summary, console, listSubject);
}

}  // namespace
}  // namespace stillreel::tool

int main(int argc, char** argv) {
  try {
    std::vector<std::string> arguments = stillreel::tool::Arguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments)
      pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return stillreel::tool::Run(static_cast<int>(arguments.size()), pointers.data());
  } catch (const std::bad_alloc&) {
    return stillreel::tool::Fail(stillreel::Result::kOutOfMemory, "");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stillreel: %s\n", e.what());
    return 70;
  }
}
