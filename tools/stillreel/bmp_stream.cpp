#include "bmp_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace stillreel::tool {
namespace {

// The least a read asks for: a pipe hands over its bytes in pieces of this
// order, and the bytes a read brings beyond a picture, moved to the front of
// the buffer for the next one, stay this few.
constexpr std::size_t kReadBytes = 64 * 1024;

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kFileSizeAt = 2;
constexpr std::size_t kPixelDataOffsetAt = 10;
constexpr std::size_t kInfoAt = kFileHeaderBytes;
constexpr std::size_t kFirstBytes = kInfoAt + 4;  // up to the info header's size

constexpr std::uint32_t kCoreHeader = 12;  // OS/2 1.x: 16-bit sizes, 3-byte colours
constexpr std::uint32_t kInfoHeader = 40;
constexpr std::uint32_t kV2Header = 52;
constexpr std::uint32_t kV3Header = 56;
constexpr std::uint32_t kV4Header = 108;
constexpr std::uint32_t kV5Header = 124;
constexpr std::uint32_t kOs2Min = 16;
constexpr std::uint32_t kOs2Max = 64;

constexpr std::uint32_t kBitFields = 3;
constexpr std::uint32_t kAlphaBitFields = 6;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint32_t Le(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;)
    value = (value << 8) | bytes[at + i];
  return value;
}

bool KnownHeaderSize(std::uint32_t size) {
  return size == kCoreHeader || (size >= kOs2Min && size <= kOs2Max) || size == kV4Header ||
         size == kV5Header;
}

// Sizes from 16 to 64 bytes other than Windows' are OS/2 2.x headers, whose
// compression 3 is Huffman coding, not bit fields.
bool IsOs2Header(std::uint32_t size) {
  return size >= kOs2Min && size <= kOs2Max && size != kInfoHeader && size != kV2Header &&
         size != kV3Header;
}

std::uint64_t Add(std::uint64_t a, std::uint64_t b) {
  return a > kMax - b ? kMax : a + b;
}

std::uint64_t Multiply(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > kMax / b ? kMax : a * b;
}

// A field of the info header, 0 where a short OS/2 2.x header ends before it.
std::uint32_t InfoField(std::span<const std::uint8_t> head, std::uint32_t infoSize, std::size_t at,
                        std::size_t size) {
  return at + size <= infoSize ? Le(head, kInfoAt + at, size) : 0;
}

}  // namespace

std::size_t BmpHeadBytes(std::span<const std::uint8_t> head) {
  if (head.size() < kFirstBytes) return kFirstBytes;
  const std::uint32_t size = Le(head, kInfoAt, 4);
  // Of a header no version has, nothing but the file size field is known.
  if (!KnownHeaderSize(size)) return kFirstBytes;
  const std::size_t bytes = kInfoAt + size;
  // A 40-byte header with bit fields is followed by their masks.
  if (size != kInfoHeader || head.size() < bytes) return bytes;
  const std::uint32_t compression = Le(head, kInfoAt + 16, 4);
  if (compression == kBitFields) return bytes + 12;
  if (compression == kAlphaBitFields) return bytes + 16;
  return bytes;
}

