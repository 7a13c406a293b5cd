// Plain words for every outcome of a conversion and of a picture read.

#include "stillreel/stillreel.hpp"

namespace stillreel {

const char* ToString(Result result) noexcept {
  switch (result) {
    case Result::kOk:
      return "the AVI file was written";
    case Result::kTooLarge:
      return "the AVI file would be too large for its kind: an AVI 1.0 file holds at most "
             "2048 MiB, an AVI 2.0 file frames of at most 2 GiB and at most 4294967295 of them";
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
      return "ends inside its headers: the file is incomplete";
    case PictureIssue::kRunLengthEncoded:
      return "is run-length encoded, which classic reading does not read; full reading reads "
             "it";
    case PictureIssue::kUnsupportedCompression:
      return "uses a compression that is not supported; save it as an uncompressed BMP";
    case PictureIssue::kBitFieldsNot16:
      return "uses bit fields with a bit count other than 16; programs write 32-bit bit fields "
             "for pictures with transparency, and full reading reads them";
    case PictureIssue::kUnsupportedBitCount:
      return "has a bit count other than 1, 4, 8, 16, 24 and 32 (full reading also reads 2); "
             "save it as a 24-bit BMP";
    case PictureIssue::kTopDown:
      return "stores its rows top-down (negative height), which classic reading does not read; "
             "full reading reads it";
    case PictureIssue::kBadSize:
      return "has a width or height of 0 or less: the file is damaged";
    case PictureIssue::kTooLarge:
      return "is too large: its frame would exceed 2048 MiB";
    case PictureIssue::kOutOfMemory:
      return "does not fit in memory";
    case PictureIssue::kSizeDiffers:
      return "differs in size from the first picture";
    case PictureIssue::kOs2CoreHeader:
      return "has an OS/2 1.x header, which classic reading does not read; full reading reads "
             "it, or save the picture again as a Windows BMP";
    case PictureIssue::kUnknownHeaderSize:
      return "has an info header of a size no BMP version uses; the file may be damaged: save "
             "the picture again as a BMP";
    case PictureIssue::kEmbeddedJpeg:
      return "holds a JPEG picture inside the BMP, which is not supported; save it as an "
             "uncompressed BMP";
    case PictureIssue::kEmbeddedPng:
      return "holds a PNG picture inside the BMP, which is not supported; save it as an "
             "uncompressed BMP";
    case PictureIssue::kHuffman:
      return "is compressed with OS/2 Huffman coding, which is not supported; save it as an "
             "uncompressed BMP";
    case PictureIssue::kRle24:
      return "is compressed with OS/2 24-bit run-length coding (RLE24), which is not "
             "supported; save it as an uncompressed BMP";
    case PictureIssue::kMasksNotContiguous:
      return "has a colour mask whose bits are not side by side, which viewers do not agree "
             "on; save it again as a 24-bit BMP";
    case PictureIssue::kSixtyFourBits:
      return "has 64 bits a pixel, which is not supported; save it as a 24- or 32-bit BMP";
    case PictureIssue::kRunLengthBitCount:
      return "is run-length encoded with a bit count its compression does not allow (RLE8 "
             "needs 8 bits a pixel, RLE4 needs 4); the file may be damaged: save it again";
    case PictureIssue::kBitFieldsBitCount:
      return "uses bit fields with a bit count other than 16 and 32; the file may be damaged: "
             "save it again as a 24-bit BMP";
    case PictureIssue::kTopDownRunLength:
      return "is run-length encoded with its rows stored top-down, which BMP does not allow; "
             "save it again uncompressed";
  }
  return "unknown issue";
}

}  // namespace stillreel
