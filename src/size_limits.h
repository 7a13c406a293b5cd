// Every limit of the conversion, in one place, with the reason for it.
#ifndef STILLREEL_SIZE_LIMITS_H_
#define STILLREEL_SIZE_LIMITS_H_

#include <cstdint>

namespace stillreel {

// The largest RIFF size (file length minus 8) written: AVI 1.0 readers take
// the sizes and index offsets as signed 32-bit values.
inline constexpr std::uint64_t kMaxRiffSize = std::uint64_t{2048} * 1024 * 1024;

// The reader refuses a picture whose 24-bit frame would be larger than this,
// before allocating anything: such a picture could never fit in a file.
inline constexpr std::uint64_t kMaxPictureFrameBytes = std::uint64_t{2048} * 1024 * 1024;

}  // namespace stillreel

#endif  // STILLREEL_SIZE_LIMITS_H_
