#pragma once

// Qt comes uninstrumented: its thread pool (image conversions and painting of
// a shown window) synchronises by futex, which ThreadSanitizer cannot see, so
// the allocations and copies Qt makes on those threads look like races; so do
// those of glib, whose event loop each of those threads runs. The
// library's own calls into the sanitizer's interceptors are left unchecked;
// every access of our code stays checked.
// Include it in exactly one source file of each executable that shows windows.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libglib-2.0.so.0\n";
}
#endif
