#pragma once

// Symbols of the public interface are exported from libtessal.so; everything
// else is built with hidden visibility.
#if defined(_WIN32)
#define TESSAL_EXPORT
#else
#define TESSAL_EXPORT __attribute__((visibility("default")))
#endif
