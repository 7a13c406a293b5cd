/* The C entry of stillreel: one call turns a list of BMP pictures into an
 * uncompressed AVI file. The call runs on the caller's thread, starts no
 * threads, prints nothing, and may run at the same time as other calls that
 * write different files. */
#ifndef STILLREEL_VOD2ERI_H_
#define STILLREEL_VOD2ERI_H_

#include <stdint.h>
#include <wchar.h>

#include "stillreel/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result values of VOD2ERI. Nothing is created for any result but
 * VOD2ERI_OK, VOD2ERI_WRITE_FAILED and VOD2ERI_OUT_OF_MEMORY, and even then an
 * existing file at outputPath is only replaced by a complete AVI. */
enum {
  VOD2ERI_OK = 999,                 /* the AVI file was written and closed */
  VOD2ERI_TOO_LARGE = 1,            /* its RIFF size would exceed 2048 MiB */
  VOD2ERI_CANNOT_CREATE_OUTPUT = 2, /* the output file cannot be created */
  VOD2ERI_LIST_UNREADABLE = 3,      /* the list cannot be read or names no pictures */
  VOD2ERI_BAD_ARGUMENT = 4,         /* a null path or a rate or count out of range */
  VOD2ERI_WRITE_FAILED = 5,         /* writing the output failed (disk full, I/O error) */
  VOD2ERI_OUT_OF_MEMORY = 6         /* the conversion's own buffers could not be allocated */
};

/* Converts the pictures named in listPath, one per line, into the AVI file
 * outputPath. frameRateX100 is frames per second times 100 (2997 is 29.97);
 * smoothCount N > 1 inserts N - 1 cross-faded frames after every picture but
 * the last and multiplies the rate by N; 0 means 1. Paths are wide strings,
 * converted to UTF-8; the names inside the list are bytes, used unchanged.
 * On Windows wchar_t strings are UTF-16 and the call is WINAPI (__stdcall)
 * on 32-bit x86, as STILLREEL_CALL says. */
STILLREEL_C_API int32_t STILLREEL_CALL VOD2ERI(const wchar_t* outputPath, const wchar_t* listPath,
                                               int32_t frameRateX100, int32_t smoothCount);

#ifdef __cplusplus
}
#endif

#endif /* STILLREEL_VOD2ERI_H_ */
