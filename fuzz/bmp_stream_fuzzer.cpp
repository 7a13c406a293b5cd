// The splitter of the tool's standard input on arbitrary bytes: pictures
// joined, cut, with broken headers and huge declared sizes. The input is
// split four times: handed over whole, in pieces of every size, in pieces
// by StreamAhead's thread, and stopped by an interrupt part-way. Every picture is a run of the
// input's own bytes, each starting where the last ended; a whole picture is as long as its headers
// say and a cut one only ends the input; pieces split exactly as the whole does; and the buffer
// never holds much more than twice the bytes that came of the largest picture, whatever its headers
// declare.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "bmp_stream.h"
#include "fuzz_support.h"

namespace {

using stillreel::tool::BmpStream;
using stillreel::tool::ReadResult;
using stillreel::tool::ReadStatus;

constexpr std::size_t kReadBytes = 64 * 1024;

struct Event {
  BmpStream::Next next;
  std::uint64_t offset;
  std::size_t length;
  bool operator==(const Event&) const = default;
};

const char* Name(BmpStream::Next next) {
  switch (next) {
    case BmpStream::Next::kPicture:
      return "picture";
    case BmpStream::Next::kCut:
      return "cut";
    case BmpStream::Next::kNotBmp:
      return "not a BMP";
    case BmpStream::Next::kEnd:
      return "end";
    case BmpStream::Next::kFailed:
      return "failed";
    default:
      return "interrupted";
  }
}

// Hands out `bytes` in pieces whose sizes come from `seed` (0: as much as
// asked), then `stop` once `limit` bytes are out.
struct Source {
  std::span<const std::uint8_t> bytes;
  std::size_t limit;
  ReadStatus stop;
  std::uint32_t seed;
  std::size_t at = 0;

