// Unit tests of the AVI layout, the AVI writer and its byte writer.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "avi/avi_layout.h"
#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "image/image.h"
#include "size_limits.h"
#include "support/avi_model.h"
#include "support/bmp_builder.h"
#include "support/test_os.h"

namespace stillreel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Runs `write` on a ByteWriter over a fresh file and returns what reached the file.
Bytes Capture(const std::function<void(ByteWriter&)>& write, std::size_t bufferBytes = 64) {
  test::TempDir dir;
  const auto path = dir / "out";
  const int fd = test::CreateForWriting(path);
  EXPECT_GE(fd, 0) << "cannot create " << path;
  {
    ByteWriter out(platform::FromDescriptor(fd), bufferBytes);
    write(out);
    EXPECT_TRUE(out.Flush()) << "error " << out.error();
  }
  test::CloseDescriptor(fd);
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
    EXPECT_EQ(RowBytes(24, c.width), c.want) << "RowBytes(24, " << c.width << ")";
  }
  // Other bit counts, as BMP rows: 1 pixel of 1 bit, 33 of 1 bit, 3 of 4 bits, 3 of 8 bits.
  EXPECT_EQ(RowBytes(1, 1), 4u);
  EXPECT_EQ(RowBytes(1, 33), 8u);
  EXPECT_EQ(RowBytes(4, 3), 4u);
  EXPECT_EQ(RowBytes(8, 5), 8u);
  EXPECT_EQ(RowBytes(32, 3), 12u);
  EXPECT_EQ(LayoutAvi(2, 2, 1, 40000).riffSize, 264u);
  EXPECT_EQ(LayoutAvi(2, 2, 9, 40000).riffSize, 224u + 9 * 40);
  // 32 bits would wrap these; 64 bits hold them.
  EXPECT_EQ(LayoutAvi(1, 1 << 30, 1, 40000).riffSize, 224u + 24 + (std::uint64_t{1} << 32));
  EXPECT_EQ(LayoutAvi(1, 536870851, 1, 40000).riffSize, 2147483652u);
  // And these do not fit in 64 bits.
  EXPECT_EQ(LayoutAvi(2, 2, kHugeSize, 40000).riffSize, kHugeSize);
  EXPECT_EQ(LayoutAvi(2, 2, kHugeSize / 2, 40000).riffSize, kHugeSize);
  EXPECT_EQ(LayoutAvi(INT32_MAX, INT32_MAX, std::uint64_t{1} << 32, 1).riffSize, kHugeSize);
  EXPECT_EQ(LayoutAvi(2, 2, kHugeSize, 40000).fileSize, kHugeSize);
  EXPECT_EQ(LayoutAvi(2, 2, 1, 40000).fileSize, 272u);
}

TEST(AviSizesTest, LayoutOfTheSmallestFiles) {
  const AviLayout one = LayoutAvi(2, 2, 1, 40000);
  EXPECT_EQ(one.width, 2);
  EXPECT_EQ(one.height, 2);
  EXPECT_EQ(one.microsPerFrame, 40000u);
  EXPECT_EQ(one.rowBytes, 8u);
  EXPECT_EQ(one.frameSize, 16u);
  EXPECT_EQ(one.frameCount, 1u);
  EXPECT_EQ(one.moviSize, 28u);
  EXPECT_EQ(one.indexSize, 16u);
  EXPECT_EQ(one.riffSize, 264u);

  const AviLayout nine = LayoutAvi(5, 1, 9, 33366);
  EXPECT_EQ(nine.rowBytes, 16u);
  EXPECT_EQ(nine.frameSize, 16u);
  EXPECT_EQ(nine.frameCount, 9u);
  EXPECT_EQ(nine.moviSize, 4u + 9 * 24);
  EXPECT_EQ(nine.indexSize, 144u);
  EXPECT_EQ(nine.riffSize, 220u + 4 + 9 * 24 + 144);
  EXPECT_EQ(kHeadersBytes, 224u);
}

