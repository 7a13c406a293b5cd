// Splits a stream of whole BMP files, one after another as `cat *.bmp` or a
// renderer writes them, into pictures. Only the headers are looked at, for
// each picture's extent; reading its pixels is the library's job. Pictures
// are read into two buffers in turn, so that one is handed out while the
// next is read (StreamAhead reads it on a thread of its own); each grows only
// as bytes arrive: a header declaring gigabytes costs nothing until they
// come, and each stays within twice the largest picture plus one read.
#ifndef STILLREEL_TOOLS_STILLREEL_BMP_STREAM_H_
#define STILLREEL_TOOLS_STILLREEL_BMP_STREAM_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "platform.h"

namespace stillreel::tool {

// Fills the start of the room given with the next bytes of the input.
using ReadSome = std::function<ReadResult(std::span<std::uint8_t> room)>;

// Bytes from the start of a BMP that BmpExtent needs; `head` holds what has
// arrived of it (at least two bytes, "BM"). Grows once: the first 18 bytes
// give the info header's size, which says how many more to wait for.
std::size_t BmpHeadBytes(std::span<const std::uint8_t> head);

// The length of the BMP that `head` (at least BmpHeadBytes of it) starts:
// its file size field when that covers its headers, colour table, pixels and
// profile, else the last of these. The pixels of uncompressed rows and bit
// fields come from width, height and bit count, those of run-length, JPEG,
// PNG and other compressions from the image size field. Saturates at the
// largest value rather than wrapping.
std::uint64_t BmpExtent(std::span<const std::uint8_t> head);

class BmpStream {
 public:
  enum class Next {
    kPicture,      // picture() is one whole BMP
    kCut,          // the input ended inside a BMP; picture() is what came of it
    kNotBmp,       // bytes that do not start with "BM" stand where a BMP should begin
    kEnd,          // the input ended between two pictures
    kFailed,       // reading failed
    kInterrupted,  // the read was interrupted (Ctrl-C)
  };

  explicit BmpStream(ReadSome read) : read_(std::move(read)) {}

  // Reads the next picture. After anything but kPicture the stream stays
  // where it stopped: another call gives kEnd, kFailed or kInterrupted.
  Next Read();

  // Reads and drops the rest of the input, in pieces no larger than one
  // read, so that whoever writes it is not cut off. Returns kEnd, kFailed or
  // kInterrupted.
  Next SkipRest();

  // The bytes of the picture Read() returned: valid until the call after
  // the next (SkipRest aside), so that one can be read during the other's use.
  std::span<const std::uint8_t> picture() const { return {buffer_.data(), length_}; }
  // Where that picture, or the bytes that are no BMP, start in the input.
  std::uint64_t offset() const { return offset_; }
  // Bytes of the input read so far.
  std::uint64_t consumed() const { return consumed_; }
  // Room held by the buffers, for checks that memory follows the input.
  std::size_t capacity() const { return buffer_.size + spare_.size; }

 private:
  // Makes filled_ reach `want` bytes, or as far as the input goes.
  ReadStatus Fill(std::uint64_t want);

  ReadSome read_;
  // Room left unwritten until bytes arrive: a picture's bytes are written
  // once, by the read that brings them.
  struct Room {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
    std::uint8_t* data() const { return bytes.get(); }
  };
  // Room of `size` bytes holding the first `keep` of `from`.
  static Room Grown(const Room& from, std::size_t keep, std::size_t size);

  // buffer_[0, filled_) holds the input from offset_ on; only its size,
  // never its length, follows the input.
  Room buffer_;
  Room spare_;  // the last picture handed out but one
  std::size_t filled_ = 0;
  std::size_t length_ = 0;  // of the picture handed out, counted from the buffer's start
  std::uint64_t offset_ = 0;
  std::uint64_t consumed_ = 0;
  ReadStatus stopped_ = ReadStatus::kOk;  // why the input ended, once it has
};

// A BmpStream read one picture ahead on a thread of its own, so that waiting
// for the input and copying it overlap with converting the picture before.
// Next gives what BmpStream::Read gives, in the same order; after a picture
// it starts reading the one after. Only the thread reads the input, so an
// interrupt that must wake a waiting read wakes that thread's.
class StreamAhead {
 public:
  struct Piece {
    BmpStream::Next next = BmpStream::Next::kEnd;
    std::span<const std::uint8_t> bytes;  // kPicture, kCut: valid until the next call
    std::uint64_t offset = 0;             // as BmpStream::offset()
    std::uint64_t consumed = 0;           // as BmpStream::consumed()
  };

  // Starts reading the first picture. `stop` makes a read that waits end
  // (kInterrupted) when the caller stops before the input does.
  StreamAhead(BmpStream& stream, std::function<void()> stop);
  ~StreamAhead();
  StreamAhead(const StreamAhead&) = delete;
  StreamAhead& operator=(const StreamAhead&) = delete;

  Piece Next();
  // As BmpStream::SkipRest, once the read under way, if any, has ended.
  BmpStream::Next SkipRest();

 private:
  enum class Ask { kNothing, kRead, kSkip, kQuit };
  void Work();
  Piece Wait();
  void Start(Ask ask);

  BmpStream& stream_;
  std::function<void()> stop_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Ask ask_ = Ask::kRead;
  bool pending_ = true;  // asked, and its piece not taken yet
  bool ready_ = false;   // piece_ holds the answer
  Piece piece_;
  std::thread thread_;
};

}  // namespace stillreel::tool

#endif  // STILLREEL_TOOLS_STILLREEL_BMP_STREAM_H_
