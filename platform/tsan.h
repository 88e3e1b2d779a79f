#pragma once

// Qt hands posted events between threads under mutexes that ThreadSanitizer cannot see (Qt is not
// built with it). These annotations state that hand-over: the poster releases the event before
// posting it, the receiver acquires it before reading it. Empty in other builds.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#define PELOMIR_HAND_OVER(p) __tsan_release(const_cast<void *>(static_cast<const void *>(p)))
#define PELOMIR_TAKE_OVER(p) __tsan_acquire(const_cast<void *>(static_cast<const void *>(p)))
#else
#define PELOMIR_HAND_OVER(p) ((void)(p))
#define PELOMIR_TAKE_OVER(p) ((void)(p))
#endif
