// platform: every call the library makes to the operating system, behind one
// interface with one implementation per system (posix/, win/). A File is a plain handle that the
// caller closes; nothing here allocates, throws or keeps state, and every call that a signal can
// interrupt is retried.
#ifndef STILLREEL_PLATFORM_FILE_H_
#define STILLREEL_PLATFORM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace stillreel::platform {

// A descriptor or a system handle, wide enough for either.
struct File {
  static constexpr std::intptr_t kInvalid = -1;
  std::intptr_t value = kInvalid;

  bool valid() const { return value != kInvalid; }
};

// The caller's descriptor of the C runtime, as ConvertToFd is given it; not
// owned. A negative one gives an invalid File. On Windows it is one of the C
// runtime the library is linked with, and its handle is what is written.
File FromDescriptor(int descriptor);

// A name given as bytes (a picture's name) as the system's path: the bytes
// unchanged where paths are bytes; on Windows UTF-8 when the bytes are valid
// UTF-8, else the ANSI code page, turned into UTF-16.
std::filesystem::path PathOf(std::string_view name);

enum class Accept {
  kRegularFile,   // anything else is refused by its type, without blocking
  kAnyButFolder,  // FIFOs and devices too: opening a FIFO waits for its writer
};

enum class Opened { kOk, kCannotOpen, kNotAFile };

// Opens `name` to read. A regular file is read mostly in order, and the
// system is told so where it takes such advice. A name holding a NUL cannot
// be opened. `file` is set only on kOk.
Opened OpenForReading(const std::filesystem::path& name, Accept accept, File& file);

// Reads at most n bytes from where the file stands. Returns how many, 0 at
// its end, or -1 on an error.
std::ptrdiff_t Read(File file, void* buffer, std::size_t n);

// Reads at most n bytes at `offset`, leaving where the file stands alone.
// Returns how many, 0 at or beyond its end, or -1 on an error (an offset the
// system cannot seek to among them).
std::ptrdiff_t ReadAt(File file, void* buffer, std::size_t n, std::uint64_t offset);

// Writes all n bytes. Returns 0, or the errno value of the failure (EIO for a
// write that took nothing).
int WriteAll(File file, const void* data, std::size_t n);

// Where the file stands, in bytes from its start, or -1 when it cannot seek
// (a pipe, a terminal, a socket).
std::int64_t Tell(File file);

// Moves to `offset` from the file's start. Returns whether it could.
bool Seek(File file, std::uint64_t offset);

// Closes a File that was opened here; its errors are of no concern to readers.
void Close(File file);

}  // namespace stillreel::platform

#endif  // STILLREEL_PLATFORM_FILE_H_
