/* Marks the symbols that the stillreel shared library exports, and the
 * calling conventions of its C entries. Everything else in the library is
 * built with hidden visibility. */
#ifndef STILLREEL_EXPORT_H_
#define STILLREEL_EXPORT_H_

#if defined(_WIN32)
/* stillreel.dll exports the C++ API where it is declared (STILLREEL_API),
 * and the C functions (STILLREEL_C_API) by the names its module-definition
 * file gives them, so that no decorated name reaches its export table.
 * Callers need no import declaration: every export is a function. */
#if defined(STILLREEL_BUILDING)
#define STILLREEL_API __declspec(dllexport)
#else
#define STILLREEL_API
#endif
#define STILLREEL_C_API
#elif defined(__GNUC__) || defined(__clang__)
#define STILLREEL_API __attribute__((visibility("default")))
#define STILLREEL_C_API STILLREEL_API
#else
#define STILLREEL_API
#define STILLREEL_C_API
#endif

/* VOD2ERI's convention: WINAPI (__stdcall) on 32-bit x86 Windows, the one
 * convention of the platform elsewhere. The C API with options and its
 * callbacks are __cdecl on Windows. */
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define STILLREEL_CALL __stdcall
#else
#define STILLREEL_CALL
#endif
#if defined(_WIN32)
#define STILLREEL_CDECL __cdecl
#else
#define STILLREEL_CDECL
#endif

#endif /* STILLREEL_EXPORT_H_ */
