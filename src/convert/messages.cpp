// Plain words for every outcome of a conversion and of a picture read.

#include "stillreel/stillreel.hpp"

namespace stillreel {

const char* ToString(Result result) noexcept {
  switch (result) {
    case Result::kOk:
      return "the AVI file was written";
    case Result::kTooLarge:
      return "the AVI file would be larger than 2048 MiB";
    case Result::kCannotCreateOutput:
      return "the output file cannot be created";
    case Result::kListUnreadable:
      return "the frame list cannot be read or names no pictures";
    case Result::kBadArgument:
      return "an argument is out of range";
    case Result::kWriteFailed:
      return "writing the output file failed";
    case Result::kOutOfMemory:
      return "out of memory";
    case Result::kCancelled:
      return "the conversion was cancelled";
  }
  return "unknown result";
}

const char* ToString(PictureIssue issue) noexcept {
  switch (issue) {
    case PictureIssue::kCannotOpen:
      return "cannot be opened";
    case PictureIssue::kNotAFile:
      return "is not a regular file";
    case PictureIssue::kNotBmp:
      return "is not a BMP file (it does not start with \"BM\")";
    case PictureIssue::kShortHeader:
      return "ends inside its headers";
    case PictureIssue::kRunLengthEncoded:
      return "is run-length encoded, which is not supported";
    case PictureIssue::kUnsupportedCompression:
      return "uses a compression that is not supported";
    case PictureIssue::kBitFieldsNot16:
      return "uses bit fields with a bit count other than 16";
    case PictureIssue::kUnsupportedBitCount:
      return "has a bit count other than 1, 4, 8, 16, 24 and 32";
    case PictureIssue::kTopDown:
      return "stores its rows top-down (negative height), which is not supported";
    case PictureIssue::kBadSize:
      return "has a width or height of 0 or less";
    case PictureIssue::kTooLarge:
      return "is too large: its frame would exceed 2048 MiB";
    case PictureIssue::kOutOfMemory:
      return "does not fit in memory";
    case PictureIssue::kSizeDiffers:
      return "differs in size from the first picture";
    case PictureIssue::kOs2CoreHeader:
      return "has an OS/2 1.x header, which classic reading does not read; full reading reads "
             "it, or save the picture again as a Windows BMP";
  }
  return "unknown issue";
}

}  // namespace stillreel