std::uint64_t BmpExtent(std::span<const std::uint8_t> head) {
  const std::uint64_t fileSize = Le(head, kFileSizeAt, 4);
  const std::uint32_t size = Le(head, kInfoAt, 4);
  if (!KnownHeaderSize(size)) return std::max<std::uint64_t>(fileSize, kFirstBytes);
  const std::uint64_t headers = BmpHeadBytes(head);

  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t bits = 0;
  std::uint32_t compression = 0;
  std::uint32_t imageSize = 0;
  std::uint32_t coloursUsed = 0;
  std::uint32_t entryBytes = 4;
  if (size == kCoreHeader) {
    width = Le(head, kInfoAt + 4, 2);
    height = Le(head, kInfoAt + 6, 2);
    bits = Le(head, kInfoAt + 10, 2);
    entryBytes = 3;
  } else {
    width = static_cast<std::int32_t>(InfoField(head, size, 4, 4));
    height = static_cast<std::int32_t>(InfoField(head, size, 8, 4));
    bits = InfoField(head, size, 14, 2);
    compression = InfoField(head, size, 16, 4);
    imageSize = InfoField(head, size, 20, 4);
    coloursUsed = InfoField(head, size, 32, 4);
  }

  // The colour table as the reader lays it: 2^bits entries, fewer when the
  // colours-used field or the pixel data offset says so. Rows start at the
  // offset, or after the table when the offset points inside it.
  const std::uint64_t offset = Le(head, kPixelDataOffsetAt, 4);
  std::uint64_t tableEnd = headers;
  if (bits >= 1 && bits <= 8) {
    std::uint64_t entries = std::uint64_t{1} << bits;
    if (coloursUsed > 0 && coloursUsed < entries) entries = coloursUsed;
    if (offset > tableEnd) entries = std::min(entries, (offset - tableEnd) / entryBytes);
    tableEnd += entries * entryBytes;
  }
  const std::uint64_t rowsStart = std::max(offset, tableEnd);

  const bool rows =
      compression == 0 ||
      ((compression == kBitFields || compression == kAlphaBitFields) && !IsOs2Header(size));
  std::uint64_t pixels = imageSize;
  if (rows) {
    const std::uint64_t w = width > 0 ? static_cast<std::uint64_t>(width) : 0;
    const std::uint64_t stride = (w * bits + 31) / 32 * 4;  // w < 2^31, bits < 2^16
    pixels = Multiply(stride, static_cast<std::uint64_t>(height < 0 ? -height : height));
  }
  std::uint64_t end = std::max({fileSize, headers, tableEnd, Add(rowsStart, pixels)});
  // A version 5 header may point at a colour profile, counted from the
  // start of the info header; it usually follows the pixels.
  if (size == kV5Header) {
    const std::uint64_t profileAt = Le(head, kInfoAt + 112, 4);
    const std::uint64_t profileSize = Le(head, kInfoAt + 116, 4);
    if (profileSize > 0) end = std::max(end, Add(kInfoAt + profileAt, profileSize));
  }
  return end;
}

BmpStream::Room BmpStream::Grown(const Room& from, std::size_t keep, std::size_t size) {
  Room room{std::unique_ptr<std::uint8_t[]>(new std::uint8_t[size]), size};
  if (keep > 0) std::memcpy(room.data(), from.data(), keep);
  return room;
}

ReadStatus BmpStream::Fill(std::uint64_t want) {
  while (filled_ < want && stopped_ == ReadStatus::kOk) {
    const std::uint64_t needed = want - filled_;
    if (filled_ == buffer_.size) {
      // At most doubling, so the room never runs far ahead of the bytes that
      // came, however large a header says the picture is.
      const std::size_t most = std::max(filled_, kReadBytes);
      const std::size_t grow =
          static_cast<std::size_t>(std::clamp<std::uint64_t>(needed, kReadBytes, most));
      if (filled_ > std::numeric_limits<std::size_t>::max() - grow) throw std::bad_alloc();
      buffer_ = Grown(buffer_, filled_, filled_ + grow);
    }
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(
        buffer_.size - filled_, std::max<std::uint64_t>(needed, kReadBytes)));
    const ReadResult got = read_(std::span<std::uint8_t>(buffer_.data() + filled_, room));
    if (got.status != ReadStatus::kOk || got.bytes == 0) {
      stopped_ = got.status == ReadStatus::kOk ? ReadStatus::kEnd : got.status;
      break;
    }
    const std::size_t bytes = std::min(got.bytes, room);
    filled_ += bytes;
    consumed_ += bytes;
  }
  return filled_ >= want ? ReadStatus::kOk : stopped_;
}

