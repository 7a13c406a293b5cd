// Micro-benchmarks of the hot loops, one 1920 x 1080 picture or frame per
// iteration: decoding a BMP of each bit depth from memory (into an Image, and
// straight into frame rows, in classic and in full reading, and each layout
// only full reading reads), writing one frame chunk, making a picture grey,
// and one cross-faded frame. Pictures are built here, filled from a
// fixed-seed generator so that no two rows are alike.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include <benchmark/benchmark.h>

#include "avi/avi_layout.h"
#include "avi/avi_writer.h"
#include "avi/byte_writer.h"
#include "fade/cross_fade.h"
#include "image/bmp_reader.h"
#include "image/image.h"
#include "simd/simd.h"

namespace stillreel {
namespace {

constexpr std::int32_t kWidth = 1920;
constexpr std::int32_t kHeight = 1080;

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// A bottom-up BMP with a 40-byte info header and no compression (16 bits is
// then 5-5-5); palette pictures get a full table of 2^bits colours.
std::vector<std::uint8_t> BuildBmp(std::int32_t width, std::int32_t height, int bits) {
  std::mt19937 rng(12345u + static_cast<unsigned>(bits));
  const std::uint32_t tableEntries = bits <= 8 ? 1u << bits : 0u;
  const std::uint64_t rowBytes = ((static_cast<std::uint64_t>(width) * bits + 31) / 32) * 4;
  const std::uint32_t offset = 14 + 40 + 4 * tableEntries;
  const std::uint64_t dataBytes = rowBytes * static_cast<std::uint64_t>(height);
  std::vector<std::uint8_t> out;
  out.reserve(offset + dataBytes);
  out.push_back('B');
  out.push_back('M');
  PutLe32(out, static_cast<std::uint32_t>(offset + dataBytes));
  PutLe32(out, 0);
  PutLe32(out, offset);
  PutLe32(out, 40);
  PutLe32(out, static_cast<std::uint32_t>(width));
  PutLe32(out, static_cast<std::uint32_t>(height));
  PutLe16(out, 1);
  PutLe16(out, static_cast<std::uint16_t>(bits));
  PutLe32(out, 0);
  PutLe32(out, static_cast<std::uint32_t>(dataBytes));
  PutLe32(out, 2835);
  PutLe32(out, 2835);
  PutLe32(out, tableEntries);
  PutLe32(out, 0);
  for (std::uint32_t i = 0; i < tableEntries; ++i)
    PutLe32(out, rng() & 0x00FFFFFFu);
  for (std::uint64_t i = 0; i < dataBytes; ++i)
    out.push_back(static_cast<std::uint8_t>(rng()));
  return out;
}

// A frame-sized picture of noise, its row padding zero.
Image NoisyImage(std::int32_t width, std::int32_t height, unsigned seed) {
  Image image = CreateImage();
  if (!Resize(image, width, height)) return image;
  std::mt19937 rng(seed);
  for (std::int32_t r = 0; r < height; ++r) {
    std::uint8_t* row = Row(image, r);
    for (std::size_t i = 0; i < 3 * static_cast<std::size_t>(width); ++i)
      row[i] = static_cast<std::uint8_t>(rng());
  }
  return image;
}

// One whole 1080p picture decoded from memory into a reused Image: the
// conversion's path for a picture held for a fade.
void BM_ReadBmp(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  const std::vector<std::uint8_t> file = BuildBmp(kWidth, kHeight, bits);
  Image image = CreateImage();
  PictureIssue why{};
  if (!ReadBmp(image, std::span<const std::uint8_t>(file), &why) || image.width != kWidth ||
      image.height != kHeight) {
    state.SkipWithError("the benchmark picture was refused");
    return;
  }
  for (auto _ : state) {
    bool ok = ReadBmp(image, std::span<const std::uint8_t>(file), &why);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(image.bytes.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(file.size()));
  state.SetItemsProcessed(state.iterations() * std::int64_t{kWidth} * kHeight);
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kHeight,
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadBmp)
    ->ArgName("bits")
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Arg(16)
    ->Arg(24)
    ->Arg(32)
    ->Unit(benchmark::kMillisecond);

// The rows of one 1080p picture decoded from memory into a reused buffer of
// frame rows: the conversion's path when no frame is blended.
void ReadRowsOf(benchmark::State& state, const std::vector<std::uint8_t>& file, Reading reading) {
  const auto stride = static_cast<std::size_t>(RowBytes(24, kWidth));
  std::vector<std::uint8_t> rows(stride * kHeight);
  for (auto _ : state) {
    BmpFile bmp(reading);
    if (!bmp.Open(std::span<const std::uint8_t>(file)) || !bmp.Prepare()) {
      state.SkipWithError("the benchmark picture was refused");
      break;
    }
    bmp.ReadRows(rows.data(), stride, kWidth, kHeight);
    benchmark::DoNotOptimize(rows.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(file.size()));
  state.SetItemsProcessed(state.iterations() * std::int64_t{kWidth} * kHeight);
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kHeight,
                                                benchmark::Counter::kIsRate);
}

void BM_ReadRows(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  ReadRowsOf(state, BuildBmp(kWidth, kHeight, bits), Reading::kClassic);
}
BENCHMARK(BM_ReadRows)
    ->ArgName("bits")
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Arg(16)
    ->Arg(24)
    ->Arg(32)
    ->Unit(benchmark::kMillisecond);

// The rows of one 1080p picture of each classic layout, in full reading:
// what BM_ReadRows measures in classic reading.
void BM_ReadRowsFull(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  const std::vector<std::uint8_t> file = BuildBmp(kWidth, kHeight, bits);
  ReadRowsOf(state, file, Reading::kFull);
}
BENCHMARK(BM_ReadRowsFull)
    ->ArgName("bits")
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Arg(16)
    ->Arg(24)
    ->Arg(32)
    ->Unit(benchmark::kMillisecond);

// The layouts only full reading reads, one 1080p picture each.
enum class Layout {
  kPalette2,       // 2 bits a pixel
  kRle8,           // runs of 1 to 30 pixels, half of one index, half absolute
  kRle4,           // the same at 4 bits
  kFields565,      // 16-bit 5-6-5 bit fields after a 40-byte header
  kFieldsAlpha,    // 32-bit bit fields, alpha mask, whole bytes not in BGRA order (V5)
  kFields1010102,  // 32-bit bit fields, 10-10-10-2 (V5)
  kArgb,           // 32-bit bit fields, alpha mask, channels in byte order (V5)
  kTopDown24,      // 24-bit rows stored top-down
  kOs2Palette8,    // 8-bit after a 12-byte OS/2 1.x header
};

// Appends the codes of one run-length encoded row of random runs.
void PutRleRow(std::vector<std::uint8_t>& out, std::mt19937& rng, int bits) {
  for (std::int32_t x = 0; x < kWidth;) {
    const std::int32_t left = kWidth - x;
    const auto index = [&]() { return static_cast<std::uint8_t>(rng() % (bits == 8 ? 256 : 16)); };
    if (rng() % 2 && left >= 3) {
      const std::int32_t n =
          std::min<std::int32_t>(left, 3 + static_cast<std::int32_t>(rng() % 28));
      out.push_back(0);
      out.push_back(static_cast<std::uint8_t>(n));
      const std::int32_t bytes = bits == 8 ? n : (n + 1) / 2;
      for (std::int32_t i = 0; i < bytes; ++i)
        out.push_back(bits == 8 ? index() : static_cast<std::uint8_t>(index() << 4 | index()));
      if (bytes % 2) out.push_back(0);
      x += n;
    } else {
      const std::int32_t n =
          std::min<std::int32_t>(left, 1 + static_cast<std::int32_t>(rng() % 30));
      out.push_back(static_cast<std::uint8_t>(n));
      out.push_back(bits == 8 ? index() : static_cast<std::uint8_t>(index() << 4 | index()));
      x += n;
    }
  }
  out.push_back(0);  // end of line
  out.push_back(0);
}

std::vector<std::uint8_t> BuildLayout(Layout layout) {
  std::mt19937 rng(777u + static_cast<unsigned>(layout));
  int bits = 8;
  std::uint32_t compression = 0, headerSize = 40;
  std::int32_t height = kHeight;
  std::vector<std::uint32_t> masks;  // inside a V5 header, or after a 40-byte one
  switch (layout) {
    case Layout::kPalette2:
      bits = 2;
      break;
    case Layout::kRle8:
      compression = 1;
      break;
    case Layout::kRle4:
      bits = 4, compression = 2;
      break;
    case Layout::kFields565:
      bits = 16, compression = 3, masks = {0xF800, 0x07E0, 0x001F};
      break;
    case Layout::kFieldsAlpha:
      bits = 32, compression = 3, headerSize = 124;
      masks = {0xFF000000, 0x000000FF, 0x0000FF00, 0x00FF0000};
      break;
    case Layout::kFields1010102:
      bits = 32, compression = 3, headerSize = 124;
      masks = {0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000};
      break;
    case Layout::kArgb:
      bits = 32, compression = 3, headerSize = 124;
      masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
      break;
    case Layout::kTopDown24:
      bits = 24, height = -kHeight;
      break;
    case Layout::kOs2Palette8:
      headerSize = 12;
      break;
  }
  const std::uint32_t entries = bits <= 8 ? 1u << bits : 0u;
  const std::uint32_t entryBytes = headerSize == 12 ? 3 : 4;
  std::vector<std::uint8_t> data;
  if (compression == 1 || compression == 2) {
    for (std::int32_t r = 0; r < kHeight; ++r)
      PutRleRow(data, rng, bits);
    data.push_back(0);  // end of picture
    data.push_back(1);
  } else {
    data.resize(RowBytes(bits, kWidth) * kHeight);
    for (std::uint8_t& b : data)
      b = static_cast<std::uint8_t>(rng());
  }
  const std::uint32_t after = headerSize == 40 ? 4 * static_cast<std::uint32_t>(masks.size()) : 0;
  const std::uint32_t offset = 14 + headerSize + after + entryBytes * entries;
  std::vector<std::uint8_t> out = {'B', 'M'};
  PutLe32(out, offset + static_cast<std::uint32_t>(data.size()));
  PutLe32(out, 0);
  PutLe32(out, offset);
  PutLe32(out, headerSize);
  if (headerSize == 12) {
    PutLe16(out, static_cast<std::uint16_t>(kWidth));
    PutLe16(out, static_cast<std::uint16_t>(height));
    PutLe16(out, 1);
    PutLe16(out, static_cast<std::uint16_t>(bits));
  } else {
    PutLe32(out, static_cast<std::uint32_t>(kWidth));
    PutLe32(out, static_cast<std::uint32_t>(height));
    PutLe16(out, 1);
    PutLe16(out, static_cast<std::uint16_t>(bits));
    for (std::uint32_t field :
         {compression, static_cast<std::uint32_t>(data.size()), 2835u, 2835u, entries, 0u})
      PutLe32(out, field);
    for (std::uint32_t mask : masks)
      PutLe32(out, mask);
    out.resize(14 + headerSize + after);
  }
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint32_t colour = rng() & 0x00FFFFFFu;
    for (std::uint32_t b = 0; b < entryBytes; ++b)
      out.push_back(static_cast<std::uint8_t>(colour >> (8 * b)));
  }
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

void BM_ReadRowsLayout(benchmark::State& state, Layout layout) {
  ReadRowsOf(state, BuildLayout(layout), Reading::kFull);
}
BENCHMARK_CAPTURE(BM_ReadRowsLayout, palette2, Layout::kPalette2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRowsLayout, rle8, Layout::kRle8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRowsLayout, rle4, Layout::kRle4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRowsLayout, fields565, Layout::kFields565)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRowsLayout, fields32_alpha, Layout::kFieldsAlpha)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRowsLayout, fields32_1010102, Layout::kFields1010102)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRowsLayout, argb32, Layout::kArgb)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRowsLayout, top_down24, Layout::kTopDown24)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadRowsLayout, os2_palette8, Layout::kOs2Palette8)
    ->Unit(benchmark::kMillisecond);