TEST(AviSizesTest, RiffSizeAtTheLimit) {
  // RIFF size = 224 + F x (S + 24); with 4-byte rows S moves in steps of 4.
  const std::int32_t exact = 536870850;  // S = 2,147,483,400: RIFF size exactly 2048 MiB
  EXPECT_EQ(LayoutAvi(1, exact, 1, 40000).riffSize, kMaxRiffSize) << "one frame";
  EXPECT_EQ(LayoutAvi(1, exact + 1, 1, 40000).riffSize, kMaxRiffSize + 4) << "one frame + 4";

  const std::int32_t exact3 = 178956946;  // F = 3, S = 715,827,784
  EXPECT_EQ(LayoutAvi(1, exact3, 3, 40000).riffSize, kMaxRiffSize) << "three frames";
  EXPECT_GT(LayoutAvi(1, exact3 + 1, 3, 40000).riffSize, kMaxRiffSize);
  EXPECT_GT(LayoutAvi(1, exact3, 4, 40000).riffSize, kMaxRiffSize);

  // 2^27 frames of 8 bytes: 224 + 2^32, which 32 bits would wrap to 224.
  EXPECT_EQ(LayoutAvi(2, 1, std::uint64_t{1} << 27, 40000).riffSize,
            224 + (std::uint64_t{1} << 32));
  EXPECT_GT(LayoutAvi(65536, 65536, 1, 40000).riffSize, kMaxRiffSize);
}

TEST(AviSizesTest, OpenDmlRiffsAsTheModelCutsThem) {
  // Frames from the smallest to the largest an AVI 2.0 file holds, files of
  // one frame to thousands of RIFFs, RIFFs of one frame to a gibibyte.
  struct Case {
    std::int32_t width, height;
    std::uint64_t frames, riffBytes;
  };
  for (const Case& c : {Case{1, 1, 1, 100}, Case{1, 1, 20000000, std::uint64_t{1} << 30},
                        Case{5, 3, 10, 988}, Case{5, 3, 10, 987}, Case{640, 480, 5000, 1 << 30},
                        Case{3840, 2160, 2000, std::uint64_t{1} << 30},
                        Case{1, 536870911, 3, std::uint64_t{1} << 30},
                        Case{16384, 8192, 100, std::uint64_t{1} << 30}, Case{7, 5, 100000, 4096}}) {
    const AviLayout layout = LayoutOpenDml(c.width, c.height, c.frames, 40000, c.riffBytes);
    const std::string how = std::to_string(c.frames) + " frames of " + std::to_string(c.width) +
                            " x " + std::to_string(c.height) + " in RIFFs of " +
                            std::to_string(c.riffBytes);
    ASSERT_TRUE(Writable(layout)) << how;
    const std::vector<std::uint64_t> want =
        test::ModelRiffFrames(layout.frameSize, c.frames, c.riffBytes);
    ASSERT_EQ(layout.riffCount, want.size()) << how;
    std::uint64_t end = 0;
    for (std::uint64_t k = 0; k < want.size(); ++k) {
      ASSERT_EQ(RiffFrames(layout, k), want[k]) << how << ", RIFF " << k;
      ASSERT_EQ(RiffOffset(layout, k), end) << how << ", RIFF " << k;
      ASSERT_LE(RiffSize(layout, k), 0xFFFFFFFFu) << how << ", RIFF " << k;
      end += 8 + RiffSize(layout, k);
    }
    EXPECT_EQ(layout.fileSize, end) << how;
  }
  // Beyond what AVI 2.0 holds: a frame's size in 31 bits, 2^32 - 1 frames.
  EXPECT_TRUE(Writable(LayoutOpenDml(1, 536870911, 1, 40000, 1 << 30)));
  EXPECT_FALSE(Writable(LayoutOpenDml(1, 536870912, 1, 40000, 1 << 30)));
  EXPECT_TRUE(Writable(LayoutOpenDml(1, 1, 0xFFFFFFFF, 40000, 1 << 30)));
  EXPECT_FALSE(Writable(LayoutOpenDml(1, 1, std::uint64_t{1} << 32, 40000, 1 << 30)));
  EXPECT_FALSE(Writable(LayoutOpenDml(1, 1, kHugeSize, 40000, 1 << 30)));
}