BmpStream::Next BmpStream::Read() {
  // What a read brought beyond the last picture starts the next, in the
  // other buffer: the last picture's stays as it is until the next call.
  if (length_ > 0) {
    const std::size_t rest = filled_ - length_;
    if (spare_.size < rest) spare_ = Grown(spare_, 0, rest);
    if (rest > 0) std::memcpy(spare_.data(), buffer_.data() + length_, rest);
    std::swap(buffer_, spare_);
    filled_ = rest;
    offset_ += length_;
    length_ = 0;
  }
  const auto stopped = [this] {
    return stopped_ == ReadStatus::kFailed        ? Next::kFailed
           : stopped_ == ReadStatus::kInterrupted ? Next::kInterrupted
                                                  : Next::kCut;
  };
  if (Fill(2) != ReadStatus::kOk) {
    if (stopped_ != ReadStatus::kEnd) return stopped();
    if (filled_ == 0) return Next::kEnd;
    if (buffer_.data()[0] != 'B') return Next::kNotBmp;
    length_ = filled_;
    return Next::kCut;
  }
  if (buffer_.data()[0] != 'B' || buffer_.data()[1] != 'M') return Next::kNotBmp;
  std::uint64_t want = 0;
  for (std::size_t head = 2; want < head;) {
    want = head;
    if (Fill(want) != ReadStatus::kOk) break;
    head = BmpHeadBytes(std::span<const std::uint8_t>(buffer_.data(), filled_));
  }
  if (filled_ >= want) want = BmpExtent(std::span<const std::uint8_t>(buffer_.data(), filled_));
  if (Fill(want) != ReadStatus::kOk) {
    if (stopped_ != ReadStatus::kEnd) return stopped();
    length_ = filled_;
    return Next::kCut;
  }
  length_ = static_cast<std::size_t>(want);
  return Next::kPicture;
}

BmpStream::Next BmpStream::SkipRest() {
  offset_ += filled_;
  filled_ = 0;
  length_ = 0;
  if (buffer_.size < kReadBytes) buffer_ = Grown(buffer_, 0, kReadBytes);
  while (stopped_ == ReadStatus::kOk) {
    const ReadResult got = read_(std::span<std::uint8_t>(buffer_.data(), buffer_.size));
    if (got.status != ReadStatus::kOk || got.bytes == 0) {
      stopped_ = got.status == ReadStatus::kOk ? ReadStatus::kEnd : got.status;
    } else {
      consumed_ += std::min(got.bytes, buffer_.size);
    }
  }
  offset_ = consumed_;
  return stopped_ == ReadStatus::kFailed        ? Next::kFailed
         : stopped_ == ReadStatus::kInterrupted ? Next::kInterrupted
                                                : Next::kEnd;
}

StreamAhead::StreamAhead(BmpStream& stream, std::function<void()> stop)
    : stream_(stream), stop_(std::move(stop)), thread_([this] { Work(); }) {}

StreamAhead::~StreamAhead() {
  if (pending_) {
    if (stop_) stop_();
    Wait();
  }
  Start(Ask::kQuit);
  thread_.join();
}

void StreamAhead::Work() {
  for (;;) {
    Ask ask;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return ask_ != Ask::kNothing; });
      ask = ask_;
      ask_ = Ask::kNothing;
    }
    if (ask == Ask::kQuit) return;
    Piece piece;
    piece.next = ask == Ask::kRead ? stream_.Read() : stream_.SkipRest();
    if (piece.next == BmpStream::Next::kPicture || piece.next == BmpStream::Next::kCut) {
      piece.bytes = stream_.picture();
    }
    piece.offset = stream_.offset();
    piece.consumed = stream_.consumed();
    std::lock_guard<std::mutex> lock(mutex_);
    piece_ = piece;
    ready_ = true;
    changed_.notify_all();
  }
}

StreamAhead::Piece StreamAhead::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return ready_; });
  ready_ = false;
  pending_ = false;
  return piece_;
}

void StreamAhead::Start(Ask ask) {
  std::lock_guard<std::mutex> lock(mutex_);
  ask_ = ask;
  pending_ = ask != Ask::kQuit;
  changed_.notify_all();
}

StreamAhead::Piece StreamAhead::Next() {
  if (!pending_) Start(Ask::kRead);
  const Piece piece = Wait();
  if (piece.next == BmpStream::Next::kPicture) Start(Ask::kRead);
  return piece;
}

BmpStream::Next StreamAhead::SkipRest() {
  if (pending_) Wait();
  Start(Ask::kSkip);
  return Wait().next;
}

}  // namespace stillreel::tool