// One "00db" chunk of a frame-sized 1080p picture into a writer on
// /dev/null. Its bytes are the frame, so the writer hands them to write()
// without a copy: this measures little more than the system call.
void BM_WriteFrame(benchmark::State& state) {
  const Image image = NoisyImage(kWidth, kHeight, 1);
  const AviLayout layout = LayoutAvi(kWidth, kHeight, 1, 40000);
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0 || image.width != kWidth) {
    state.SkipWithError("no picture or /dev/null");
    if (fd >= 0) close(fd);
    return;
  }
  {
    ByteWriter out(platform::FromDescriptor(fd));
    AviWriter avi(layout, out);
    for (auto _ : state) {
      avi.WriteFrame(image.bytes.get());
    }
    out.Flush();
    if (!out.ok()) state.SkipWithError("writing to /dev/null failed");
  }
  close(fd);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(layout.frameSize + 8));
}
BENCHMARK(BM_WriteFrame)->Unit(benchmark::kMillisecond);

// The pictures of a fade benchmark: noise, or two equal pictures (a still
// scene, where every blend lands on a whole number), in separate memory.
struct FadePictures {
  Image a = CreateImage();
  Image b = CreateImage();
};
FadePictures MakeFadePictures(bool still) {
  FadePictures p;
  p.a = NoisyImage(kWidth, kHeight, 2);
  p.b = NoisyImage(kWidth, kHeight, still ? 2 : 3);
  return p;
}

