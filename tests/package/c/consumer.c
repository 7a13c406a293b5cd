/* A C program built against an installed stillreel through pkg-config. It
 * checks the version macros of stillreel/version.h against WANT_VERSION (the
 * project version, given with -DWANT_VERSION="x.y.z"). In the folder given as
 * its argument it writes two 2 x 2 pictures and a frame list, converts them
 * with two frames per picture and checks the file's sizes and every frame's
 * pixels. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <stillreel/version.h>
#include <stillreel/vod2eri.h>

#ifndef WANT_VERSION
#error "build with -DWANT_VERSION=\"x.y.z\", the project version"
#endif
#if STILLREEL_VERSION != \
    STILLREEL_VERSION_MAJOR * 10000 + STILLREEL_VERSION_MINOR * 100 + STILLREEL_VERSION_PATCH
#error "STILLREEL_VERSION is not major * 10000 + minor * 100 + patch"
#endif

static int failures;

#define CHECK_EQ(have, want, what)                                                              \
  do {                                                                                          \
    long have_ = (long)(have), want_ = (long)(want);                                            \
    if (have_ != want_) {                                                                       \
      ++failures;                                                                               \
      fprintf(stderr, "consumer.c:%d: %s: have %ld, want %ld\n", __LINE__, what, have_, want_); \
    }                                                                                           \
  } while (0)

static void CheckString(const char* have, const char* want, const char* what) {
  if (strcmp(have, want) != 0) {
    ++failures;
    fprintf(stderr, "consumer.c: %s: have \"%s\", want \"%s\"\n", what, have, want);
  }
}

static void PutLe32(unsigned char* p, unsigned long value) {
  p[0] = (unsigned char)value;
  p[1] = (unsigned char)(value >> 8);
  p[2] = (unsigned char)(value >> 16);
  p[3] = (unsigned char)(value >> 24);
}

static unsigned long Le32(const unsigned char* p) {
  return (unsigned long)p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 |
         (unsigned long)p[3] << 24;
}

/* A 2 x 2 24-bit BMP of one colour: 54 header bytes, two rows of 8 bytes. */
static int WritePicture(const char* name, unsigned char blue, unsigned char green,
                        unsigned char red) {
  unsigned char bmp[70] = {'B', 'M'};
  FILE* file;
  int ok, i;
  PutLe32(bmp + 2, sizeof bmp);
  PutLe32(bmp + 10, 54);
  PutLe32(bmp + 14, 40);
  PutLe32(bmp + 18, 2);
  PutLe32(bmp + 22, 2);
  bmp[26] = 1;
  bmp[28] = 24;
  PutLe32(bmp + 34, 16);
  for (i = 0; i < 2; ++i) {
    unsigned char* row = bmp + 54 + 8 * i;
    row[0] = row[3] = blue;
    row[1] = row[4] = green;
    row[2] = row[5] = red;
  }
  file = fopen(name, "wb");
  if (file == NULL) return 0;
  ok = fwrite(bmp, 1, sizeof bmp, file) == sizeof bmp;
  return fclose(file) == 0 && ok;
}

/* Frame `frame` of the file: two rows of two pixels of one colour, 2 zero bytes each. */
static void CheckFrame(const unsigned char* avi, int frame, int blue, int green, int red) {
  const unsigned char* chunk = avi + 224 + frame * (8 + 16);
  const unsigned char want[8] = {(unsigned char)blue,
                                 (unsigned char)green,
                                 (unsigned char)red,
                                 (unsigned char)blue,
                                 (unsigned char)green,
                                 (unsigned char)red,
                                 0,
                                 0};
  int row, i;
  CHECK_EQ(memcmp(chunk, "00db", 4), 0, "frame chunk tag");
  CHECK_EQ(Le32(chunk + 4), 16, "frame chunk size");
  for (row = 0; row < 2; ++row) {
    for (i = 0; i < 8; ++i) {
      char what[64];
      snprintf(what, sizeof what, "frame %d row %d byte %d", frame, row, i);
      CHECK_EQ(chunk[8 + 8 * row + i], want[i], what);
    }
  }
}

int main(int argc, char** argv) {
  static unsigned char avi[1024];
  char version[32];
  size_t size;
  FILE* file;

  CheckString(STILLREEL_VERSION_STRING, WANT_VERSION, "STILLREEL_VERSION_STRING");
  snprintf(version, sizeof version, "%d.%d.%d", STILLREEL_VERSION_MAJOR, STILLREEL_VERSION_MINOR,
           STILLREEL_VERSION_PATCH);
  CheckString(version, WANT_VERSION, "STILLREEL_VERSION_MAJOR.MINOR.PATCH");

  if (argc != 2 || chdir(argv[1]) != 0) {
    fprintf(stderr, "usage: consumer FOLDER (an existing folder)\n");
    return 2;
  }
  file = fopen("frames.txt", "wb");
  if (file == NULL || fputs("first.bmp\nsecond.bmp\n", file) < 0 || fclose(file) != 0 ||
      !WritePicture("first.bmp", 200, 100, 40) || !WritePicture("second.bmp", 0, 50, 250)) {
    perror("writing the pictures");
    return 2;
  }

  CHECK_EQ(VOD2ERI(L"clip.avi", L"frames.txt", 0, 2), VOD2ERI_BAD_ARGUMENT, "rate 0");
  CHECK_EQ(VOD2ERI(L"clip.avi", L"no-such-list.txt", 2500, 2), VOD2ERI_LIST_UNREADABLE,
           "missing list");
  CHECK_EQ(VOD2ERI(L"clip.avi", L"frames.txt", 2500, 2), VOD2ERI_OK, "conversion");

  file = fopen("clip.avi", "rb");
  if (file == NULL) {
    fprintf(stderr, "consumer.c: clip.avi was not written\n");
    return 1;
  }
  size = fread(avi, 1, sizeof avi, file);
  fclose(file);
  /* 2 pictures at N = 2: 3 frames of 16 bytes, 50 frames per second. */
  CHECK_EQ(size, 352, "file length");
  CHECK_EQ(memcmp(avi, "RIFF", 4), 0, "RIFF tag");
  CHECK_EQ(Le32(avi + 4), 344, "RIFF size");
  CHECK_EQ(memcmp(avi + 8, "AVI ", 4), 0, "AVI tag");
  CHECK_EQ(Le32(avi + 32), 20000, "microseconds per frame");
  CHECK_EQ(Le32(avi + 48), 3, "total frames");
  CHECK_EQ(Le32(avi + 64), 2, "width");
  CHECK_EQ(Le32(avi + 68), 2, "height");
  if (size == 352) {
    CheckFrame(avi, 0, 200, 100, 40);
    CheckFrame(avi, 1, 100, 75, 145); /* halfway between the two */
    CheckFrame(avi, 2, 0, 50, 250);
    CHECK_EQ(memcmp(avi + 296, "idx1", 4), 0, "index tag");
    CHECK_EQ(Le32(avi + 300), 48, "index size");
  }
  if (failures == 0) printf("consumer.c: clip.avi checked\n");
  return failures == 0 ? 0 : 1;
}
