// OutputFile: where the AVI goes. A regular file (or a new name) is written to
// a temporary file beside its target and renamed over it only by Commit, so a
// failed or abandoned conversion leaves the old file as it was and no debris.
// Anything else (a FIFO, a terminal, /dev/null, /dev/stdout on a pipe) is
// written directly, as is a descriptor the caller lends.
#ifndef STILLREEL_PLATFORM_OUTPUT_FILE_H_
#define STILLREEL_PLATFORM_OUTPUT_FILE_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include "stillreel/stillreel.hpp"

namespace stillreel {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // abandons a file that was not committed

  // Returns kOk, or kCannotCreateOutput when the output cannot be written.
  Result Open(const std::filesystem::path& target);
  // Writes to the caller's open descriptor, which Commit and Abandon leave open.
  void Lend(int fd);
  int fd() const { return fd_; }
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
  int fd_ = -1;
  bool owned_ = true;      // fd_ is closed by this object
  std::string target_;     // the file finally replaced (a symbolic link's target)
  std::string temporary_;  // empty when writing the target directly
};

}  // namespace stillreel

#endif  // STILLREEL_PLATFORM_OUTPUT_FILE_H_
