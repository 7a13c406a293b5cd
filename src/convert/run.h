// The run of a conversion: the pictures of a plan (run_settings.h) read in
// list order and written as frames, or only read and reported for a dry run.
// It writes through the caller's AviWriter and ByteWriter and owns neither.
#ifndef STILLREEL_CONVERT_RUN_H_
#define STILLREEL_CONVERT_RUN_H_

#include <cstdint>

#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "convert/run_settings.h"
#include "stillreel/stillreel.hpp"

namespace stillreel {

// Writes the file the plan describes through `out`: headers, frames, index.
// Adds the pictures that could not be read to `unreadable` as it meets them.
Result WriteVideo(const RunSettings& settings, AviWriter& avi, ByteWriter& out,
                  const Options& options, std::int64_t& unreadable);

// Reads every picture's headers and reports as WriteVideo would, writing
// nothing; `grey` tells whether every picture is grey (then its pixels are
// read too, until one shows a colour).
Result CheckPictures(const RunSettings& settings, const Options& options, std::int64_t& unreadable,
                     bool& grey);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_RUN_H_
