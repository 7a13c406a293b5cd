/* The C API of stillreel with options: the conversion VOD2ERI does, with the
 * choices of the C++ API (container, reading, pixels, threads, a dry run), progress
 * and picture notices through callbacks, and cancellation.
 *
 *   stillreel_options options;
 *   stillreel_options_init(&options);
 *   options.container = STILLREEL_CONTAINER_AUTO;
 *   options.reading = STILLREEL_READING_FULL;
 *   result = stillreel_convert_list("clip.avi", "frames.txt", 2500, 1, &options);
 *
 * Paths and names are bytes (UTF-8 on most systems), used unchanged. Every
 * call runs on the caller's thread and starts no threads unless
 * options.threads asks for them; the callbacks are only ever called on the
 * caller's thread. The calls may run at the same time when they write
 * different files. The library prints nothing.
 *
 * Growth: stillreel_options and stillreel_summary begin with their own size.
 * A program built against these headers sets it to sizeof (the init functions
 * do); a later library reads and writes only that many bytes, so a program
 * keeps working with newer libraries, and a newer program with an older
 * library as long as it leaves the fields that library lacks at zero. A size
 * beyond 4096 bytes is refused as never set. */
#ifndef STILLREEL_STILLREEL_H_
#define STILLREEL_STILLREEL_H_

#include <stddef.h>
#include <stdint.h>

#include "stillreel/export.h"
#include "stillreel/version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results: VOD2ERI's values, and STILLREEL_CANCELLED. */
enum {
  STILLREEL_OK = 999,                 /* the AVI file was written and closed */
  STILLREEL_TOO_LARGE = 1,            /* too large for its kind (AVI 1.0: 2048 MiB) */
  STILLREEL_CANNOT_CREATE_OUTPUT = 2, /* the output cannot be created */
  STILLREEL_LIST_UNREADABLE = 3,      /* the list cannot be read or names no pictures */
  STILLREEL_BAD_ARGUMENT = 4,         /* a null path, a rate or count out of range, ... */
  STILLREEL_WRITE_FAILED = 5,         /* writing the output failed (disk full, I/O error) */
  STILLREEL_OUT_OF_MEMORY = 6,        /* the conversion's own buffers could not be allocated */
  STILLREEL_CANCELLED = 7             /* *options.cancel became non-zero */
};

/* The kind of AVI file written (stillreel_options.container). */
enum {
  STILLREEL_CONTAINER_AVI1 = 0,    /* AVI 1.0, at most 2048 MiB: VOD2ERI's kind */
  STILLREEL_CONTAINER_OPENDML = 1, /* AVI 2.0 (OpenDML), of any length */
  STILLREEL_CONTAINER_AUTO = 2     /* AVI 1.0 when the file fits in it, AVI 2.0 beyond */
};

/* How pictures are read (stillreel_options.reading). */
enum {
  STILLREEL_READING_CLASSIC = 0, /* VOD2ERI's reader: uncompressed bottom-up BMPs */
  STILLREEL_READING_FULL = 1     /* every BMP real programs write, shown as viewers do */
};

/* The kind of frames written (stillreel_options.pixels). */
enum {
  STILLREEL_PIXELS_BGR24 = 0, /* 24-bit colour: VOD2ERI's kind */
  STILLREEL_PIXELS_GRAY8 = 1  /* 8-bit grey, (19595 R + 38470 G + 7471 B + 32768) >> 16 */
};

/* Why a picture could not be read (its frame is then 1 x 1 white), or, for
 * STILLREEL_PICTURE_SIZE_DIFFERS, a notice that a readable picture has another
 * size than the first. stillreel_picture_issue_string() has the words. */
