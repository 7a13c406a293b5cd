// Unit tests of the AVI writer and its byte writer.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "image/image.h"
#include "support/bmp_builder.h"

namespace stillreel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Runs `write` on a ByteWriter over a fresh file and returns what reached the file.
Bytes Capture(const std::function<void(ByteWriter&)>& write, std::size_t bufferBytes = 64) {
  test::TempDir dir;
  const auto path = dir / "out";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0) << "cannot create " << path;
  {
    ByteWriter out(fd, bufferBytes);
    write(out);
    EXPECT_TRUE(out.Flush()) << "error " << out.error();
  }
  ::close(fd);
  return test::ReadFile(path);
}

std::string Hex(std::uint8_t b) {
  std::ostringstream s;
  s << "0x" << std::hex << int{b};
  return s.str();
}

// The bytes a file should hold, each with the name of its field.
class Expected {
 public:
  void Tag(const char (&t)[5], const std::string& field) {
    for (int i = 0; i < 4; ++i)
      Add(static_cast<std::uint8_t>(t[i]), field);
  }
  void Le32(std::uint32_t v, const std::string& field) {
    for (int i = 0; i < 4; ++i)
      Add(static_cast<std::uint8_t>(v >> (8 * i)), field);
  }
  void Le16(std::uint16_t v, const std::string& field) {
    for (int i = 0; i < 2; ++i)
      Add(static_cast<std::uint8_t>(v >> (8 * i)), field);
  }
  void Add(std::uint8_t b, const std::string& field) {
    bytes_.push_back(b);
    fields_.push_back(field);
  }
  std::size_t size() const { return bytes_.size(); }
  // Groups of values; a difference names the group and the value's place in it.
  void Tags(std::initializer_list<const char*> tags, const std::string& group) {
    int k = 0;
    for (const char* t : tags) {
      for (int i = 0; i < 4; ++i)
        Add(static_cast<std::uint8_t>(t[i]), group + " #" + std::to_string(k));
      ++k;
    }
  }
  void Le32s(std::initializer_list<std::uint32_t> values, const std::string& group) {
    int k = 0;
    for (std::uint32_t v : values)
      Le32(v, group + " #" + std::to_string(k++));
  }
  void Le16s(std::initializer_list<std::uint16_t> values, const std::string& group) {
    int k = 0;
    for (std::uint16_t v : values)
      Le16(v, group + " #" + std::to_string(k++));
  }

  // Compares `have` from byte `start` on; reports the first few differences.
  void Check(const Bytes& have, std::size_t start = 0) const {
    ASSERT_GE(have.size(), start + bytes_.size())
        << "have " << have.size() << " bytes, want at least " << start + bytes_.size();
    int reported = 0;
    for (std::size_t i = 0; i < bytes_.size() && reported < 8; ++i) {
      if (have[start + i] != bytes_[i]) {
        ++reported;
        ADD_FAILURE() << "offset " << start + i << " (" << fields_[i] << "): have "
                      << Hex(have[start + i]) << ", want " << Hex(bytes_[i]);
      }
    }
  }

 private:
  Bytes bytes_;
  std::vector<std::string> fields_;
};

// The 224 header bytes for a layout, field by field.
Expected HeaderBytes(std::uint32_t riff, std::uint32_t movi, std::uint32_t us, std::uint32_t frames,
                     std::uint32_t s, std::uint32_t w, std::uint32_t h) {
  Expected e;
  e.Tags({"RIFF"}, "RIFF");
  e.Le32s({riff}, "RIFF size");
  e.Tags({"AVI ", "LIST"}, "RIFF type, hdrl LIST");
  e.Le32s({192}, "hdrl size");
  e.Tags({"hdrl", "avih"}, "hdrl");
  e.Le32s({56, us, 0, 0, 0x10, frames, 0, 1, s, w, h, 0, 0, 0, 0}, "avih size and value");
  e.Tags({"LIST"}, "strl LIST");
  e.Le32s({116}, "strl size");
  e.Tags({"strl", "strh"}, "strl");
  e.Le32s({56}, "strh size");
  e.Tags({"vids", "DIB "}, "strh type and handler");
  e.Le32s({0, 0, 0, us, 1000000, 0, frames, s, 0, 0, 0}, "strh value");
  e.Le16s({static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)},
          "strh frame right, bottom");
  e.Tags({"strf"}, "strf");
  e.Le32s({40, 40, w, h}, "strf size, header size, width, height");
  e.Le16s({1, 24}, "strf planes, bit count");
  e.Le32s({0, s, 3780, 3780, 0, 0}, "strf compression, image size, ...");
  e.Tags({"LIST"}, "movi LIST");
  e.Le32s({movi}, "movi size");
  e.Tags({"movi"}, "movi");
  EXPECT_EQ(e.size(), 224u);
  return e;
}

