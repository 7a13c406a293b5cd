#include "support/avi_model.h"

#include <algorithm>

namespace stillreel::test {
namespace {

constexpr std::size_t kHeaders = 224;

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void PutTag(std::vector<std::uint8_t>& b, std::size_t at, const char* tag) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<std::uint8_t>(tag[i]);
}

std::uint64_t RowOf(std::int32_t width) {
  return (3 * static_cast<std::uint64_t>(width) + 3) / 4 * 4;
}

}  // namespace

Rgba Picture::At(std::int64_t x, std::int64_t y) const {
  x = std::clamp<std::int64_t>(x, 0, width - 1);
  y = std::clamp<std::int64_t>(y, 0, height - 1);
  return pixels[static_cast<std::size_t>(y * width + x)];
}

Picture White() {
  return Picture{};
}

Picture PictureOf(const Image& image) {
  Picture p{image.width, image.height, {}};
  for (std::int32_t y = 0; y < image.height; ++y) {
    for (std::int32_t x = 0; x < image.width; ++x) {
      const Pixel q = PixelAt(image, x, y);
      p.pixels.push_back(Rgba{q.blue, q.green, q.red, 0});
    }
  }
  return p;
}

Picture Blend(const Picture& a, const Picture& b, int l, int n) {
  const double t = static_cast<double>(l) / static_cast<double>(n);
  const double s = 1.0 - t;
  // Two products rounded apart: the build forbids fused multiply-adds.
  const auto mix = [&](std::uint8_t u, std::uint8_t v) {
    return static_cast<std::uint8_t>(static_cast<double>(u) * s + static_cast<double>(v) * t);
  };
  Picture c{a.width, a.height, {}};
  for (std::int32_t y = 0; y < a.height; ++y) {
    for (std::int32_t x = 0; x < a.width; ++x) {
      const Rgba p = a.At(x, y);
      const Rgba q = b.At(x, y);
      c.pixels.push_back(Rgba{mix(p.blue, q.blue), mix(p.green, q.green), mix(p.red, q.red), 0});
    }
  }
  return c;
}

std::vector<Picture> FramesOf(const std::vector<Picture>& pictures, int n) {
  std::vector<Picture> frames;
  for (std::size_t k = 0; k + 1 < pictures.size(); ++k) {
    for (int l = 0; l < n; ++l)
      frames.push_back(n > 1 ? Blend(pictures[k], pictures[k + 1], l, n) : pictures[k]);
  }
  frames.push_back(pictures.back());
  return frames;
}

std::vector<std::uint8_t> StoredFrame(const Picture& p, std::int32_t width, std::int32_t height) {
  const std::uint64_t row = RowOf(width);
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(row * height), 0);
  for (std::int64_t r = 0; r < height && r < p.height; ++r) {
    for (std::int64_t x = 0; x < width && x < p.width; ++x) {
      const Rgba c = p.At(x, p.height - 1 - r);
      const std::size_t at = static_cast<std::size_t>(r * row + 3 * x);
      frame[at] = c.blue, frame[at + 1] = c.green, frame[at + 2] = c.red;
    }
  }
  return frame;
}

std::vector<std::uint8_t> Bgr24Frame(const Picture& p, std::int32_t width, std::int32_t height) {
  const std::vector<std::uint8_t> stored = StoredFrame(p, width, height);
  const std::size_t row = static_cast<std::size_t>(RowOf(width));
  const std::size_t used = 3 * static_cast<std::size_t>(width);
  std::vector<std::uint8_t> frame;
  for (std::int64_t r = height - 1; r >= 0; --r) {
    const auto start =
        stored.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(r) * row);
    frame.insert(frame.end(), start, start + static_cast<std::ptrdiff_t>(used));
  }
  return frame;
}

