#include "support/bmp_builder.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <system_error>

#include "support/test_os.h"

namespace stillreel::test {
namespace {

// Appends bytes, but never beyond `limit`: a header may claim a picture far
// larger than a test wants to hold, and only the bytes up to a truncation
// point are ever built.
class Out {
 public:
  explicit Out(std::size_t limit) : limit_(limit) {}

  bool full() const { return bytes_.size() >= limit_; }
  std::size_t size() const { return bytes_.size(); }

  void Byte(std::uint8_t b) {
    if (!full()) bytes_.push_back(b);
  }
  void Le16(std::uint32_t v) {
    Byte(static_cast<std::uint8_t>(v));
    Byte(static_cast<std::uint8_t>(v >> 8));
  }
  void Le32(std::uint32_t v) {
    Le16(v & 0xFFFF);
    Le16(v >> 16);
  }
  void Zeros(std::uint64_t count) {
    const std::uint64_t room = limit_ > bytes_.size() ? limit_ - bytes_.size() : 0;
    bytes_.insert(bytes_.end(), static_cast<std::size_t>(std::min(count, room)), 0);
  }

  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  std::size_t limit_;
  std::vector<std::uint8_t> bytes_;
};

std::uint32_t Clamp32(std::uint64_t v) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, 0xFFFFFFFFu));
}

}  // namespace