TEST(AviSizesTest, RowBytesAndRiffSize) {
  struct Case {
    std::int64_t width;
    std::uint64_t want;
  };
  for (const Case& c : {Case{1, 4}, Case{2, 8}, Case{3, 12}, Case{4, 12}, Case{5, 16},
                        Case{65536, 196608}, Case{INT32_MAX, 6442450944}}) {
    EXPECT_EQ(RowBytes(c.width), c.want) << "RowBytes(" << c.width << ")";
  }
  EXPECT_EQ(RiffSize(1, 1, 16), std::optional<std::uint64_t>(264));
  EXPECT_EQ(RiffSize(3, 4, 16), std::optional<std::uint64_t>(224 + 9 * 40));
  // 32 bits would wrap these; 64 bits hold them.
  EXPECT_EQ(RiffSize(1, 1, std::uint64_t{1} << 32),
            std::optional<std::uint64_t>(224 + 24 + (std::uint64_t{1} << 32)));
  EXPECT_EQ(RiffSize(1, 1, 2147483401), std::optional<std::uint64_t>(2147483649));
  // And these do not fit in 64 bits.
  EXPECT_EQ(RiffSize(UINT64_MAX, 2, 16), std::nullopt);
  EXPECT_EQ(RiffSize(2, UINT64_MAX, 16), std::nullopt);
  EXPECT_EQ(RiffSize(1, 1, UINT64_MAX - 30), std::nullopt);
  EXPECT_EQ(RiffSize(std::uint64_t{1} << 32, std::uint64_t{1} << 32, 1 << 20), std::nullopt);
}

TEST(AviSizesTest, PlanOfTheSmallestFiles) {
  const auto one = PlanAvi(2, 2, 1, 1, 40000);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->frameWidth, 2);
  EXPECT_EQ(one->frameHeight, 2);
  EXPECT_EQ(one->microsPerFrame, 40000u);
  EXPECT_EQ(one->rowBytes, 8u);
  EXPECT_EQ(one->frameSize, 16u);
  EXPECT_EQ(one->frameCount, 1u);
  EXPECT_EQ(one->moviSize, 28u);
  EXPECT_EQ(one->indexSize, 16u);
  EXPECT_EQ(one->riffSize, 264u);

  const auto nine = PlanAvi(5, 1, 3, 4, 33366);
  ASSERT_TRUE(nine.has_value());
  EXPECT_EQ(nine->rowBytes, 16u);
  EXPECT_EQ(nine->frameSize, 16u);
  EXPECT_EQ(nine->frameCount, 9u);
  EXPECT_EQ(nine->moviSize, 4u + 9 * 24);
  EXPECT_EQ(nine->indexSize, 144u);
  EXPECT_EQ(nine->riffSize, 220u + 4 + 9 * 24 + 144);
}

TEST(AviSizesTest, RiffSizeLimit) {
  // RIFF size = 224 + F x (S + 24); with 4-byte rows S moves in steps of 4.
  const std::int32_t exact = 536870850;  // S = 2,147,483,400: RIFF size exactly 2048 MiB
  const auto atLimit = PlanAvi(1, exact, 1, 1, 40000);
  ASSERT_TRUE(atLimit.has_value()) << "RIFF size 2048 MiB refused";
  EXPECT_EQ(atLimit->riffSize, std::uint64_t{2048} * 1024 * 1024);
  EXPECT_EQ(PlanAvi(1, exact + 1, 1, 1, 40000), std::nullopt) << "RIFF size 2048 MiB + 4";

  const std::int32_t exact3 = 178956946;  // F = 3, S = 715,827,784
  const auto threeAtLimit = PlanAvi(1, exact3, 2, 2, 40000);
  ASSERT_TRUE(threeAtLimit.has_value()) << "three frames at 2048 MiB refused";
  EXPECT_EQ(threeAtLimit->riffSize, std::uint64_t{2048} * 1024 * 1024);
  EXPECT_EQ(PlanAvi(1, exact3 + 1, 2, 2, 40000), std::nullopt);
  EXPECT_EQ(PlanAvi(1, exact3, 2, 3, 40000), std::nullopt);

  // 2^27 frames of 8 bytes: 224 + 2^32, which 32 bits would wrap to 224.
  EXPECT_EQ(PlanAvi(2, 1, std::uint64_t{1} << 27, 1, 40000), std::nullopt);
  EXPECT_EQ(PlanAvi(65536, 65536, 1, 1, 40000), std::nullopt);
  EXPECT_EQ(PlanAvi(INT32_MAX, INT32_MAX, UINT64_MAX, UINT64_MAX, 1), std::nullopt);
}

