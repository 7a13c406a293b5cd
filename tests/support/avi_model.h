// Reference models of what a conversion writes, made the plain way, for
// tests and fuzz targets to hold the product against: pictures as colours
// top row first, the blend in double precision, every frame placed at the
// bottom-left corner, and the whole AVI file byte by byte. No gtest here.
#ifndef STILLREEL_TESTS_SUPPORT_AVI_MODEL_H_
#define STILLREEL_TESTS_SUPPORT_AVI_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"
#include "support/bmp_builder.h"

namespace stillreel::test {

// A picture as the tests see it: row-major, row 0 on top. Alpha is ignored.
struct Picture {
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::vector<Rgba> pixels{Rgba{255, 255, 255, 0}};

  // Clamped, as the cross-fade samples its next picture.
  Rgba At(std::int64_t x, std::int64_t y) const;
};

// What a picture that cannot be read becomes.
Picture White();

// The picture an Image holds.
Picture PictureOf(const Image& image);

// Step l of n from a towards b: a's size, b sampled at the clamped position,
// each channel the truncation of a x (1 - l / n) + b x (l / n).
Picture Blend(const Picture& a, const Picture& b, int l, int n);

// The frames of a file: N per picture but the last, blended towards the next.
std::vector<Picture> FramesOf(const std::vector<Picture>& pictures, int n);

// A picture as a frame of width x height stores it: bottom row first, rows
// padded to 4 bytes; the picture sits at the bottom-left corner, cut at the
// frame's edges, and what it does not cover is zero.
std::vector<std::uint8_t> StoredFrame(const Picture& picture, std::int32_t width,
                                      std::int32_t height);

// The same frame as ffmpeg hands out bgr24: top row first, no padding.
std::vector<std::uint8_t> Bgr24Frame(const Picture& picture, std::int32_t width,
                                     std::int32_t height);

// The whole AVI file holding `frames` in a width x height geometry.
struct AviModel {
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint64_t frameCount = 0;
  std::uint64_t frameSize = 0;
  std::vector<std::uint8_t> bytes;
  // AVI 2.0: where each RIFF starts, and the frames in each.
  std::vector<std::uint64_t> riffStarts;
  std::vector<std::uint64_t> riffFrames;
};
AviModel ModelAvi(std::int32_t width, std::int32_t height, std::uint32_t micros,
                  const std::vector<Picture>& frames);

// The frames in each RIFF of an AVI 2.0 file of `frames` frames of
// frameSize bytes, in RIFFs of at most riffBytes.
std::vector<std::uint64_t> ModelRiffFrames(std::uint64_t frameSize, std::uint64_t frames,
                                           std::uint64_t riffBytes);

// The length of that file.
std::uint64_t ModelOpenDmlSize(std::uint64_t frameSize, std::uint64_t frames,
                               std::uint64_t riffBytes);

// The same as an AVI 2.0 file cut into RIFFs of at most riffBytes (or one
// frame each, when a frame alone is larger), written as its RIFFs are read:
// one chunk after the other.
AviModel ModelOpenDml(std::int32_t width, std::int32_t height, std::uint32_t micros,
                      const std::vector<Picture>& frames, std::uint64_t riffBytes);

// Where byte `at` of a modelled file lies, in the file's own terms.
std::string Locate(const AviModel& model, std::size_t at);

// "" when `have` is the modelled file, else where and how it first differs.
std::string Difference(const std::vector<std::uint8_t>& have, const AviModel& want);

// Reading files back.
std::uint32_t Le32At(const std::vector<std::uint8_t>& bytes, std::size_t at);
// "" when a file agrees with itself: its length, chunk tags and index
// entries against the frame count and size in its headers.
std::string Incoherence(const std::vector<std::uint8_t>& file);
// Frame k's pixel data in a file whose frames hold s bytes each; empty when
// the file ends before it.
std::vector<std::uint8_t> FrameData(const std::vector<std::uint8_t>& file, std::uint64_t k,
                                    std::uint64_t s);

}  // namespace stillreel::test

#endif  // STILLREEL_TESTS_SUPPORT_AVI_MODEL_H_
