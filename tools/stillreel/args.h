// Values of the stillreel command line: the rate as a decimal turned into
// hundredths of a frame per second, counts as plain positive integers. Nothing
// here prints; the caller decides what a refusal means.
#ifndef STILLREEL_TOOLS_STILLREEL_ARGS_H_
#define STILLREEL_TOOLS_STILLREEL_ARGS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace stillreel::tool {

struct Rate {
  std::int32_t x100 = 0;  // frames per second times 100
  bool rounded = false;   // the text had more decimals than hundredths can hold
};

// Reads "15", "29.97", "0.5" or ".5": decimal digits with at most one point,
// no sign, no exponent, no spaces. Digits past the hundredths round to the
// nearest hundredth (half up). Refuses garbage, a rate that comes out as 0,
// and one above what 32 bits of hundredths hold.
bool ParseRate(std::string_view text, Rate& rate);

// Reads a count of at least `least` written as decimal digits, at most 2^31 - 1.
bool ParseCount(std::string_view text, std::int32_t& count, std::int32_t least = 1);

// 2500 -> "25", 1250 -> "12.5", 2997 -> "29.97".
std::string FormatHundredths(std::int64_t x100);

}  // namespace stillreel::tool

#endif  // STILLREEL_TOOLS_STILLREEL_ARGS_H_
