// OutputFile: where the AVI goes. A regular file (or a new name) is written to
// a temporary file beside its target and put in its place only by Commit, so
// a failed or abandoned conversion leaves the old file as it was. Where the
// system has files without a name (Linux), the temporary file is one until
// Commit, so that not even a killed process or a power cut leaves debris;
// elsewhere it is a named ".stillreel-*.tmp" that Abandon removes (on Windows
// marked for deletion until Commit, so that a killed process leaves none
// either). Anything else (a FIFO, a terminal, /dev/null or NUL, /dev/stdout
// on a pipe) is written directly, as is a File the caller lends.
#ifndef STILLREEL_PLATFORM_OUTPUT_FILE_H_
#define STILLREEL_PLATFORM_OUTPUT_FILE_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/file.h"
#include "stillreel/stillreel.hpp"

namespace stillreel::platform {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // abandons a file that was not committed

  // Returns kOk, or kCannotCreateOutput when the output cannot be written.
  Result Open(const std::filesystem::path& target);
  // Writes to the caller's open file, which Commit and Abandon leave open.
  void Lend(File file);
  File file() const { return file_; }
  // Sets aside room for `bytes` on the disk ahead of writing them, which
  // spares the file system finding room for every write. Only a temporary
  // file is given room (it is removed if the conversion fails), the file's
  // length is not changed, and where it cannot be done nothing happens.
  void Reserve(std::uint64_t bytes);
  // Closes the file and moves it into place. Returns kOk or kWriteFailed.
  Result Commit();
  // Closes and removes a temporary file; the target stays as it was.
  void Abandon();

 private:
  File file_;
  File unnamed_;       // the unnamed file again, kept open to give it a name
  bool owned_ = true;  // file_ is closed by this object
  // In the system's own characters: bytes, or UTF-16 on Windows.
  std::filesystem::path::string_type target_;     // the file finally replaced (a link's target)
  std::filesystem::path::string_type temporary_;  // a named temporary file; empty when none
};

// For tests: true makes every OutputFile opened afterwards use a named
// temporary file, as where the system has no unnamed ones.
void UseNamedTemporaryFiles(bool named);

}  // namespace stillreel::platform

#endif  // STILLREEL_PLATFORM_OUTPUT_FILE_H_
