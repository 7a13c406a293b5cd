#include "support/peers.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <regex>
#include <sstream>

extern char** environ;

namespace stillreel::test {
namespace {

std::string Describe(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& arg : argv) {
    if (!text.empty()) text += ' ';
    text += arg.size() > 80 ? arg.substr(0, 77) + "..." : arg;
  }
  return text;
}

std::string Tail(const std::string& text) {
  return text.size() > 2000 ? "..." + text.substr(text.size() - 2000) : text;
}

bool Executable(const char* path) {
  return access(path, X_OK) == 0;
}

std::string FindMissing(Peer peer) {
  switch (peer) {
    case Peer::kImageMagick: {
      for (const char* tool : {kMagickConvert, kMagickIdentify}) {
        if (!Executable(tool)) return std::string("ImageMagick's ") + tool + " is not installed";
      }
      const CommandResult version = RunCommand({kMagickConvert, "-version"});
      if (version.status != 0 || version.out.find("ImageMagick") == std::string::npos) {
        return std::string(kMagickConvert) + " is not ImageMagick";
      }
      return {};
    }
    case Peer::kFfmpeg:
      for (const char* tool : {kFfmpeg, kFfprobe}) {
        if (!Executable(tool)) return std::string(tool) + " is not installed";
      }
      return {};
    case Peer::kPillow:
      if (!Executable(kPython)) return std::string(kPython) + " is not installed";
      if (RunCommand({kPython, "-c", "import PIL.Image"}).status != 0) {
        return std::string("Pillow is not importable by ") + kPython + " (python3-pil)";
      }
      return {};
    case Peer::kGStreamer:
      if (!Executable(kGstLaunch)) {
        return std::string(kGstLaunch) + " is not installed (gstreamer1.0-tools)";
      }
      if (RunCommand({"/usr/bin/gst-inspect-1.0", "avidemux"}).status != 0) {
        return "GStreamer's avidemux is not installed (gstreamer1.0-plugins-good)";
      }
      if (RunCommand({kPython, "-c",
                      "import gi; gi.require_version('Gst', '1.0'); from gi.repository import Gst"})
              .status != 0) {
        return std::string("GStreamer is not importable by ") + kPython +
               " (python3-gi, gir1.2-gstreamer-1.0)";
      }
      return {};
    case Peer::kMediaInfo:
      if (!Executable(kMediaInfo)) return std::string(kMediaInfo) + " is not installed (mediainfo)";
      return {};
  }
  return "unknown peer";
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv) {
  CommandResult result;
  int outPipe[2];
  int errPipe[2];
  if (argv.empty() || pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);

  // Both streams are drained together so that neither pipe can fill up and stall the child.
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int openStreams = 2;
  char buffer[65536];
  while (spawned == 0 && openStreams > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --openStreams;
      }
    }
  }
  close(outPipe[0]);
  close(errPipe[0]);
  if (spawned != 0) {
    result.err = "cannot start " + argv[0];
    return result;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

::testing::AssertionResult RunOk(const std::vector<std::string>& argv, CommandResult* result) {
  CommandResult run = RunCommand(argv);
  const bool ok = run.status == 0;
  std::string err = run.err;
  const int status = run.status;
  if (result != nullptr) *result = std::move(run);
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "`" << Describe(argv) << "` exited with status " << status << ":\n"
         << Tail(err);
}

std::string MissingPeer(Peer peer) {
  static std::mutex mutex;
  static std::map<Peer, std::string> known;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = known.find(peer);
  if (found == known.end()) found = known.emplace(peer, FindMissing(peer)).first;
  return found->second;
}

::testing::AssertionResult DecodeWithImageMagick(const std::string& path, RgbaPicture& picture) {
  CommandResult size;
  if (auto ok = RunOk({kMagickIdentify, "-format", "%w %h", path}, &size); !ok) return ok;
  std::istringstream words(size.out);
  picture = RgbaPicture{};
  if (!(words >> picture.width >> picture.height) || picture.width < 1 || picture.height < 1) {
    return ::testing::AssertionFailure()
           << "identify gave no size for " << path << ": \"" << size.out << "\"";
  }
  CommandResult pixels;
  if (auto ok = RunOk({kMagickConvert, path, "-depth", "8", "rgba:-"}, &pixels); !ok) return ok;
  const std::size_t want = static_cast<std::size_t>(picture.width) * picture.height * 4;
  if (pixels.out.size() != want) {
    return ::testing::AssertionFailure()
           << "ImageMagick decoded " << path << " to " << pixels.out.size() << " bytes, want "
           << want << " (" << picture.width << " x " << picture.height << " RGBA)";
  }
  picture.rgba.assign(pixels.out.begin(), pixels.out.end());
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult DecodeAviWithFfmpeg(const std::string& path,
                                               std::vector<std::uint8_t>& frames) {
  CommandResult run;
  if (auto ok = RunOk({kFfmpeg, "-nostdin", "-v", "error", "-i", path, "-fps_mode", "passthrough",
                       "-f", "rawvideo", "-pix_fmt", "bgr24", "-"},
                      &run);
      !ok) {
    return ok;
  }
  if (!run.err.empty()) {
    return ::testing::AssertionFailure() << "ffmpeg complained about " << path << ":\n"
                                         << Tail(run.err);
  }
  frames.assign(run.out.begin(), run.out.end());
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult DecodeAviWithGStreamer(const std::string& path, int width, int height,
                                                  std::vector<std::uint8_t>& frames) {
  CommandResult run;
  if (auto ok = RunOk({kGstLaunch, "-q", "filesrc", "location=" + path, "!", "avidemux", "!",
                       "videoconvert", "!", "video/x-raw,format=BGR", "!", "fdsink", "fd=1"},
                      &run);
      !ok) {
    return ok;
  }
  const std::size_t row = 3 * static_cast<std::size_t>(width);
  const std::size_t stride = (row + 3) / 4 * 4;
  const std::size_t frameBytes = stride * static_cast<std::size_t>(height);
  if (frameBytes == 0 || run.out.size() % frameBytes != 0) {
    return ::testing::AssertionFailure()
           << "GStreamer gave " << run.out.size() << " bytes for " << path
           << ", not whole frames of " << frameBytes << " (" << width << " x " << height
           << " BGR, rows of " << stride << " bytes)";
  }
  frames.clear();
  for (std::size_t at = 0; at < run.out.size(); at += stride)
    frames.insert(frames.end(), run.out.begin() + at, run.out.begin() + at + row);
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SeekWithGStreamer(const std::string& path, std::uint64_t nanoseconds,
                                             std::vector<std::uint8_t>& frame,
                                             std::uint64_t& durationNanoseconds) {
  static const char* const kScript = R"py(
import sys
import gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
Gst.init(None)
p = Gst.parse_launch("filesrc name=src ! avidemux ! videoconvert ! video/x-raw,format=BGR ! "
                     "appsink name=sink")
p.get_by_name("src").set_property("location", sys.argv[1])
p.set_state(Gst.State.PAUSED)
if p.get_state(Gst.CLOCK_TIME_NONE)[0] != Gst.StateChangeReturn.SUCCESS:
    sys.exit("cannot play " + sys.argv[1])
ok, duration = p.query_duration(Gst.Format.TIME)
if not ok or not p.seek_simple(Gst.Format.TIME, Gst.SeekFlags.FLUSH | Gst.SeekFlags.ACCURATE,
                               int(sys.argv[2])):
    sys.exit("no duration or no seek")
p.get_state(Gst.CLOCK_TIME_NONE)
buffer = p.get_by_name("sink").emit("pull-preroll").get_buffer()
sys.stderr.write("%d" % duration)
sys.stdout.buffer.write(buffer.extract_dup(0, buffer.get_size()))
p.set_state(Gst.State.NULL)
)py";
  CommandResult run;
  if (auto ok = RunOk({kPython, "-c", kScript, path, std::to_string(nanoseconds)}, &run); !ok) {
    return ok;
  }
  durationNanoseconds = std::strtoull(run.err.c_str(), nullptr, 10);
  frame.assign(run.out.begin(), run.out.end());
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SeekWithFfmpeg(const std::string& path, const std::string& seconds,
                                          std::vector<std::uint8_t>& frame) {
  CommandResult run;
  if (auto ok = RunOk({kFfmpeg, "-nostdin", "-v", "error", "-ss", seconds, "-i", path, "-frames:v",
                       "1", "-f", "rawvideo", "-pix_fmt", "bgr24", "-"},
                      &run);
      !ok) {
    return ok;
  }
  frame.assign(run.out.begin(), run.out.end());
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult ProbeVideoStream(const std::string& path,
                                            std::map<std::string, std::string>& fields) {
  CommandResult run;
  if (auto ok = RunOk({kFfprobe, "-v", "error", "-count_frames", "-select_streams", "v:0",
                       "-show_entries", "stream", "-of", "json", path},
                      &run);
      !ok) {
    return ok;
  }
  // The stream object is flat apart from its "disposition" and "tags"
  // objects, whose keys do not clash with the ones tests read.
  fields.clear();
  static const std::regex field(
      R"re("([A-Za-z_0-9]+)"\s*:\s*(?:"([^"]*)"|(-?[0-9][0-9.eE+-]*)))re");
  for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), field);
       it != std::sregex_iterator(); ++it) {
    const std::smatch& match = *it;
    fields.emplace(match[1].str(), match[2].matched ? match[2].str() : match[3].str());
  }
  if (fields.count("codec_type") == 0) {
    return ::testing::AssertionFailure() << "ffprobe found no video stream in " << path << ":\n"
                                         << Tail(run.out) << Tail(run.err);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult MediaInfoVideo(const std::string& path,
                                          std::map<std::string, std::string>& fields) {
  static const char* const kNames[] = {"Format", "FrameCount", "Width", "Height", "StreamSize"};
  std::string inform = "--Inform=Video;";
  for (const char* name : kNames)
    inform += std::string("%") + name + "%\\n";
  CommandResult run;
  if (auto ok = RunOk({kMediaInfo, inform, path}, &run); !ok) return ok;
  fields.clear();
  std::istringstream lines(run.out);
  std::string line;
  for (const char* name : kNames) {
    if (!std::getline(lines, line)) {
      return ::testing::AssertionFailure() << "MediaInfo found no video stream in " << path << ":\n"
                                           << Tail(run.out) << Tail(run.err);
    }
    fields[name] = line;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace stillreel::test