// Steps 1 to n - 1 of a fade, prepared beforehand as the conversion does.
std::vector<std::unique_ptr<BlendStep>> MakeSteps(std::int32_t n) {
  std::vector<std::unique_ptr<BlendStep>> steps;
  for (std::int32_t l = 1; l < n; ++l) {
    steps.push_back(std::make_unique<BlendStep>());
    SetBlendStep(*steps.back(), l, n);
  }
  return steps;
}

// One 1080p frame per iteration, its rows made by fill(rows, first, count,
// iteration) a block at a time into a writer's buffer, as the conversion
// writes in-between frames, to /dev/null.
template <class Fill>
void WriteFrames(benchmark::State& state, const FadePictures& p, Fill&& fill) {
  const AviLayout layout = LayoutAvi(kWidth, kHeight, 1, 40000);
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0 || p.a.width != kWidth || p.b.width != kWidth) {
    state.SkipWithError("no pictures or /dev/null");
    if (fd >= 0) close(fd);
    return;
  }
  {
    ByteWriter out(platform::FromDescriptor(fd));
    AviWriter avi(layout, out);
    std::size_t i = 0;
    for (auto _ : state) {
      avi.WriteFrameRows([&](std::uint8_t* rows, std::int64_t first, std::int64_t count) {
        fill(rows, first, count, i);
      });
      ++i;
    }
    out.Flush();
  }
  close(fd);
  state.SetBytesProcessed(state.iterations() * std::int64_t{kWidth} * kHeight * 3);
  state.SetItemsProcessed(state.iterations() * std::int64_t{kWidth} * kHeight);
}

