// Marks the symbols that the stillreel shared library exports. Everything else
// in the library is built with hidden visibility.
#ifndef STILLREEL_EXPORT_H_
#define STILLREEL_EXPORT_H_

#if defined(__GNUC__) || defined(__clang__)
#define STILLREEL_API __attribute__((visibility("default")))
#else
#define STILLREEL_API
#endif

#endif  // STILLREEL_EXPORT_H_