enum {
  STILLREEL_PICTURE_CANNOT_OPEN = 0,
  STILLREEL_PICTURE_NOT_A_FILE = 1,
  STILLREEL_PICTURE_NOT_BMP = 2,
  STILLREEL_PICTURE_SHORT_HEADER = 3,
  STILLREEL_PICTURE_RUN_LENGTH_ENCODED = 4,
  STILLREEL_PICTURE_UNSUPPORTED_COMPRESSION = 5,
  STILLREEL_PICTURE_BIT_FIELDS_NOT_16 = 6,
  STILLREEL_PICTURE_UNSUPPORTED_BIT_COUNT = 7,
  STILLREEL_PICTURE_TOP_DOWN = 8,
  STILLREEL_PICTURE_BAD_SIZE = 9,
  STILLREEL_PICTURE_TOO_LARGE = 10,
  STILLREEL_PICTURE_OUT_OF_MEMORY = 11,
  STILLREEL_PICTURE_SIZE_DIFFERS = 12,
  STILLREEL_PICTURE_OS2_CORE_HEADER = 13,
  STILLREEL_PICTURE_UNKNOWN_HEADER_SIZE = 14,
  STILLREEL_PICTURE_EMBEDDED_JPEG = 15,
  STILLREEL_PICTURE_EMBEDDED_PNG = 16,
  STILLREEL_PICTURE_HUFFMAN = 17,
  STILLREEL_PICTURE_RLE24 = 18,
  STILLREEL_PICTURE_MASKS_NOT_CONTIGUOUS = 19,
  STILLREEL_PICTURE_SIXTY_FOUR_BITS = 20,
  STILLREEL_PICTURE_RUN_LENGTH_BIT_COUNT = 21,
  STILLREEL_PICTURE_BIT_FIELDS_BIT_COUNT = 22,
  STILLREEL_PICTURE_TOP_DOWN_RUN_LENGTH = 23
};

/* Reported before each entry k with percent 100 x k / (n - 1) (0 for a single
 * entry), after each in-between frame l of a fade from entry k with k + l / N
 * in place of k, and with 100 once while the index is written. */
typedef struct stillreel_progress {
  double percent;
  int64_t entry;          /* the entry about to be converted; n while the index is written */
  int64_t frames_written; /* frames written so far */
  int64_t frame_count;    /* frames in the whole file */
} stillreel_progress;

typedef struct stillreel_picture_notice {
  int64_t entry;    /* list entry, counted from 0 */
  const char* name; /* the name as given: name_size bytes, then a NUL */
  size_t name_size;
  int32_t issue; /* STILLREEL_PICTURE_... */
  int32_t width; /* the picture's size as read (1 x 1 for a failed read) */
  int32_t height;
} stillreel_picture_notice;

/* What a conversion produces: filled when the call returns, also when the
 * file would be too large. */
typedef struct stillreel_summary {
  uint32_t size; /* sizeof(stillreel_summary), set by the caller */
  int32_t frame_width;
  int32_t frame_height;
  int32_t container; /* STILLREEL_CONTAINER_AVI1 or STILLREEL_CONTAINER_OPENDML */
  int64_t picture_count;
  int64_t frame_count;
  double frame_rate; /* frames per second of the file (the rate times N) */
  uint32_t micros_per_frame;
  uint32_t reserved; /* zero */
  uint64_t file_size;
  int64_t unreadable_pictures; /* pictures that became 1 x 1 white frames */
  int64_t riff_count;          /* RIFFs of an AVI 2.0 file, at most 1 GiB each */
  /* Fields of later versions: */
  int32_t pixels;    /* STILLREEL_PIXELS_... */
  int32_t reserved2; /* zero */
  /* A writer's pictures appended, those refused beyond the count included;
   * it differs from picture_count only when their number was not the one
   * given. */
  int64_t pictures_appended;
} stillreel_summary;