AviModel ModelAvi(std::int32_t width, std::int32_t height, std::uint32_t micros,
                  const std::vector<Picture>& frames) {
  AviModel avi{width, height, frames.size(), 0, {}, {}, {}};
  const std::uint64_t s = RowOf(width) * static_cast<std::uint64_t>(height);
  const std::uint64_t f = frames.size();
  avi.frameSize = s;
  const std::uint64_t movi = 4 + f * (s + 8);
  const std::uint64_t riff = 220 + movi + 16 * f;
  std::vector<std::uint8_t>& b = avi.bytes;
  b.assign(riff + 8, 0);
  PutTag(b, 0, "RIFF"), Put32(b, 4, riff), PutTag(b, 8, "AVI ");
  PutTag(b, 12, "LIST"), Put32(b, 16, 192), PutTag(b, 20, "hdrl");
  PutTag(b, 24, "avih"), Put32(b, 28, 56);
  Put32(b, 32, micros), Put32(b, 44, 0x10), Put32(b, 48, f), Put32(b, 56, 1);
  Put32(b, 60, s), Put32(b, 64, static_cast<std::uint32_t>(width));
  Put32(b, 68, static_cast<std::uint32_t>(height));
  PutTag(b, 88, "LIST"), Put32(b, 92, 116), PutTag(b, 96, "strl");
  PutTag(b, 100, "strh"), Put32(b, 104, 56);
  PutTag(b, 108, "vids"), PutTag(b, 112, "DIB "), Put32(b, 128, micros);
  Put32(b, 132, 1000000), Put32(b, 140, f), Put32(b, 144, s);
  Put16(b, 160, static_cast<std::uint32_t>(width) & 0xFFFF);
  Put16(b, 162, static_cast<std::uint32_t>(height) & 0xFFFF);
  PutTag(b, 164, "strf"), Put32(b, 168, 40);
  Put32(b, 172, 40), Put32(b, 176, static_cast<std::uint32_t>(width));
  Put32(b, 180, static_cast<std::uint32_t>(height)), Put16(b, 184, 1), Put16(b, 186, 24);
  Put32(b, 192, s), Put32(b, 196, 3780), Put32(b, 200, 3780);
  PutTag(b, 212, "LIST"), Put32(b, 216, movi), PutTag(b, 220, "movi");
  for (std::uint64_t i = 0; i < f; ++i) {
    const std::size_t chunk = static_cast<std::size_t>(kHeaders + i * (s + 8));
    PutTag(b, chunk, "00db"), Put32(b, chunk + 4, s);
    const std::vector<std::uint8_t> frame = StoredFrame(frames[i], width, height);
    std::copy(frame.begin(), frame.end(), b.begin() + static_cast<std::ptrdiff_t>(chunk + 8));
  }
  const std::size_t index = static_cast<std::size_t>(kHeaders + f * (s + 8));
  PutTag(b, index, "idx1"), Put32(b, index + 4, 16 * f);
  for (std::uint64_t i = 0; i < f; ++i) {
    const std::size_t e = index + 8 + 16 * static_cast<std::size_t>(i);
    PutTag(b, e, "00db"), Put32(b, e + 4, 0x10), Put32(b, e + 8, 4 + i * (s + 8));
    Put32(b, e + 12, s);
  }
  return avi;
}

namespace {

// Bytes appended in file order, with lengths filled in when a chunk closes.
class Appender {
 public:
  std::vector<std::uint8_t> bytes;

