/* A host program in plain C: writes a 2 x 2 picture and a frame list into the
 * scratch folder given as its argument, calls VOD2ERI and the C API with
 * options, and checks the files, the callbacks and the results. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <wchar.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#define mkdir(path, mode) _mkdir(path)
#else
#include <unistd.h>
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

#include "stillreel/stillreel.h"
#include "stillreel/vod2eri.h"

static int passed;
static int failed;

static void CheckEq(long have, long want, int line, const char* what) {
  if (have == want) {
    ++passed;
  } else {
    ++failed;
    fprintf(stderr, "c_api_test.c:%d: %s: have %ld, want %ld\n", line, what, have, want);
  }
}
/* Each argument is evaluated once: `have` is often the call under test. */
#define CHECK_EQ(have, want, what) CheckEq((long)(have), (long)(want), __LINE__, (what))

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

static long FileSize(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? (long)st.st_size : -1;
}

/* What the callbacks saw; a progress report may raise the cancel flag. */
struct Seen {
  int progressCalls;
  double lastPercent;
  int64_t lastFramesWritten;
  int notices;
  int64_t noticeEntry;
  int32_t noticeIssue;
  int cancelAtProgress; /* raise *cancel at this report, counted from 1; 0 never */
  int32_t* cancel;
};

static void OnProgress(const stillreel_progress* progress, void* data) {
  struct Seen* seen = data;
  ++seen->progressCalls;
  seen->lastPercent = progress->percent;
  seen->lastFramesWritten = progress->frames_written;
  if (seen->progressCalls == seen->cancelAtProgress) *seen->cancel = 1;
}

static void OnPicture(const stillreel_picture_notice* notice, void* data) {
  struct Seen* seen = data;
  ++seen->notices;
  seen->noticeEntry = notice->entry;
  seen->noticeIssue = notice->issue;
}

/* The C API with options: callbacks, summary, cancellation, a descriptor as
 * output, and structs of other versions. */