  FUZZ_NO_COVERAGE ReadResult operator()(std::span<std::uint8_t> room) {
    FUZZ_CHECK(!room.empty(), "a read of no bytes at input byte " << at);
    if (at >= limit) return {stop, 0};
    std::size_t piece = std::min(room.size(), limit - at);
    if (seed != 0) {
      seed = seed * 1103515245u + 12345u;
      const std::uint32_t r = seed >> 8;
      piece = std::min<std::size_t>(piece, r % 4 == 0 ? r % 7 + 1 : r % 3000 + 1);
    }
    std::memcpy(room.data(), bytes.data() + at, piece);
    at += piece;
    return {ReadStatus::kOk, piece};
  }
};

FUZZ_NO_COVERAGE std::vector<Event> Split(std::span<const std::uint8_t> bytes, std::size_t limit,
                                          ReadStatus stop, std::uint32_t seed) {
  BmpStream stream(Source{bytes, limit, stop, seed});
  std::vector<Event> events;
  std::uint64_t next = 0;
  std::size_t largest = 0;
  for (;;) {
    const BmpStream::Next got = stream.Read();
    const std::span<const std::uint8_t> picture = stream.picture();
    const bool held = got == BmpStream::Next::kPicture || got == BmpStream::Next::kCut;
    const Event event{got, stream.offset(), held ? picture.size() : 0};
    events.push_back(event);
    FUZZ_CHECK(event.offset == next,
               Name(got) << " at byte " << event.offset << ", the last picture ended at " << next);
    if (held) {
      FUZZ_CHECK(event.offset + picture.size() <= limit,
                 Name(got) << " at byte " << event.offset << " of " << picture.size()
                           << " bytes runs past the " << limit << " read");
      FUZZ_CHECK(std::memcmp(picture.data(), bytes.data() + event.offset, picture.size()) == 0,
                 Name(got) << " at byte " << event.offset << ": not the input's bytes");
    }
    // What arrived of this picture, whole or not, and any read beyond it.
    largest = std::max(largest, static_cast<std::size_t>(stream.consumed() - stream.offset()));
    // Two buffers, each at most doubling what it holds.
    const std::size_t bound = 2 * std::max(2 * kReadBytes, 2 * (largest + kReadBytes));
    FUZZ_CHECK(stream.capacity() <= bound,
               "buffer of " << stream.capacity() << " bytes, the largest picture " << largest);
    if (got == BmpStream::Next::kPicture) {
      FUZZ_CHECK(picture.size() >= 18 && picture[0] == 'B' && picture[1] == 'M',
                 "picture at byte " << event.offset << " of " << picture.size() << " bytes");
      FUZZ_CHECK(picture.size() >= stillreel::tool::BmpHeadBytes(picture) &&
                     stillreel::tool::BmpExtent(picture) == picture.size() &&
                     picture.size() >= stillreel::fuzz::Le(picture, 2, 4),
                 "picture at byte " << event.offset << ": " << picture.size()
                                    << " bytes, its headers give "
                                    << stillreel::tool::BmpExtent(picture));
      next += picture.size();
      continue;
    }
    if (got == BmpStream::Next::kCut) {
      FUZZ_CHECK(event.offset + picture.size() == limit && limit == stream.consumed(),
                 "cut picture at byte " << event.offset << " of " << picture.size()
                                        << " bytes does not end the input of " << limit);
      if (picture.size() >= stillreel::tool::BmpHeadBytes(picture)) {
        FUZZ_CHECK(stillreel::tool::BmpExtent(picture) > picture.size(),
                   "cut picture at byte " << event.offset << " is whole");
      }
      const BmpStream::Next after = stream.Read();
      FUZZ_CHECK(after != BmpStream::Next::kPicture && after != BmpStream::Next::kCut,
                 "a " << Name(after) << " after the cut");
      break;
    }
    if (got == BmpStream::Next::kNotBmp) {
      const std::size_t at = static_cast<std::size_t>(event.offset);
      FUZZ_CHECK(at < limit && (bytes[at] != 'B' || (at + 1 < limit && bytes[at + 1] != 'M')),
                 "not a BMP at byte " << at << ", which starts one");
      const BmpStream::Next rest = stream.SkipRest();
      FUZZ_CHECK(rest == (stop == ReadStatus::kEnd ? BmpStream::Next::kEnd
                                                   : BmpStream::Next::kInterrupted),
                 "skipping the rest gave " << Name(rest));
      FUZZ_CHECK(stream.consumed() == limit,
                 "skipped up to byte " << stream.consumed() << " of " << limit);
      break;
    }
    if (got == BmpStream::Next::kEnd) {
      FUZZ_CHECK(event.offset == limit, "end at byte " << event.offset << " of " << limit);
    }
    break;
  }
  return events;
}

// The same through StreamAhead, its thread reading the next picture while
// this one is compared with the input.
FUZZ_NO_COVERAGE std::vector<Event> SplitAhead(std::span<const std::uint8_t> bytes,
                                               std::uint32_t seed) {
  BmpStream stream(Source{bytes, bytes.size(), ReadStatus::kEnd, seed});
  std::vector<Event> events;
  {
    stillreel::tool::StreamAhead ahead(stream, nullptr);
    for (;;) {
      const stillreel::tool::StreamAhead::Piece piece = ahead.Next();
      const bool held =
          piece.next == BmpStream::Next::kPicture || piece.next == BmpStream::Next::kCut;
      events.push_back(Event{piece.next, piece.offset, held ? piece.bytes.size() : 0});
      if (held) {
        FUZZ_CHECK(
            std::memcmp(piece.bytes.data(), bytes.data() + piece.offset, piece.bytes.size()) == 0,
            "ahead: " << Name(piece.next) << " at byte " << piece.offset
                      << ": not the input's bytes while the next is read");
      }
      if (piece.next == BmpStream::Next::kPicture) continue;
      if (piece.next == BmpStream::Next::kNotBmp) {
        FUZZ_CHECK(ahead.SkipRest() == BmpStream::Next::kEnd, "ahead: skipping failed");
      }
      break;
    }
  }
  FUZZ_CHECK(stream.consumed() == bytes.size(),
             "ahead: read " << stream.consumed() << " of " << bytes.size() << " bytes");
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  std::uint32_t hash = 2166136261u;
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 64); ++i)
    hash = (hash ^ data[i]) * 16777619u;
  hash ^= static_cast<std::uint32_t>(size);

  const std::vector<Event> whole = Split(bytes, size, ReadStatus::kEnd, 0);
  const std::vector<Event> pieces = Split(bytes, size, ReadStatus::kEnd, hash | 1);
  FUZZ_CHECK(pieces == whole, "in pieces " << pieces.size() << " events, whole " << whole.size()
                                           << "; the last in pieces: " << Name(pieces.back().next)
                                           << " at byte " << pieces.back().offset);

  const std::vector<Event> ahead = SplitAhead(bytes, hash | 1);
  FUZZ_CHECK(ahead == whole, "read ahead " << ahead.size() << " events, whole " << whole.size());

  // Interrupted at `stop`: the pictures that had come are the same, then
  // the interrupt (or the bytes that are no BMP, when they had come).
  const std::size_t stop = size == 0 ? 0 : hash % (size + 1);
  const std::vector<Event> cut = Split(bytes, stop, ReadStatus::kInterrupted, hash | 1);
  std::size_t same = 0;
  while (same < whole.size() && whole[same].next == BmpStream::Next::kPicture &&
         whole[same].offset + whole[same].length <= stop)
    ++same;
  FUZZ_CHECK(cut.size() == same + 1 && std::equal(cut.begin(), cut.begin() + same, whole.begin()),
             "stopped at byte " << stop << ": " << cut.size() << " events, want " << same
                                << " pictures and the stop");
  const BmpStream::Next last = cut.back().next;
  FUZZ_CHECK(last == BmpStream::Next::kInterrupted ||
                 (last == BmpStream::Next::kNotBmp && whole[same] == cut.back()),
             "stopped at byte " << stop << ": the last event is " << Name(last));
  return 0;
}