TEST(AviWriterTest, HeadersOfTheSmallestFile) {
  const auto layout = PlanAvi(2, 2, 1, 1, 40000);
  ASSERT_TRUE(layout.has_value());
  Image image = CreateImage();
  ASSERT_TRUE(Resize(image, 2, 2));
  std::uint64_t position = 0;
  const Bytes file = Capture([&](ByteWriter& out) {
    WriteHeaders(*layout, out);
    EXPECT_EQ(out.position(), 224u) << "headers end";
    WriteFrameChunk(image, *layout, out);
    WriteIndex(*layout, out);
    position = out.position();
  });
  EXPECT_EQ(file.size(), 272u);
  EXPECT_EQ(position, 272u);
  HeaderBytes(264, 28, 40000, 1, 16, 2, 2).Check(file);
}

TEST(AviWriterTest, HeadersCarryRateFrameCountAndLowBitsOfTheSize) {
  // 70000 columns: the frame rectangle keeps the low 16 bits (4464).
  const auto layout = PlanAvi(70000, 3, 3, 4, 33366);
  ASSERT_TRUE(layout.has_value());
  const Bytes file = Capture([&](ByteWriter& out) { WriteHeaders(*layout, out); });
  ASSERT_EQ(file.size(), 224u);
  const std::uint32_t s = 210000 * 3;
  HeaderBytes(static_cast<std::uint32_t>(224 + 9 * (s + 24)),
              static_cast<std::uint32_t>(4 + 9 * (s + 8)), 33366, 9, s, 70000, 3)
      .Check(file);
}

// The frame bytes that an image should give: image row height - 1 first,
// anchored at the left, cropped to the frame, zero where it does not reach.
Expected FrameBytes(const Image& image, std::int32_t frameWidth, std::int32_t frameHeight) {
  Expected e;
  const std::uint64_t rowBytes = RowBytes(frameWidth);
  e.Tag("00db", "chunk tag");
  e.Le32(static_cast<std::uint32_t>(rowBytes * frameHeight), "chunk size");
  for (std::int32_t r = 0; r < frameHeight; ++r) {
    const std::int32_t y = Height(image) - 1 - r;
    for (std::uint64_t i = 0; i < rowBytes; ++i) {
      const std::int32_t x = static_cast<std::int32_t>(i / 3);
      const std::string field = "frame row " + std::to_string(r) + " byte " + std::to_string(i);
      if (y < 0 || x >= Width(image) || x >= frameWidth) {
        e.Add(0, field);
        continue;
      }
      const Pixel& p = Column(image, x)[y];
      e.Add(i % 3 == 0 ? p.blue : i % 3 == 1 ? p.green : p.red, field);
    }
  }
  return e;
}

Image Numbered(std::int32_t w, std::int32_t h) {
  Image image = CreateImage();
  EXPECT_TRUE(Resize(image, w, h));
  for (std::int32_t x = 0; x < w; ++x) {
    for (std::int32_t y = 0; y < h; ++y) {
      // Alpha is set too: it must never reach the file.
      Column(image, x)[y] =
          Pixel{static_cast<std::uint8_t>(1 + x), static_cast<std::uint8_t>(100 + y),
                static_cast<std::uint8_t>(200 + x + y), 77};
    }
  }
  return image;
}

