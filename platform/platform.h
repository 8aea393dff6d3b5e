// The platform layer: the only code that includes operating-system headers.
// Everything here is a thin, stateless wrapper; the seams that tests override
// (file operations, memory queries) live in their own headers beside this.
//
// [any-thread] unless noted.
#ifndef PLATFORM_PLATFORM_H_
#define PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Dynamic libraries ---------------------------------------------------------

using LibraryHandle = void*;

// Opens the shared object at the absolute `path` (RTLD_NOW | RTLD_LOCAL).
// Returns null on failure and puts the loader's reason in *error.
LibraryHandle OpenLibrary(const std::string& path, std::string* error);
// The address of the exported `name`, or null.
void* FindSymbol(LibraryHandle library, const char* name);
void CloseLibrary(LibraryHandle library);

// Console -------------------------------------------------------------------

// Whether log lines may carry ANSI colour: true when standard output is not
// open at all, otherwise whether it is a terminal.
bool ConsoleSupportsColour();
// Writes the bytes to standard output in one call; errors are not noticed.
void WriteConsole(const char* text, size_t length);
// Writes the bytes to standard error.
void WriteError(const char* text, size_t length);
// Background mode: standard input, output and error go to /dev/null.
void DetachFromConsole();

// Time ------------------------------------------------------------------------

// Monotonic clock in nanoseconds.
int64_t SteadyNowNs();
// Wall clock in whole seconds since 1970.
int64_t WallNowSeconds();
// Hours, minutes and seconds of `seconds` since 1970 in UTC.
void UtcTimeOfDay(int64_t seconds, int* hours, int* minutes, int* secs);

// Process and threads ----------------------------------------------------------

// Absolute path of the running executable (symbolic links resolved); falls
// back to `argv0` made absolute and lexically normalised.
std::string ExecutablePath(const char* argv0);
// Raises the calling thread's priority; silently ignored without privilege.
void RaiseThreadPriority();
// Tells the processor the thread is spinning on a lock (a pause on x86), so
// that it spends less power and lets its sibling thread run.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}
// An identifier of the calling thread, unique among live threads.
uint32_t CurrentThreadId();
// Ends the process at once with `code`: no destructors, no exit handlers.
[[noreturn]] void EndProcessNow(int code);

// Descriptors -------------------------------------------------------------------

// True when `fd` may serve as the supervisor link: above 2, open, and a
// SOCK_STREAM socket.
bool IsStreamSocket(int64_t fd);
void SetCloseOnExec(int fd);

// Errors ------------------------------------------------------------------------

// "strerror" text of an errno value.
std::string ErrorText(int error);

}  // namespace platform

#endif  // PLATFORM_PLATFORM_H_
