// Calls VOD2ERI as a host program would and prints its result:
//   vod2eri_run OUTPUT LIST RATE_X100 SMOOTH
// The paths are widened byte by byte, so they must be ASCII.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "stillreel/vod2eri.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

static std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text != '\0'; ++text)
    wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return wide;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: vod2eri_run OUTPUT LIST RATE_X100 SMOOTH\n");
    return 2;
  }
  const int32_t result = VOD2ERI(Widen(argv[1]).c_str(), Widen(argv[2]).c_str(), std::atoi(argv[3]),
                                 std::atoi(argv[4]));
#ifdef _WIN32
  _setmode(1, _O_BINARY);  // "\n" as on every other system
#endif
  std::printf("%d\n", static_cast<int>(result));
  return result == VOD2ERI_OK ? 0 : 1;
}
