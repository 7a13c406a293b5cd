// Every limit of the conversion, in one place, with the reason for it.
#ifndef STILLREEL_SIZE_LIMITS_H_
#define STILLREEL_SIZE_LIMITS_H_

#include <cstdint>

namespace stillreel {

// The largest RIFF size (file length minus 8) written: AVI 1.0 readers take
// the sizes and index offsets as signed 32-bit values.
inline constexpr std::uint64_t kMaxRiffSize = std::uint64_t{2048} * 1024 * 1024;

// An AVI 2.0 file is cut into RIFFs of at most this size, as AVI 2.0 writers
// have always done: readers map or index a file a RIFF at a time.
inline constexpr std::uint64_t kOpenDmlRiffBytes = std::uint64_t{1} << 30;

// A file written before its frame count is known keeps room in its headers
// for the super index entries of this many RIFFs (16 bytes each, 32 KiB in
// all): about 2 TiB of frames.
inline constexpr std::uint64_t kRoomRiffs = 2048;

// An AVI 2.0 frame's size: a standard index keeps it in 31 bits, its top bit
// marking frames that are not key frames.
inline constexpr std::uint64_t kMaxOpenDmlFrameBytes = 0x7FFFFFFF;

// Frames in one standard index ("ix00"): its chunk size, 24 bytes and 8 a
// frame, is 32-bit.
inline constexpr std::uint64_t kMaxFramesPerStandardIndex = (0xFFFFFFFF - 24) / 8;

// Frames in a file: the stream header's length and the extended header's
// total frames are 32-bit.
inline constexpr std::uint64_t kMaxFrameCount = 0xFFFFFFFF;

// The reader refuses a picture whose 24-bit frame would be larger than this,
// before allocating anything: such a picture could never fit in a file.
inline constexpr std::uint64_t kMaxPictureFrameBytes = std::uint64_t{2048} * 1024 * 1024;

// Threads one conversion uses at most, whatever it asks for: a fade is bound
// by memory long before, and each thread holds a stack.
inline constexpr std::int32_t kMaxThreads = 64;

}  // namespace stillreel

#endif  // STILLREEL_SIZE_LIMITS_H_