static void CheckOptions(const char* picture, const char* list, const char* output,
                         const char* refused) {
  const char* names[3];
  struct Seen seen;
  int32_t cancel = 0;
  stillreel_options options;
  stillreel_summary summary;
  unsigned char bigger[sizeof options + 8];
  int fd;

  names[0] = picture;
  names[1] = "no such picture.bmp";
  names[2] = picture;
  memset(&seen, 0, sizeof seen);
  memset(&summary, 0, sizeof summary);
  summary.size = sizeof summary;
  seen.cancel = &cancel;
  stillreel_options_init(&options);
  CHECK_EQ(options.size, sizeof options, "options size");
  CHECK_EQ(options.threads, 1, "default threads");
  options.container = STILLREEL_CONTAINER_AUTO;
  options.reading = STILLREEL_READING_FULL;
  options.threads = 2;
  options.on_progress = OnProgress;
  options.progress_user_data = &seen;
  options.on_picture = OnPicture;
  options.picture_user_data = &seen;
  options.cancel = &cancel;
  options.summary = &summary;
  CHECK_EQ(stillreel_convert(output, names, 3, 2500, 2, &options), STILLREEL_OK, "3 names, N = 2");
  /* Frames: 2 + 2 + 1; the middle picture is missing, so its frame is 1 x 1. */
  CHECK_EQ(summary.frame_count, 5, "summary frames");
  CHECK_EQ(summary.frame_width, 2, "summary width");
  CHECK_EQ(summary.container, STILLREEL_CONTAINER_AVI1, "auto gives AVI 1.0");
  CHECK_EQ(summary.micros_per_frame, 20000, "summary microseconds per frame");
  CHECK_EQ(summary.unreadable_pictures, 1, "summary unreadable pictures");
  CHECK_EQ(summary.file_size, FileSize(output), "summary file size");
  CHECK_EQ(seen.notices, 1, "picture notices");
  CHECK_EQ(seen.noticeEntry, 1, "notice entry");
  CHECK_EQ(seen.noticeIssue, STILLREEL_PICTURE_CANNOT_OPEN, "notice issue");
  CHECK_EQ(seen.lastPercent == 100.0, 1, "last progress is 100%");
  CHECK_EQ(seen.lastFramesWritten, 5, "frames written at the end");

  /* Cancelled at the second report: nothing is left behind. */
  memset(&seen, 0, sizeof seen);
  seen.cancel = &cancel;
  seen.cancelAtProgress = 2;
  CHECK_EQ(stillreel_convert(refused, names, 3, 2500, 2, &options), STILLREEL_CANCELLED,
           "cancelled");
  CHECK_EQ(Exists(refused), 0, "file after cancelling");
  cancel = 0;

  /* The list through a descriptor gives VOD2ERI's bytes. */
  fd = open(refused, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0644);
  CHECK_EQ(stillreel_convert_list_to_fd(fd, list, 2500, 1, NULL), STILLREEL_OK, "list to a fd");
  if (fd >= 0) close(fd);
  CHECK_EQ(FileSize(refused), 272, "file written through a descriptor");
  remove(refused);
  CHECK_EQ(stillreel_convert_list(refused, list, 2500, 1, NULL), STILLREEL_OK, "list, defaults");
  CHECK_EQ(FileSize(refused), 272, "file of the list");
  remove(refused);

  /* Arguments and versions. */
  CHECK_EQ(stillreel_convert(NULL, names, 1, 2500, 1, NULL), STILLREEL_BAD_ARGUMENT, "null output");
  CHECK_EQ(stillreel_convert(refused, names, 0, 2500, 1, NULL), STILLREEL_LIST_UNREADABLE,
           "no names");
  options.summary = NULL;
  options.container = 7;
  CHECK_EQ(stillreel_convert(refused, names, 1, 2500, 1, &options), STILLREEL_BAD_ARGUMENT,
           "container 7");
  /* A program of the first version: its struct ends with the summary
   * pointer, and the later fields take their defaults. */
  stillreel_options_init(&options);
  options.size = (uint32_t)(offsetof(stillreel_options, summary) + sizeof options.summary);
  options.pixels = STILLREEL_PIXELS_GRAY8; /* beyond its size: not read */
  CHECK_EQ(stillreel_convert(refused, names, 1, 2500, 1, &options), STILLREEL_OK,
           "options of the first version");
  CHECK_EQ(FileSize(refused), 272, "a first version's file is 24-bit");
  remove(refused);
  options.size -= 8;
  CHECK_EQ(stillreel_convert(refused, names, 1, 2500, 1, &options), STILLREEL_BAD_ARGUMENT,
           "options of an unknown older size");
  stillreel_options_init(&options);
  options.pixels = 2;
  CHECK_EQ(stillreel_convert(refused, names, 1, 2500, 1, &options), STILLREEL_BAD_ARGUMENT,
           "pixels 2");
  CHECK_EQ(Exists(refused), 0, "file after a bad pixel kind");
  options.size = 0xCDCDCDCDu; /* never set: not read beyond the struct */
  CHECK_EQ(stillreel_convert(refused, names, 1, 2500, 1, &options), STILLREEL_BAD_ARGUMENT,
           "options with a garbage size");
  /* A later program's struct: what this library does not know must be zero. */
  stillreel_options_init(&options);
  options.size = sizeof bigger;
  memset(bigger, 0, sizeof bigger);
  memcpy(bigger, &options, sizeof options);
  CHECK_EQ(stillreel_convert(refused, names, 1, 2500, 1, (const stillreel_options*)bigger),
           STILLREEL_OK, "a longer struct with zeros beyond");
  bigger[sizeof options + 3] = 1;
  CHECK_EQ(stillreel_convert(refused, names, 1, 2500, 1, (const stillreel_options*)bigger),
           STILLREEL_BAD_ARGUMENT, "a longer struct asking for more");
  remove(refused);
  CHECK_EQ(Exists(refused), 0, "no file after refusals");

  CHECK_EQ(strcmp(stillreel_result_string(STILLREEL_CANCELLED), "the conversion was cancelled"), 0,
           "result words");
  CHECK_EQ(strcmp(stillreel_result_string(8), "unknown"), 0, "unknown result");
  CHECK_EQ(strcmp(stillreel_picture_issue_string(99), "unknown"), 0, "unknown issue");
  CHECK_EQ(stillreel_version(), STILLREEL_VERSION, "library version");
}

static int SameFiles(const char* a, const char* b) {
  unsigned char x[4096], y[4096];
  size_t nx = 0, ny = 0;
  FILE* f = fopen(a, "rb");
  FILE* g = fopen(b, "rb");
  if (f != NULL) nx = fread(x, 1, sizeof x, f);
  if (g != NULL) ny = fread(y, 1, sizeof y, g);
  if (f != NULL) fclose(f);
  if (g != NULL) fclose(g);
  return f != NULL && g != NULL && nx == ny && memcmp(x, y, nx) == 0;
}

/* The writer: the picture from memory (its top row first, as a host holds
 * it), then as a BMP in memory, then a BMP that cannot be read, gives the
 * file stillreel_convert writes for the picture, itself and a missing one. */