  void Tag(const char* tag) { bytes.insert(bytes.end(), tag, tag + 4); }
  void U16(std::uint32_t v) {
    for (int i = 0; i < 2; ++i)
      bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void U32(std::uint64_t v) {
    for (int i = 0; i < 4; ++i)
      bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void U64(std::uint64_t v) { U32(v), U32(v >> 32); }
  void U8(std::uint8_t v) { bytes.push_back(v); }
  // A chunk or list: its tag and a size filled in by Close.
  std::size_t Open(const char* tag) {
    Tag(tag);
    U32(0);
    return bytes.size();
  }
  void Close(std::size_t start) { Put32(bytes, start - 4, bytes.size() - start); }
};

}  // namespace

std::vector<std::uint64_t> ModelRiffFrames(std::uint64_t s, std::uint64_t f,
                                           std::uint64_t riffBytes) {
  // A later RIFF: "AVIX", "LIST" size "movi", the frames, "ix00" of 8 + 24
  // bytes and 8 a frame.
  const std::uint64_t laterFixed = 4 + 12 + 32;
  const std::uint64_t later =
      riffBytes > laterFixed ? std::max<std::uint64_t>((riffBytes - laterFixed) / (s + 16), 1) : 1;
  // The first: the smallest count of RIFFs that its headers (the super
  // index has an entry for each) agree with.
  for (std::uint64_t riffs = 1;; ++riffs) {
    // "AVI ", hdrl (avih 64, strl 12 + 64 + 48 + indx 32 + 16 a RIFF, odml
    // 12 + 256), movi and ix00 as above, idx1 8 and 16 bytes a frame.
    const std::uint64_t hdrl = 12 + 64 + (12 + 64 + 48 + 32 + 16 * riffs) + (12 + 256);
    const std::uint64_t fixed = 4 + hdrl + 12 + 32 + 8;
    const std::uint64_t first =
        std::clamp<std::uint64_t>(riffBytes > fixed ? (riffBytes - fixed) / (s + 32) : 0, 1, f);
    if (1 + (f - first + later - 1) / later != riffs) continue;
    std::vector<std::uint64_t> frames = {first};
    for (std::uint64_t done = first; done < f; done += frames.back())
      frames.push_back(std::min(later, f - done));
    return frames;
  }
}

std::uint64_t ModelOpenDmlSize(std::uint64_t s, std::uint64_t f, std::uint64_t riffBytes) {
  const std::vector<std::uint64_t> riffs = ModelRiffFrames(s, f, riffBytes);
  std::uint64_t size = 0;
  for (std::size_t k = 0; k < riffs.size(); ++k) {
    // "RIFF" size type, "LIST" size "movi", the frames, the ix00.
    size += 12 + 12 + riffs[k] * (s + 8) + 32 + 8 * riffs[k];
    // The first RIFF's hdrl list, as in ModelRiffFrames, and its idx1.
    if (k == 0) {
      size += 12 + 64 + (12 + 64 + 48 + 32 + 16 * riffs.size()) + (12 + 256) + 8 + 16 * riffs[0];
    }
  }
  return size;
}

AviModel ModelOpenDml(std::int32_t width, std::int32_t height, std::uint32_t micros,
                      const std::vector<Picture>& frames, std::uint64_t riffBytes) {
  AviModel avi{width, height, frames.size(), 0, {}, {}, {}};
  const std::uint64_t s = RowOf(width) * static_cast<std::uint64_t>(height);
  avi.frameSize = s;
  avi.riffFrames = ModelRiffFrames(s, frames.size(), riffBytes);
  const std::uint64_t riffs = avi.riffFrames.size();
  Appender a;
  // Where each RIFF's ix00 will be: filled in once known.
  std::size_t superIndex = 0;
  std::size_t frame = 0;
  for (std::uint64_t k = 0; k < riffs; ++k) {
    avi.riffStarts.push_back(a.bytes.size());
    const std::size_t riff = a.Open("RIFF");
    a.Tag(k == 0 ? "AVI " : "AVIX");
    if (k == 0) {
      const std::size_t hdrl = a.Open("LIST");
      a.Tag("hdrl");
      const std::size_t avih = a.Open("avih");
      for (const std::uint64_t v :
           {std::uint64_t{micros}, std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{0x10},
            avi.riffFrames[0], std::uint64_t{0}, std::uint64_t{1}, s, std::uint64_t(width),
            std::uint64_t(height), std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{0},
            std::uint64_t{0}})
        a.U32(v);
      a.Close(avih);
      const std::size_t strl = a.Open("LIST");
      a.Tag("strl");
      const std::size_t strh = a.Open("strh");
      a.Tag("vids"), a.Tag("DIB ");
      for (const std::uint64_t v :
           {std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{micros},
            std::uint64_t{1000000}, std::uint64_t{0}, std::uint64_t{frames.size()}, s,
            std::uint64_t{0}, std::uint64_t{0}, std::uint64_t{0}})
        a.U32(v);
      a.U16(static_cast<std::uint32_t>(width)), a.U16(static_cast<std::uint32_t>(height));
      a.Close(strh);
      const std::size_t strf = a.Open("strf");
      a.U32(40), a.U32(static_cast<std::uint32_t>(width)),
          a.U32(static_cast<std::uint32_t>(height));
      a.U16(1), a.U16(24), a.U32(0), a.U32(s), a.U32(3780), a.U32(3780), a.U32(0), a.U32(0);
      a.Close(strf);
      const std::size_t indx = a.Open("indx");
      a.U16(4), a.U8(0), a.U8(0), a.U32(riffs), a.Tag("00db"), a.U32(0), a.U32(0), a.U32(0);
      superIndex = a.bytes.size();
      for (std::uint64_t r = 0; r < riffs; ++r)
        a.U64(0), a.U32(8 + 24 + 8 * avi.riffFrames[r]), a.U32(avi.riffFrames[r]);
      a.Close(indx);
      a.Close(strl);
      const std::size_t odml = a.Open("LIST");
      a.Tag("odml");
      const std::size_t dmlh = a.Open("dmlh");
      a.U32(frames.size());
      a.bytes.insert(a.bytes.end(), 244, 0);
      a.Close(dmlh);
      a.Close(odml);
      a.Close(hdrl);
    }
    const std::size_t movi = a.Open("LIST");
    const std::size_t moviTag = a.bytes.size();
    a.Tag("movi");
    const std::size_t first = frame;
    for (std::uint64_t i = 0; i < avi.riffFrames[k]; ++i, ++frame) {
      const std::size_t chunk = a.Open("00db");
      const std::vector<std::uint8_t> data = StoredFrame(frames[frame], width, height);
      a.bytes.insert(a.bytes.end(), data.begin(), data.end());
      a.Close(chunk);
    }
    Put32(a.bytes, superIndex + 16 * k, a.bytes.size());  // the ix00's place, low half
    Put32(a.bytes, superIndex + 16 * k + 4, static_cast<std::uint64_t>(a.bytes.size()) >> 32);
    const std::size_t ix = a.Open("ix00");
    a.U16(2), a.U8(0), a.U8(1), a.U32(avi.riffFrames[k]), a.Tag("00db"), a.U64(moviTag), a.U32(0);
    for (std::size_t i = first; i < frame; ++i)
      a.U32(4 + (i - first) * (s + 8) + 8), a.U32(s);
    a.Close(ix);
    a.Close(movi);
    if (k == 0) {
      const std::size_t idx1 = a.Open("idx1");
      for (std::size_t i = first; i < frame; ++i)
        a.Tag("00db"), a.U32(0x10), a.U32(4 + (i - first) * (s + 8)), a.U32(s);
      a.Close(idx1);
    }
    a.Close(riff);
  }
  avi.bytes = std::move(a.bytes);
  return avi;
}

std::string Locate(const AviModel& avi, std::size_t at) {
  if (!avi.riffStarts.empty()) {
    std::size_t k = 0;
    while (k + 1 < avi.riffStarts.size() && avi.riffStarts[k + 1] <= at)
      ++k;
    return "RIFF " + std::to_string(k) + " byte " + std::to_string(at - avi.riffStarts[k]);
  }
  const std::uint64_t s = avi.frameSize;
  const std::uint64_t row = avi.height > 0 ? s / static_cast<std::uint64_t>(avi.height) : 1;
  if (at < kHeaders) return "header offset " + std::to_string(at);
  const std::uint64_t rel = at - kHeaders;
  if (rel < avi.frameCount * (s + 8)) {
    const std::uint64_t frame = rel / (s + 8), in = rel % (s + 8);
    if (in < 8) {
      return "frame " + std::to_string(frame) + " chunk header byte " + std::to_string(in);
    }
    const std::uint64_t r = (in - 8) / row, c = (in - 8) % row;
    return "frame " + std::to_string(frame) + " stored row " + std::to_string(r) +
           " (frame row y=" + std::to_string(avi.height - 1 - static_cast<std::int64_t>(r)) +
           ") byte " + std::to_string(c) + " (pixel x=" + std::to_string(c / 3) + ", " +
           (c % 3 == 0   ? "blue"
            : c % 3 == 1 ? "green"
                         : "red") +
           ")";
  }
  return "index byte " + std::to_string(rel - avi.frameCount * (s + 8));
}

std::string Difference(const std::vector<std::uint8_t>& have, const AviModel& want) {
  const std::size_t n = std::min(have.size(), want.bytes.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (have[i] != want.bytes[i]) {
      return "offset " + std::to_string(i) + " (" + Locate(want, i) + "): have " +
             std::to_string(have[i]) + ", want " + std::to_string(want.bytes[i]);
    }
  }
  if (have.size() != want.bytes.size()) {
    return "length: have " + std::to_string(have.size()) + ", want " +
           std::to_string(want.bytes.size());
  }
  return "";
}

std::uint32_t Le32At(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

std::string Incoherence(const std::vector<std::uint8_t>& file) {
  if (file.size() < kHeaders + 8) return "only " + std::to_string(file.size()) + " bytes";
  const std::uint64_t f = Le32At(file, 48), s = Le32At(file, 60);
  const std::uint64_t want = kHeaders + f * (s + 8) + 8 + 16 * f;
  if (file.size() != want || Le32At(file, 4) != want - 8) {
    return "length have " + std::to_string(file.size()) + ", RIFF size " +
           std::to_string(Le32At(file, 4)) + ", want " + std::to_string(want) + " for " +
           std::to_string(f) + " frames of " + std::to_string(s) + " bytes";
  }
  for (std::uint64_t i = 0; i < f; ++i) {
    const std::size_t chunk = static_cast<std::size_t>(kHeaders + i * (s + 8));
    const std::size_t entry = static_cast<std::size_t>(kHeaders + f * (s + 8) + 8 + 16 * i);
    if (std::string(file.begin() + static_cast<std::ptrdiff_t>(chunk),
                    file.begin() + static_cast<std::ptrdiff_t>(chunk + 4)) != "00db" ||
        Le32At(file, entry + 8) != 4 + i * (s + 8)) {
      return "frame " + std::to_string(i) + " of " + std::to_string(f) + " misplaced";
    }
  }
  return "";
}

std::vector<std::uint8_t> FrameData(const std::vector<std::uint8_t>& file, std::uint64_t k,
                                    std::uint64_t s) {
  const std::size_t at = static_cast<std::size_t>(kHeaders + k * (s + 8) + 8);
  if (at + s > file.size()) return {};
  return std::vector<std::uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(at),
                                   file.begin() + static_cast<std::ptrdiff_t>(at + s));
}

}  // namespace stillreel::test