// One colour 1080p picture's rows made grey into frame rows, at each
// instruction-set level of the processor (the argument is the level's place
// in the family, best first; the label names it).
void BM_GreyRows(benchmark::State& state) {
  const auto family = SimdFamily();
  const auto index = static_cast<std::size_t>(state.range(0));
  const SimdLevel inUse = SimdInUse();
  if (index >= family.size() || LimitSimd(family[index]) != family[index]) {
    LimitSimd(inUse);
    state.SkipWithError("this processor lacks the level");
    return;
  }
  state.SetLabel(ToString(family[index]));
  const Image image = NoisyImage(kWidth, kHeight, 5);
  const auto stride = static_cast<std::size_t>(RowBytes(8, kWidth));
  std::vector<std::uint8_t> grey(stride * kHeight);
  for (auto _ : state) {
    for (std::int32_t r = 0; r < kHeight; ++r)
      GreyRow(Row(image, r), kWidth, grey.data() + static_cast<std::size_t>(r) * stride);
    benchmark::DoNotOptimize(grey.data());
    benchmark::ClobberMemory();
  }
  LimitSimd(inUse);
  state.SetBytesProcessed(state.iterations() * std::int64_t{kWidth} * kHeight * 3);
  state.SetItemsProcessed(state.iterations() * std::int64_t{kWidth} * kHeight);
}
BENCHMARK(BM_GreyRows)
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (std::size_t i = 0; i < SimdFamily().size(); ++i)
        b->Arg(static_cast<std::int64_t>(i));
    })
    ->Unit(benchmark::kMillisecond);