// Writes the whole file of `layout` with frame i's bytes all i + 1, its rows
// made `rowsPerClaim` at a time at most (the writer's buffer).
Bytes WriteFile(const AviLayout& layout, std::size_t bufferBytes, bool wholeFrames = false) {
  return Capture(
      [&](ByteWriter& out) {
        AviWriter avi(layout, out);
        avi.WriteHeaders();
        EXPECT_EQ(out.position(), 224u) << "headers end";
        for (std::uint64_t i = 0; i < layout.frameCount; ++i) {
          const auto value = static_cast<std::uint8_t>(i + 1);
          if (wholeFrames) {
            const Bytes frame(static_cast<std::size_t>(layout.frameSize), value);
            avi.WriteFrame(frame.data());
            continue;
          }
          std::int64_t next = 0;
          avi.WriteFrameRows([&](std::uint8_t* rows, std::int64_t first, std::int64_t count) {
            EXPECT_EQ(first, next) << "rows in order";
            EXPECT_GT(count, 0);
            EXPECT_LE(static_cast<std::uint64_t>(count) * layout.rowBytes, out.capacity());
            std::fill(rows, rows + count * layout.rowBytes, value);
            next = first + count;
          });
          EXPECT_EQ(next, layout.height) << "every row once";
        }
        avi.Finish();
        EXPECT_EQ(out.position(), layout.riffSize + 8) << "file end";
      },
      bufferBytes);
}

TEST(AviWriterTest, HeadersOfTheSmallestFile) {
  const AviLayout layout = LayoutAvi(2, 2, 1, 40000);
  const Bytes file = WriteFile(layout, 64);
  EXPECT_EQ(file.size(), 272u);
  HeaderBytes(264, 28, 40000, 1, 16, 2, 2).Check(file);
}

TEST(AviWriterTest, HeadersCarryRateFrameCountAndLowBitsOfTheSize) {
  // 70000 columns: the frame rectangle keeps the low 16 bits (4464).
  const AviLayout layout = LayoutAvi(70000, 3, 9, 33366);
  const Bytes file = Capture([&](ByteWriter& out) { AviWriter(layout, out).WriteHeaders(); });
  ASSERT_EQ(file.size(), 224u);
  const std::uint32_t s = 210000 * 3;
  HeaderBytes(static_cast<std::uint32_t>(224 + 9 * (s + 24)),
              static_cast<std::uint32_t>(4 + 9 * (s + 8)), 33366, 9, s, 70000, 3)
      .Check(file);
}

TEST(AviWriterTest, FrameChunksWholeOrRowsAtATime) {
  // 5 x 7 frames of 16-byte rows, made whole or through buffers that take
  // one row, two rows and a half, or every row at once.
  const AviLayout layout = LayoutAvi(5, 7, 3, 40000);
  for (const auto& [buffer, whole] :
       {std::pair{16, false}, std::pair{40, false}, std::pair{4096, false}, std::pair{64, true}}) {
    SCOPED_TRACE("buffer of " + std::to_string(buffer) + (whole ? ", whole frames" : ""));
    const Bytes file = WriteFile(layout, static_cast<std::size_t>(buffer), whole);
    ASSERT_EQ(file.size(), layout.riffSize + 8);
    Expected e;
    for (std::uint32_t i = 0; i < 3; ++i) {
      const std::string frame = "frame " + std::to_string(i);
      e.Tag("00db", frame + " tag");
      e.Le32(112, frame + " size");
      for (int b = 0; b < 112; ++b)
        e.Add(static_cast<std::uint8_t>(i + 1), frame + " byte " + std::to_string(b));
    }
    e.Check(file, 224);
  }
}

TEST(AviWriterTest, IndexEntries) {
  const AviLayout layout = LayoutAvi(2, 2, 9, 40000);
  const Bytes file = WriteFile(layout, 64);
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
  ASSERT_EQ(file.size(), 224 + 9 * 24 + e.size());
  e.Check(file, 224 + 9 * 24);
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
  std::optional<test::FullDisk> full(std::in_place);
  const int fd = full->descriptor();
  ASSERT_GE(fd, 0) << "no descriptor of a full disk";
  {
    ByteWriter out(platform::FromDescriptor(fd), 16);
    EXPECT_TRUE(out.ok());
    WriteLe32(1, out);
    EXPECT_FALSE(out.Flush()) << "a write to a full disk succeeded";
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
    ByteWriter out(platform::FromDescriptor(fd), 4);
    const Bytes block(100, 1);
    out.Write(block.data(), block.size());
    EXPECT_FALSE(out.Flush());
    EXPECT_FALSE(out.ok());
  }
  full.reset();
  {
    ByteWriter out(platform::File{}, 16);
    WriteLe16(1, out);
    EXPECT_FALSE(out.Flush()) << "a write to fd -1 succeeded";
    EXPECT_EQ(out.error(), EBADF) << "have errno " << out.error();
  }
}

}  // namespace
}  // namespace stillreel
