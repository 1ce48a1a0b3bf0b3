#pragma once

// KEYFLIP_UNDER_THREAD_SANITIZER and KEYFLIP_UNDER_ADDRESS_SANITIZER are
// defined when this build runs under that sanitizer, with GCC or Clang.
#if defined(__SANITIZE_THREAD__)
#define KEYFLIP_UNDER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KEYFLIP_UNDER_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KEYFLIP_UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEYFLIP_UNDER_ADDRESS_SANITIZER 1
#endif
#endif