TEST(AviWriterTest, FrameChunksAreAnchoredBottomLeft) {
  struct Case {
    std::int32_t imageWidth, imageHeight, frameWidth, frameHeight;
  };
  for (const Case& c : {Case{3, 2, 3, 2}, Case{5, 1, 5, 1}, Case{4, 4, 4, 4}, Case{2, 1, 5, 3},
                        Case{7, 4, 3, 2}, Case{1, 1, 4, 3}, Case{2, 5, 6, 2}, Case{6, 1, 2, 4}}) {
    SCOPED_TRACE(std::to_string(c.imageWidth) + " x " + std::to_string(c.imageHeight) + " in a " +
                 std::to_string(c.frameWidth) + " x " + std::to_string(c.frameHeight) + " frame");
    const auto layout = PlanAvi(c.frameWidth, c.frameHeight, 1, 1, 40000);
    ASSERT_TRUE(layout.has_value());
    const Image image = Numbered(c.imageWidth, c.imageHeight);
    const Bytes chunk = Capture([&](ByteWriter& out) { WriteFrameChunk(image, *layout, out); });
    const Expected want = FrameBytes(image, c.frameWidth, c.frameHeight);
    EXPECT_EQ(chunk.size(), 8 + layout->frameSize);
    want.Check(chunk);
  }

  // Spelled out: a 5 x 1 row ends with one zero byte; a 1 x 1 picture in a
  // 2 x 2 frame is its pixel in the first row, then zeros.
  const auto wide = PlanAvi(5, 1, 1, 1, 40000);
  const Bytes five = Capture([&](ByteWriter& out) { WriteFrameChunk(Numbered(5, 1), *wide, out); });
  const Bytes wantFive = {'0', '0', 'd', 'b', 16,  0, 0,   0,   1, 100, 200, 2,
                          100, 201, 3,   100, 202, 4, 100, 203, 5, 100, 204, 0};
  EXPECT_EQ(five, wantFive);
  const auto square = PlanAvi(2, 2, 1, 1, 40000);
  const Bytes one =
      Capture([&](ByteWriter& out) { WriteFrameChunk(Numbered(1, 1), *square, out); });
  const Bytes wantOne = {'0', '0', 'd', 'b', 16, 0, 0, 0, 1, 100, 200, 0,
                         0,   0,   0,   0,   0,  0, 0, 0, 0, 0,   0,   0};
  EXPECT_EQ(one, wantOne);
}

TEST(AviWriterTest, IndexEntries) {
  const auto layout = PlanAvi(2, 2, 3, 4, 40000);
  ASSERT_TRUE(layout.has_value());
  const Bytes index = Capture([&](ByteWriter& out) { WriteIndex(*layout, out); });
  Expected e;
  e.Tag("idx1", "idx1");
  e.Le32(144, "index size");
  for (std::uint32_t i = 0; i < 9; ++i) {
    const std::string entry = "entry " + std::to_string(i);
    e.Tag("00db", entry + " tag");
    e.Le32(0x10, entry + " flags");
    e.Le32(4 + i * 24, entry + " offset");  // 4, 28, 52, ... 196
    e.Le32(16, entry + " size");
  }
  EXPECT_EQ(index.size(), e.size());
  e.Check(index);
}

TEST(ByteWriterTest, LittleEndianThroughSmallBuffers) {
  for (std::size_t buffer : {1, 3, 7, 4096}) {
    SCOPED_TRACE("buffer of " + std::to_string(buffer) + " bytes");
    Bytes block(1000);
    for (std::size_t i = 0; i < block.size(); ++i)
      block[i] = static_cast<std::uint8_t>(i * 7);
    std::uint64_t position = 0;
    const Bytes have = Capture(
        [&](ByteWriter& out) {
          WriteTag("RIFF", out);
          WriteLe32(0x04030201, out);
          WriteLe16(0xBEEF, out);
          out.Write(block.data(), block.size());
          WriteLe16(0x0102, out);
          position = out.position();
        },
        buffer);
    Bytes want = {'R', 'I', 'F', 'F', 1, 2, 3, 4, 0xEF, 0xBE};
    want.insert(want.end(), block.begin(), block.end());
    want.push_back(2);
    want.push_back(1);
    EXPECT_EQ(position, want.size());
    EXPECT_EQ(have, want);
  }
}

TEST(ByteWriterTest, ErrorsAreSticky) {
  const int fd = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0) << "cannot open /dev/full";
  {
    ByteWriter out(fd, 16);
    EXPECT_TRUE(out.ok());
    WriteLe32(1, out);
    EXPECT_FALSE(out.Flush()) << "a write to /dev/full succeeded";
    EXPECT_FALSE(out.ok());
    EXPECT_EQ(out.error(), ENOSPC) << "have errno " << out.error();
    const std::uint64_t position = out.position();
    WriteLe32(2, out);
    out.Write("more than sixteen bytes of data", 31);
    EXPECT_EQ(out.position(), position) << "a failed writer accepted more bytes";
    EXPECT_FALSE(out.Flush());
    EXPECT_FALSE(out.ok());
  }
  {
    // A write larger than the buffer fails at the latest when flushed.
    ByteWriter out(fd, 4);
    const Bytes block(100, 1);
    out.Write(block.data(), block.size());
    EXPECT_FALSE(out.Flush());
    EXPECT_FALSE(out.ok());
  }
  ::close(fd);
  {
    ByteWriter out(-1, 16);
    WriteLe16(1, out);
    EXPECT_FALSE(out.Flush()) << "a write to fd -1 succeeded";
    EXPECT_EQ(out.error(), EBADF) << "have errno " << out.error();
  }
}

}  // namespace
}  // namespace stillreel