std::vector<std::uint8_t> BuildBmp(const BmpFields& fields) {
  const bool bitFields = fields.compression == 3;
  const bool masksInHeader = bitFields && fields.infoHeaderSize >= 52;
  const bool masksAfterHeader = bitFields && !masksInHeader;
  const bool core = fields.infoHeaderSize == 12;
  const std::uint64_t entryBytes = core ? 3 : 4;
  // Fields are laid out as in the 40-byte header (or the 12-byte one); any
  // other smaller size only changes the recorded value.
  const std::uint64_t headerBytes = core ? 12 : std::max<std::uint32_t>(fields.infoHeaderSize, 40);
  const std::uint64_t tableStart = 14 + headerBytes + (masksAfterHeader ? 12 : 0);
  const std::uint64_t tableEnd = tableStart + entryBytes * std::uint64_t{fields.palette.size()};
  const std::uint64_t offset = fields.pixelDataOffset ? *fields.pixelDataOffset : tableEnd;
  const std::uint64_t rowsStart = std::max(offset, tableEnd);

  const std::int64_t width = fields.width > 0 ? fields.width : 0;
  const std::int64_t rows = fields.height < 0 ? -std::int64_t{fields.height} : fields.height;
  const std::int64_t bits = fields.bitCount > 0 ? fields.bitCount : 0;
  const std::uint64_t rowData = static_cast<std::uint64_t>((bits * width + 7) / 8);
  const std::uint64_t rowBytes = (rowData + 3) / 4 * 4;
  const std::uint64_t imageBytes =
      fields.data.empty() ? rowBytes * static_cast<std::uint64_t>(rows) : fields.data.size();
  const std::uint64_t fileBytes = rowsStart + imageBytes;

  Out out(fields.truncateTo ? *fields.truncateTo : std::numeric_limits<std::size_t>::max());
  out.Byte(static_cast<std::uint8_t>(fields.signature[0]));
  out.Byte(static_cast<std::uint8_t>(fields.signature[1]));
  out.Le32(Clamp32(fileBytes));
  out.Le16(0);
  out.Le16(0);
  out.Le32(Clamp32(offset));

  out.Le32(fields.infoHeaderSize);
  if (core) {
    out.Le16(static_cast<std::uint32_t>(fields.width) & 0xFFFF);
    out.Le16(static_cast<std::uint32_t>(fields.height) & 0xFFFF);
  } else {
    out.Le32(static_cast<std::uint32_t>(fields.width));
    out.Le32(static_cast<std::uint32_t>(fields.height));
  }
  out.Le16(1);
  out.Le16(static_cast<std::uint32_t>(fields.bitCount) & 0xFFFF);
  if (!core) {
    out.Le32(fields.compression);
    out.Le32(Clamp32(imageBytes));
    out.Le32(2835);
    out.Le32(2835);
    out.Le32(static_cast<std::uint32_t>(fields.palette.size()));
    out.Le32(0);
  }
  if (masksInHeader || masksAfterHeader) {
    out.Le32(fields.redMask);
    out.Le32(fields.greenMask);
    out.Le32(fields.blueMask);
  }
  if (masksInHeader && headerBytes >= 56) {
    out.Le32(fields.alphaMask);
    out.Zeros(headerBytes - 56);
  } else if (masksInHeader) {
    out.Zeros(headerBytes - 52);
  }
  if (!bitFields && !core) out.Zeros(headerBytes - 40);

  for (const Rgba& c : fields.palette) {
    out.Byte(c.blue);
    out.Byte(c.green);
    out.Byte(c.red);
    if (!core) out.Byte(c.alpha);
  }
  if (out.size() < rowsStart) out.Zeros(rowsStart - out.size());
  if (!fields.data.empty()) {
    for (std::uint8_t b : fields.data)
      out.Byte(b);
    return out.Take();
  }

  const auto at = [&](std::int64_t x, std::int64_t y) -> Rgba {
    const std::uint64_t i = static_cast<std::uint64_t>(y * width + x);
    return i < fields.pixels.size() ? fields.pixels[i] : Rgba{};
  };
  // Rows are stored bottom-up (top-down when the height is negative).
  for (std::int64_t r = 0; r < rows && !out.full(); ++r) {
    const std::int64_t y = fields.height < 0 ? r : rows - 1 - r;
    const std::size_t rowStart = out.size();
    switch (fields.bitCount) {
      case 1:
      case 2:
      case 4:
      case 8: {
        const int perByte = 8 / fields.bitCount;
        for (std::int64_t x = 0; x < width && !out.full(); x += perByte) {
          std::uint32_t byte = 0;
          for (int k = 0; k < perByte; ++k) {
            const std::uint32_t index = x + k < width ? at(x + k, y).blue : 0;
            const int shift = 8 - fields.bitCount * (k + 1);
            byte |= (index & ((1u << fields.bitCount) - 1)) << shift;
          }
          out.Byte(static_cast<std::uint8_t>(byte));
        }
        break;
      }
      case 16:
        for (std::int64_t x = 0; x < width && !out.full(); ++x) {
          out.Byte(at(x, y).blue);
          out.Byte(at(x, y).green);
        }
        break;
      case 24:
      case 32:
        for (std::int64_t x = 0; x < width && !out.full(); ++x) {
          const Rgba c = at(x, y);
          out.Byte(c.blue);
          out.Byte(c.green);
          out.Byte(c.red);
          if (fields.bitCount == 32) out.Byte(c.alpha);
        }
        break;
      default:
        out.Zeros(rowData);
        break;
    }
    const std::size_t written = out.size() - rowStart;
    if (written < rowBytes) out.Zeros(rowBytes - written);
  }
  return out.Take();
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path.string());
  // In large blocks: byte by byte, reading back a file of megabytes takes
  // longer than writing it (under ThreadSanitizer, or Wine).
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  std::vector<std::uint8_t> bytes;
  std::size_t size = 0;
  while (file) {
    bytes.resize(size + kBlock);
    file.read(reinterpret_cast<char*>(bytes.data() + size), static_cast<std::streamsize>(kBlock));
    size += static_cast<std::size_t>(file.gcount());
  }
  if (file.bad()) throw std::runtime_error("cannot read " + path.string());
  bytes.resize(size);
  return bytes;
}

#ifdef _WIN32
TempDir::TempDir(const std::filesystem::path& parent) {
  // No mkdtemp: a random name, taken only if create_directory made it.
  std::random_device entropy;
  for (int attempt = 0; attempt < 64; ++attempt) {
    const std::filesystem::path candidate =
        parent / ("stillreel-test-" + std::to_string(entropy()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a folder in " + parent.string());
}
#else
TempDir::TempDir(const std::filesystem::path& parent) {
  std::string pattern = (parent / "stillreel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  }
  path_ = pattern;
}
#endif

TempDir::~TempDir() {
  RemoveTree(path_);
}

std::vector<std::string> Entries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::u8string name = e.path().filename().u8string();
    names.emplace_back(name.begin(), name.end());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace stillreel::test