// One in-between frame of a fade of n frames between two 1080p pictures;
// the iterations go round the steps 1 to n - 1.
void BM_CrossFade(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const FadePictures p = MakeFadePictures(state.range(1) != 0);
  const auto steps = MakeSteps(n);
  WriteFrames(
      state, p, [&](std::uint8_t* rows, std::int64_t first, std::int64_t count, std::size_t i) {
        CrossFade(p.a, p.b, *steps[i % steps.size()], first, count, kWidth, rows, p.a.stride);
      });
}
BENCHMARK(BM_CrossFade)
    ->ArgNames({"n", "still"})
    ->ArgsProduct({benchmark::CreateDenseRange(2, 16, 1), {0}})
    ->Args({3, 1})
    ->Args({4, 1})
    ->Unit(benchmark::kMillisecond);

// The blend of whole frames in memory, the steps prepared beforehand; the
// iterations go round the steps 1 to n - 1.
void BM_BlendBytes(benchmark::State& state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const FadePictures p = MakeFadePictures(state.range(1) != 0);
  Image c = NoisyImage(kWidth, kHeight, 4);
  const auto steps = MakeSteps(n);
  if (p.a.width != kWidth || p.b.width != kWidth || c.width != kWidth) {
    state.SkipWithError("the pictures could not be allocated");
    return;
  }
  const std::size_t size = p.a.stride * kHeight;
  std::size_t l = 0;
  for (auto _ : state) {
    BlendBytes(p.a.bytes.get(), p.b.bytes.get(), size, *steps[l], c.bytes.get());
    l = l + 1 == steps.size() ? 0 : l + 1;
    benchmark::DoNotOptimize(c.bytes.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t{kWidth} * kHeight * 3);
  state.SetItemsProcessed(state.iterations() * std::int64_t{kWidth} * kHeight);
}
BENCHMARK(BM_BlendBytes)
    ->ArgNames({"n", "still"})
    ->ArgsProduct({benchmark::CreateDenseRange(2, 16, 1), {0, 1}})
    ->Unit(benchmark::kMillisecond);

// out[i] = a[i] | b[i], vectorized by the compiler with 32-byte registers
// where the CPU has them.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx2")))
#endif
void OrBytes(const std::uint8_t* __restrict a, const std::uint8_t* __restrict b,
             std::uint8_t* __restrict out, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    out[i] = a[i] | b[i];
}

// The memory-bandwidth floor of an in-between frame: what BM_CrossFade does
// with plain vector code in place of the blend, two pictures read and one
// frame written into the writer's buffer. A blend cannot be faster.
void BM_FadeFloor(benchmark::State& state) {
  const FadePictures p = MakeFadePictures(false);
  WriteFrames(state, p,
              [&](std::uint8_t* rows, std::int64_t first, std::int64_t count, std::size_t) {
                OrBytes(Row(p.a, first), Row(p.b, first), rows,
                        static_cast<std::size_t>(count) * p.a.stride);
              });
}
BENCHMARK(BM_FadeFloor)->Unit(benchmark::kMillisecond);

// Preparing one step of a fade for the kernel in use, done once per step.
void BM_SetBlendStep(benchmark::State& state) {
  auto step = std::make_unique<BlendStep>();
  std::int32_t l = 1;
  for (auto _ : state) {
    SetBlendStep(*step, l, 7);
    benchmark::DoNotOptimize(step->tables.get());
    benchmark::ClobberMemory();
    l = l % 6 + 1;
  }
}
BENCHMARK(BM_SetBlendStep)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace stillreel

BENCHMARK_MAIN();