typedef struct stillreel_options {
  uint32_t size;     /* sizeof(stillreel_options): stillreel_options_init sets it */
  int32_t container; /* STILLREEL_CONTAINER_...; default AVI1 */
  int32_t reading;   /* STILLREEL_READING_...; default CLASSIC */
  int32_t threads;   /* threads the conversion may use: default 1, 0 one per core */
  int32_t dry_run;   /* non-zero: read and report every picture, write nothing */
  int32_t reserved;  /* zero */
  /* Called as stillreel_progress above describes. */
  void(STILLREEL_CDECL* on_progress)(const stillreel_progress* progress, void* user_data);
  void* progress_user_data;
  /* Called for each picture that cannot be read, and for each picture whose
   * size differs from the first. */
  void(STILLREEL_CDECL* on_picture)(const stillreel_picture_notice* notice, void* user_data);
  void* picture_user_data;
  /* When not null, read (atomically) between frames: once it is non-zero the
   * conversion stops, leaves no file behind and returns STILLREEL_CANCELLED.
   * It may be set from another thread or from a signal handler. */
  const int32_t* cancel;
  /* When not null, filled as stillreel_summary describes. */
  stillreel_summary* summary;
  /* Fields of later versions: */
  int32_t pixels; /* STILLREEL_PIXELS_...; default BGR24 */
} stillreel_options;

/* Sets options->size and the defaults: those of VOD2ERI, one thread, no
 * callbacks. */
STILLREEL_C_API void STILLREEL_CDECL stillreel_options_init(stillreel_options* options);

/* Converts the `count` pictures `names` into the AVI file `output`, replacing
 * it only once the new file is complete. frame_rate_x100 is frames per second
 * times 100; smooth_count N > 1 inserts N - 1 cross-faded frames after each
 * picture but the last and multiplies the rate by N; 0 means 1. options may be
 * null (the defaults). Returns a STILLREEL_... result. */
STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_convert(const char* output,
                                                          const char* const* names, size_t count,
                                                          int32_t frame_rate_x100,
                                                          int32_t smooth_count,
                                                          const stillreel_options* options);

/* The same with the names read from the frame list file `list`, one per line
 * (what VOD2ERI reads). */
STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_convert_list(const char* output, const char* list,
                                                               int32_t frame_rate_x100,
                                                               int32_t smooth_count,
                                                               const stillreel_options* options);

/* Both, writing the AVI file front to back to the open file descriptor `fd`
 * (standard output, a pipe, a socket), which stays open. Nothing is renamed
 * or removed: when the conversion fails, what was written stays. On Windows
 * `fd` is a descriptor of the C runtime stillreel.dll is linked with
 * (msvcrt.dll), whose handle it writes through. */
STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_convert_to_fd(int fd, const char* const* names,
                                                                size_t count,
                                                                int32_t frame_rate_x100,
                                                                int32_t smooth_count,
                                                                const stillreel_options* options);
STILLREEL_C_API int32_t STILLREEL_CDECL
stillreel_convert_list_to_fd(int fd, const char* list, int32_t frame_rate_x100,
                             int32_t smooth_count, const stillreel_options* options);

/* The writer: pictures from memory, appended one at a time, into the file
 * stillreel_convert would write for the same pictures as BMP files.
 *
 *   stillreel_writer* writer;
 *   stillreel_writer_setup setup;
 *   stillreel_writer_setup_init(&setup);
 *   setup.picture_count = count;
 *   if (stillreel_writer_open(&writer, "clip.avi", &setup, NULL) == STILLREEL_OK) {
 *     for (i = 0; i < count; ++i) stillreel_writer_append(writer, &pictures[i]);
 *     result = stillreel_writer_close(writer, NULL);
 *   }
 *
 * An open writer is closed or aborted exactly once, which frees it. Results
 * are sticky: after one other than STILLREEL_OK every later call returns it
 * (only a picture refused as malformed leaves the writer as it was), and
 * the output is not left behind. The options' callbacks and user data, and
 * its cancel flag and summary, must stay valid until then; the callbacks
 * are called during the calls on the writer. One thread at a time may use a
 * writer; different writers may run at the same time. */
typedef struct stillreel_writer stillreel_writer;

/* How a picture in memory holds its pixels (stillreel_picture.layout). A
 * fourth byte is alpha; frames without alpha drop it. */
enum {
  STILLREEL_LAYOUT_GRAY8 = 0,  /* one grey byte */
  STILLREEL_LAYOUT_BGR24 = 1,  /* blue, green, red */
  STILLREEL_LAYOUT_RGB24 = 2,  /* red, green, blue */
  STILLREEL_LAYOUT_BGRA32 = 3, /* blue, green, red, alpha */
  STILLREEL_LAYOUT_RGBA32 = 4  /* red, green, blue, alpha */
};

