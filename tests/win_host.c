/* A Windows host program as other languages' programs are: it loads
 * stillreel.dll at run time, finds VOD2ERI by its undecorated name, calls it
 * with the declared convention on a non-ASCII output path, and compares the
 * file with the one the Linux build made of the same list.
 * usage: win_host DLL LIST EXPECTED.avi FOLDER */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* As stillreel/vod2eri.h declares it: WINAPI is __stdcall on 32-bit x86. */
typedef int32_t(WINAPI* Vod2eri)(const wchar_t*, const wchar_t*, int32_t, int32_t);

static wchar_t* Widened(const char* text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
  wchar_t* wide = n > 0 ? malloc(sizeof(wchar_t) * (size_t)n) : NULL;
  if (wide) MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, n);
  return wide;
}

static unsigned char* Contents(const wchar_t* path, long* size) {
  FILE* file = _wfopen(path, L"rb");
  unsigned char* bytes = NULL;
  *size = -1;
  if (!file) return NULL;
  if (fseek(file, 0, SEEK_END) == 0 && (*size = ftell(file)) >= 0 &&
      fseek(file, 0, SEEK_SET) == 0 && (bytes = malloc((size_t)*size + 1)) != NULL &&
      fread(bytes, 1, (size_t)*size, file) != (size_t)*size) {
    free(bytes);
    bytes = NULL;
  }
  fclose(file);
  return bytes;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: win_host DLL LIST EXPECTED.avi FOLDER\n");
    return 2;
  }
  wchar_t* dll = Widened(argv[1]);
  wchar_t* list = Widened(argv[2]);
  wchar_t* expected = Widened(argv[3]);
  wchar_t* folder = Widened(argv[4]);
  if (!dll || !list || !expected || !folder) return 2;
  HMODULE library = LoadLibraryW(dll);
  if (!library) {
    fprintf(stderr, "win_host: LoadLibraryW(%s) failed: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  Vod2eri vod2eri = (Vod2eri)(void (*)(void))GetProcAddress(library, "VOD2ERI");
  if (!vod2eri) {
    fprintf(stderr, "win_host: stillreel.dll exports no VOD2ERI\n");
    return 1;
  }
  /* Zeitraffer-Öl-日本.avi */
  static const wchar_t kName[] = L"\\Zeitraffer-\u00D6l-\u65E5\u672C.avi";
  wchar_t* output = malloc(sizeof(wchar_t) * (wcslen(folder) + wcslen(kName) + 1));
  if (!output) return 2;
  wcscpy(output, folder);
  wcscat(output, kName);
  DeleteFileW(output);
  const int32_t result = vod2eri(output, list, 2500, 3);
  if (result != 999) {
    fprintf(stderr, "win_host: VOD2ERI returned %d, want 999\n", (int)result);
    return 1;
  }
  long haveSize, wantSize;
  unsigned char* have = Contents(output, &haveSize);
  unsigned char* want = Contents(expected, &wantSize);
  if (!want) {
    fprintf(stderr, "win_host: cannot read the Linux build's file %s\n", argv[3]);
    return 1;
  }
  if (!have) {
    fprintf(stderr, "win_host: VOD2ERI returned 999 but its output cannot be read\n");
    return 1;
  }
  if (haveSize != wantSize) {
    fprintf(stderr, "win_host: have %ld bytes, want %ld (the Linux build's)\n", haveSize, wantSize);
    return 1;
  }
  for (long i = 0; i < haveSize; ++i) {
    if (have[i] != want[i]) {
      fprintf(stderr, "win_host: byte %ld is 0x%02x, want 0x%02x\n", i, have[i], want[i]);
      return 1;
    }
  }
  DeleteFileW(output);
  /* An output path with a lone surrogate names no file, as on Linux. */
  static const wchar_t kLone[] = {L'x', 0xD800, L'.', L'a', L'v', L'i', 0};
  const int32_t lone = vod2eri(kLone, list, 2500, 3);
  if (lone != 2) {
    fprintf(stderr, "win_host: a lone surrogate gave %d, want 2\n", (int)lone);
    return 1;
  }
  FreeLibrary(library);
  printf("win_host: %ld bytes, as the Linux build wrote them\n", haveSize);
  return 0;
}
