// A product-built program that overruns a stack buffer on request, so the
// tests can see what the stack guard of every product binary does.
//   stack_guard_probe smash    overruns a buffer
//   stack_guard_probe seeded   exits 0 when the guard was seeded at start, 1 if not
#include <windows.h>
#include <stdint.h>
#include <string.h>

extern "C" uintptr_t __stack_chk_guard;

namespace {

__attribute__((noinline)) void CopyInto8(const char* source, size_t length) {
  char buffer[8];
  memcpy(buffer, source, length);
  OutputDebugStringA(buffer);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  if (lstrcmpW(commandLine, L"seeded") == 0) {
    bool lowByteZero = (__stack_chk_guard & 0xFF) == 0;
    bool notInitial = __stack_chk_guard != static_cast<uintptr_t>(0x2B992DDFA23249D6ull);
    return lowByteZero && notInitial ? 0 : 1;
  }
  char source[64];
  memset(source, 'A', sizeof(source) - 1);
  source[sizeof(source) - 1] = '\0';
  // The length comes from the command line, so the compiler cannot see the overrun.
  size_t length = lstrcmpW(commandLine, L"smash") == 0 ? sizeof(source) : 4;
  if (length == 4) source[3] = '\0';
  CopyInto8(source, length);
  return 0;
}