static void CheckWriter(const char* picture, const char* output, const char* refused) {
  /* Red, green / blue, white, as red, green, blue bytes, rows of 8 bytes. */
  static const unsigned char rgb[16] = {0xFF, 0, 0,    0,    0xFF, 0,    0xEE, 0xEE,
                                        0,    0, 0xFF, 0xFF, 0xFF, 0xFF, 0xEE, 0xEE};
  const char* names[3];
  stillreel_writer* writer = NULL;
  stillreel_writer_setup setup;
  stillreel_picture view;
  stillreel_options options;
  stillreel_summary summary;
  struct Seen seen;
  int round;

  names[0] = picture;
  names[1] = picture;
  names[2] = "no such picture.bmp";
  CHECK_EQ(stillreel_convert(output, names, 3, 2500, 3, NULL), STILLREEL_OK, "the list's file");
  for (round = 0; round < 2; ++round) {
    /* Counted, then not. */
    stillreel_writer_setup_init(&setup);
    CHECK_EQ(setup.picture_count, -1, "no count by default");
    setup.smooth_count = 3;
    if (round == 0) setup.picture_count = 3;
    memset(&seen, 0, sizeof seen);
    stillreel_options_init(&options);
    options.on_picture = OnPicture;
    options.picture_user_data = &seen;
    CHECK_EQ(stillreel_writer_open(&writer, refused, &setup, &options), STILLREEL_OK, "open");
    memset(&view, 0, sizeof view);
    view.size = sizeof view;
    view.layout = STILLREEL_LAYOUT_RGB24;
    view.width = 2;
    view.height = 2;
    view.stride = 8;
    view.pixels = rgb;
    CHECK_EQ(stillreel_writer_append(writer, &view), STILLREEL_OK, "append a view");
    CHECK_EQ(stillreel_writer_append_bmp(writer, kPicture, sizeof kPicture), STILLREEL_OK,
             "append a BMP");
    CHECK_EQ(stillreel_writer_append_bmp(writer, "BX", 2), STILLREEL_OK, "append no BMP");
    CHECK_EQ(seen.notices, 1, "the writer's notices");
    CHECK_EQ(seen.noticeEntry, 2, "the writer's notice entry");
    CHECK_EQ(seen.noticeIssue, STILLREEL_PICTURE_NOT_BMP, "the writer's notice issue");
    memset(&summary, 0, sizeof summary);
    summary.size = sizeof summary;
    CHECK_EQ(stillreel_writer_close(writer, &summary), STILLREEL_OK, "close");
    CHECK_EQ(summary.frame_count, 7, "the writer's frames");
    CHECK_EQ(summary.pictures_appended, 3, "the writer's pictures");
    CHECK_EQ(SameFiles(refused, output), 1, "the writer's file is the list's");
    remove(refused);
  }

  /* One picture beyond the count: refused, and no file. */
  stillreel_writer_setup_init(&setup);
  setup.picture_count = 1;
  CHECK_EQ(stillreel_writer_open(&writer, refused, &setup, NULL), STILLREEL_OK, "open for one");
  CHECK_EQ(stillreel_writer_append(writer, &view), STILLREEL_OK, "the one");
  CHECK_EQ(stillreel_writer_append(writer, &view), STILLREEL_BAD_ARGUMENT, "one too many");
  CHECK_EQ(stillreel_writer_close(writer, &summary), STILLREEL_BAD_ARGUMENT, "close after it");
  CHECK_EQ(summary.picture_count, 1, "the count given");
  CHECK_EQ(summary.pictures_appended, 2, "the pictures appended");
  CHECK_EQ(Exists(refused), 0, "no file after too many");
  /* Aborted: no file. */
  CHECK_EQ(stillreel_writer_open(&writer, refused, NULL, NULL), STILLREEL_OK, "open to abort");
  CHECK_EQ(stillreel_writer_append(writer, &view), STILLREEL_OK, "append to abort");
  stillreel_writer_abort(writer);
  CHECK_EQ(Exists(refused), 0, "no file after an abort");
  /* Malformed pictures and arguments. */
  CHECK_EQ(stillreel_writer_open(&writer, refused, NULL, NULL), STILLREEL_OK, "open again");
  view.stride = 5;
  CHECK_EQ(stillreel_writer_append(writer, &view), STILLREEL_BAD_ARGUMENT, "a short stride");
  view.stride = 8;
  view.layout = 5;
  CHECK_EQ(stillreel_writer_append(writer, &view), STILLREEL_BAD_ARGUMENT, "layout 5");
  view.layout = STILLREEL_LAYOUT_RGB24;
  view.size = 0;
  CHECK_EQ(stillreel_writer_append(writer, &view), STILLREEL_BAD_ARGUMENT, "an unset size");
  CHECK_EQ(stillreel_writer_close(writer, NULL), STILLREEL_BAD_ARGUMENT, "close with none");
  CHECK_EQ(Exists(refused), 0, "no file without pictures");
  setup.frame_rate_x100 = 0;
  CHECK_EQ(stillreel_writer_open(&writer, refused, &setup, NULL), STILLREEL_BAD_ARGUMENT, "rate 0");
  CHECK_EQ(writer == NULL, 1, "no writer after a failed open");
  CHECK_EQ(stillreel_writer_open(&writer, NULL, NULL, NULL), STILLREEL_BAD_ARGUMENT, "no output");
  CHECK_EQ(Exists(refused), 0, "no file after refusals");
}

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

  CheckOptions(picture, list, output, refused);
  CheckWriter(picture, output, refused);

  printf("%d passed, %d failed\n", passed, failed);
  free(picture), free(list), free(output), free(refused), free(missing);
  free(wideList), free(wideOutput), free(wideRefused), free(wideMissing);
  return failed == 0 ? 0 : 1;
}