/* What a writer knows before its first picture. */
typedef struct stillreel_writer_setup {
  uint32_t size;           /* sizeof(stillreel_writer_setup): stillreel_writer_setup_init sets it */
  int32_t frame_rate_x100; /* pictures per second times 100; default 2500 */
  int32_t smooth_count;    /* N, as for stillreel_convert; default 1 */
  int32_t width;           /* the frame's size; 0 and 0 (the default): the first picture's */
  int32_t height;
  int32_t reserved; /* zero */
  /* n, the pictures to come, or -1 (the default) when not known. Without it
   * the output must be a file that can seek: its headers are written again
   * when the writer closes. */
  int64_t picture_count;
} stillreel_writer_setup;

/* Pixels in the caller's memory, only read during the call. Row y (0 the
 * top row) starts at pixels + y x stride; a negative stride for rows stored
 * bottom-up, pixels then pointing at the top row. */
typedef struct stillreel_picture {
  uint32_t size;  /* sizeof(stillreel_picture), set by the caller */
  int32_t layout; /* STILLREEL_LAYOUT_... */
  int32_t width;
  int32_t height;
  int64_t stride; /* bytes from one row to the next */
  const void* pixels;
} stillreel_picture;

/* Sets setup->size and the defaults. */
STILLREEL_C_API void STILLREEL_CDECL stillreel_writer_setup_init(stillreel_writer_setup* setup);

/* Creates the output file `output`, replaced only once the writer closes,
 * and sets *writer; setup and options may be null (the defaults). Returns
 * STILLREEL_OK, or another result with *writer null: STILLREEL_BAD_ARGUMENT,
 * STILLREEL_CANNOT_CREATE_OUTPUT, STILLREEL_OUT_OF_MEMORY. */
STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_writer_open(stillreel_writer** writer,
                                                              const char* output,
                                                              const stillreel_writer_setup* setup,
                                                              const stillreel_options* options);

/* The same on the open file descriptor `fd`, which stays open: without a
 * picture count it must be able to seek (STILLREEL_BAD_ARGUMENT before
 * anything is written otherwise). */
STILLREEL_C_API int32_t STILLREEL_CDECL
stillreel_writer_open_fd(stillreel_writer** writer, int fd, const stillreel_writer_setup* setup,
                         const stillreel_options* options);

/* Takes the next picture. STILLREEL_BAD_ARGUMENT, nothing written, for a
 * malformed picture (null pixels, a size below 1 x 1, a stride shorter than
 * a row, an unknown layout; the writer goes on) and for one beyond the
 * count (the writer fails). */
STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_writer_append(stillreel_writer* writer,
                                                                const stillreel_picture* picture);

/* The same for a whole BMP file of `size` bytes in memory, read as
 * options.reading says. One that cannot be read becomes a 1 x 1 white
 * picture with its notice, as in a list. */
STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_writer_append_bmp(stillreel_writer* writer,
                                                                    const void* bytes, size_t size);

/* Writes the last frames and the index, puts the file in place and frees
 * the writer. STILLREEL_BAD_ARGUMENT when fewer pictures came than the
 * count, or none (no file is left). summary, when not null, and
 * options.summary are filled whatever the result. */
STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_writer_close(stillreel_writer* writer,
                                                               stillreel_summary* summary);

/* Frees the writer and leaves no file; an existing output stays as it was. */
STILLREEL_C_API void STILLREEL_CDECL stillreel_writer_abort(stillreel_writer* writer);

/* Plain words for a result or a picture issue; "unknown" for other values. */
STILLREEL_C_API const char* STILLREEL_CDECL stillreel_result_string(int32_t result);
STILLREEL_C_API const char* STILLREEL_CDECL stillreel_picture_issue_string(int32_t issue);

/* The library's own STILLREEL_VERSION (the headers' one may differ). */
STILLREEL_C_API int32_t STILLREEL_CDECL stillreel_version(void);

#ifdef __cplusplus
}
#endif

#endif /* STILLREEL_STILLREEL_H_ */
