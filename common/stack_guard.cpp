// The stack guard's runtime, linked into every product program and DLL.
// gcc's own (libssp) seeds the guard through the CryptoAPI, which loads the
// cryptographic providers at every start: under Wine that made a one-page
// converter run half as slow again. The seed here mixes what the process has
// at hand at once, the way Windows compilers seed their security cookie; a
// guard only has to be unknown to the input that overruns a buffer.
#include <windows.h>
#include <stdint.h>

extern "C" {

// Replaced before any guarded function runs.
uintptr_t __stack_chk_guard = static_cast<uintptr_t>(0x2B992DDFA23249D6ull);

__attribute__((noreturn)) void __stack_chk_fail(void) {
  OutputDebugStringA("*** stack smashing detected ***: terminated\n");
  // No unwinding, no handlers: the stack can no longer be trusted.
  TerminateProcess(GetCurrentProcess(), 0xC0000409u);  // STATUS_STACK_BUFFER_OVERRUN
  for (;;) Sleep(INFINITE);
}

}  // extern "C"

namespace {

// Runs with the other constructors, before main, WinMain or DllMain, while no
// guarded frame is active (the runtime's start-up code is not guarded).
__attribute__((constructor(101), no_stack_protector)) void SeedStackGuard() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t seed = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  seed ^= static_cast<uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15ull;
  seed ^= (static_cast<uint64_t>(GetCurrentProcessId()) << 32) | GetCurrentThreadId();
  seed ^= static_cast<uint64_t>(GetTickCount()) << 16;
  seed ^= reinterpret_cast<uintptr_t>(&now);
  seed ^= seed >> 29;
  seed *= 0xBF58476D1CE4E5B9ull;
  seed ^= seed >> 32;
  // A zero byte first stops string copies from reading the guard back out.
  __stack_chk_guard = static_cast<uintptr_t>(seed) & ~static_cast<uintptr_t>(0xFF);
}

}  // namespace
