// The Writer's one hook for tests; the Writer itself is declared in the
// public header.
#ifndef STILLREEL_CONVERT_WRITER_H_
#define STILLREEL_CONVERT_WRITER_H_

#include <cstdint>

namespace stillreel {

// For tests: AVI 2.0 files of the Writers opened afterwards are cut into
// RIFFs of at most `bytes` (0: the usual kOpenDmlRiffBytes), so that small
// pictures give several RIFFs.
void UseWriterRiffBytes(std::uint64_t bytes);

}  // namespace stillreel

#endif  // STILLREEL_CONVERT_WRITER_H_
