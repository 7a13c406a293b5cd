/* A host program in plain C: writes a 2 x 2 picture and a frame list into the
 * scratch folder given as its argument, calls VOD2ERI and checks the file. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <wchar.h>

#include "stillreel/vod2eri.h"

static int passed;
static int failed;

static void Check(int ok, int line, const char* what, long have, long want) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    fprintf(stderr, "c_api_test.c:%d: %s: have %ld, want %ld\n", line, what, have, want);
  }
}
#define CHECK_EQ(have, want, what) \
  Check((long)(have) == (long)(want), __LINE__, (what), (long)(have), (long)(want))

/* The wide string of an ASCII path, one character per byte; NULL when the
 * path holds other bytes. */
static wchar_t* Widen(const char* text) {
  size_t n = strlen(text);
  wchar_t* wide = malloc((n + 1) * sizeof *wide);
  size_t i;
  if (wide == NULL) return NULL;
  for (i = 0; i < n; ++i) {
    unsigned char c = (unsigned char)text[i];
    if (c >= 0x80) {
      free(wide);
      return NULL;
    }
    wide[i] = (wchar_t)c;
  }
  wide[n] = 0;
  return wide;
}

static char* Join(const char* folder, const char* name) {
  char* path = malloc(strlen(folder) + strlen(name) + 2);
  if (path != NULL) sprintf(path, "%s/%s", folder, name);
  return path;
}

static int WriteBytes(const char* path, const void* bytes, size_t size) {
  FILE* file = fopen(path, "wb");
  int ok;
  if (file == NULL) return 0;
  ok = fwrite(bytes, 1, size, file) == size;
  return fclose(file) == 0 && ok;
}

static unsigned long Le32(const unsigned char* p) {
  return (unsigned long)p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 |
         (unsigned long)p[3] << 24;
}

static int Exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

/* 2 x 2, 24-bit: rows bottom-up, each padded to 8 bytes. Top row red, green;
 * bottom row blue, white. */
static const unsigned char kPicture[70] = {
    'B',  'M',  70,   0,    0,    0,    0, 0, 0,    0,    54, 0, 0,    0, /* file header */
    40,   0,    0,    0,    2,    0,    0, 0, 2,    0,    0,  0, 1,    0,
    24,   0, /* size, w, h, planes, bits */
    0,    0,    0,    0,    16,   0,    0, 0, 0x13, 0x0B, 0,  0, 0x13, 0x0B,
    0,    0,                                   /* compression ... */
    0,    0,    0,    0,    0,    0,    0, 0,  /* colours */
    0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0, 0,  /* bottom: blue, white */
    0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0, 0}; /* top: red, green */

int main(int argc, char** argv) {
  char *picture, *list, *output, *refused, *missing;
  wchar_t *wideList, *wideOutput, *wideRefused, *wideMissing;
  char listText[4096];
  unsigned char file[400];
  size_t length = 0;
  FILE* in;

  if (argc != 2) {
    fprintf(stderr, "usage: c_api_test SCRATCH-FOLDER\n");
    return 2;
  }
  if (mkdir(argv[1], 0777) != 0 && errno != EEXIST) {
    perror(argv[1]);
    return 2;
  }
  picture = Join(argv[1], "picture.bmp");
  list = Join(argv[1], "list.txt");
  output = Join(argv[1], "out.avi");
  refused = Join(argv[1], "refused.avi");
  missing = Join(argv[1], "missing.txt");
  if (!picture || !list || !output || !refused || !missing) return 2;
  wideList = Widen(list);
  wideOutput = Widen(output);
  wideRefused = Widen(refused);
  wideMissing = Widen(missing);
  if (!wideList || !wideOutput || !wideRefused || !wideMissing) {
    fprintf(stderr, "the scratch folder %s must be an ASCII path\n", argv[1]);
    return 2;
  }
  remove(output);
  remove(refused);
  remove(missing);
  if (strlen(picture) + 2 > sizeof listText) return 2;
  sprintf(listText, "%s\n", picture);
  if (!WriteBytes(picture, kPicture, sizeof kPicture) ||
      !WriteBytes(list, listText, strlen(listText))) {
    perror("writing the inputs");
    return 2;
  }

  CHECK_EQ(VOD2ERI(wideOutput, wideList, 2500, 1), VOD2ERI_OK, "result");
  in = fopen(output, "rb");
  if (in != NULL) {
    length = fread(file, 1, sizeof file, in);
    fclose(in);
  }
  CHECK_EQ(length, 272, "file length");
  if (length == 272) {
    CHECK_EQ(memcmp(file, "RIFF", 4), 0, "\"RIFF\" at 0");
    CHECK_EQ(Le32(file + 4), 264, "RIFF size at 4");
    CHECK_EQ(memcmp(file + 8, "AVI ", 4), 0, "\"AVI \" at 8");
    CHECK_EQ(Le32(file + 32), 40000, "microseconds per frame at 32");
    CHECK_EQ(Le32(file + 48), 1, "total frames at 48");
    CHECK_EQ(Le32(file + 64), 2, "width at 64");
    CHECK_EQ(Le32(file + 68), 2, "height at 68");
    CHECK_EQ(memcmp(file + 108, "vids", 4), 0, "\"vids\" at 108");
    CHECK_EQ(file[186], 24, "bit count at 186");
    CHECK_EQ(memcmp(file + 224, "00db", 4), 0, "\"00db\" at 224");
    CHECK_EQ(Le32(file + 228), 16, "frame size at 228");
    /* Both files store rows bottom-up with the same padding. */
    CHECK_EQ(memcmp(file + 232, kPicture + 54, 16), 0, "frame pixels at 232");
    CHECK_EQ(memcmp(file + 248, "idx1", 4), 0, "\"idx1\" at 248");
    CHECK_EQ(Le32(file + 264), 4, "index offset at 264");
  }

  CHECK_EQ(VOD2ERI(wideRefused, wideList, 0, 1), VOD2ERI_BAD_ARGUMENT, "frame rate 0");
  CHECK_EQ(Exists(refused), 0, "file after frame rate 0");
  CHECK_EQ(VOD2ERI(wideRefused, wideList, 2500, -1), VOD2ERI_BAD_ARGUMENT, "smoothing -1");
  CHECK_EQ(VOD2ERI(NULL, wideList, 2500, 1), VOD2ERI_BAD_ARGUMENT, "null output path");
  CHECK_EQ(VOD2ERI(wideRefused, wideMissing, 2500, 1), VOD2ERI_LIST_UNREADABLE, "missing list");
  CHECK_EQ(Exists(refused), 0, "file after a missing list");

  printf("%d passed, %d failed\n", passed, failed);
  free(picture), free(list), free(output), free(refused), free(missing);
  free(wideList), free(wideOutput), free(wideRefused), free(wideMissing);
  return failed == 0 ? 0 : 1;
}
