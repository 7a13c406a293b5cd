// STILLREEL_TEST_SANITIZED is 1 in builds with AddressSanitizer or
// ThreadSanitizer. Their runtimes reserve address space, keep freed memory and
// abort on allocations larger than they allow, so checks of failing
// allocations, address-space limits and resident memory run only without them.
#ifndef STILLREEL_TESTS_SUPPORT_SANITIZED_H_
#define STILLREEL_TESTS_SUPPORT_SANITIZED_H_

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || \
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STILLREEL_TEST_SANITIZED 1
#else
#define STILLREEL_TEST_SANITIZED 0
#endif

#endif  // STILLREEL_TESTS_SUPPORT_SANITIZED_H_
