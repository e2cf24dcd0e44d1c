// orvl-listen: prints every report the converter broadcasts.
//
//   orvl-listen.exe [count [timeout-seconds]]
//
// Registers "Orvalis_notify_message", keeps a hidden top-level window (a
// message-only window would not receive broadcasts) and prints one line per
// report: "report 0xF012 (61458) error 0". It exits with 0 after `count`
// reports (0 or none: never), and with 1 when the timeout ends first.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

UINT g_message = 0;
long g_wanted = 0;
long g_seen = 0;
const UINT_PTR kTimeoutTimer = 1;

void PrintReport(WPARAM code, LPARAM error) {
  // The codes and error numbers are 32-bit values whatever the pointer size.
  unsigned long c = static_cast<unsigned long>(code & 0xFFFFFFFFu);
  long e = static_cast<long>(static_cast<LONG>(error));
  printf("report 0x%04lX (%lu) error %ld\n", c, c, e);
  fflush(stdout);
}

LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == g_message && g_message != 0) {
    PrintReport(wParam, lParam);
    ++g_seen;
    if (g_wanted > 0 && g_seen >= g_wanted) PostQuitMessage(0);
    return 0;
  }
  if (message == WM_TIMER && wParam == kTimeoutTimer) {
    printf("timeout after %ld report(s)\n", g_seen);
    fflush(stdout);
    PostQuitMessage(1);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// A non-negative decimal number; false for anything else.
bool ParseCount(const wchar_t* text, long* value) {
  if (!text || !*text) return false;
  wchar_t* end = nullptr;
  long v = wcstol(text, &end, 10);
  if (*end != 0 || v < 0) return false;
  *value = v;
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  long timeoutSeconds = 0;
  if (argc > 3 || (argc > 1 && !ParseCount(argv[1], &g_wanted)) ||
      (argc > 2 && !ParseCount(argv[2], &timeoutSeconds))) {
    fprintf(stderr, "usage: orvl-listen [count [timeout-seconds]]\n");
    return 2;
  }
  g_message = RegisterWindowMessageW(L"Orvalis_notify_message");
  if (g_message == 0) {
    fprintf(stderr, "RegisterWindowMessage failed: %lu\n", GetLastError());
    return 3;
  }
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc = {};
  wc.lpfnWndProc = Proc;
  wc.hInstance = instance;
  wc.lpszClassName = L"OrvalisListener";
  if (!RegisterClassW(&wc)) {
    fprintf(stderr, "RegisterClass failed: %lu\n", GetLastError());
    return 3;
  }
  // Top-level and never shown: broadcasts reach it, the user does not see it.
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"Orvalis listener", WS_OVERLAPPED, 0, 0, 0,
                                0, nullptr, nullptr, instance, nullptr);
  if (!window) {
    fprintf(stderr, "CreateWindow failed: %lu\n", GetLastError());
    return 3;
  }
  if (timeoutSeconds > 0) SetTimer(window, kTimeoutTimer, static_cast<UINT>(timeoutSeconds * 1000), nullptr);
  printf("listening\n");
  fflush(stdout);
  MSG msg;
  int result = 0;
  BOOL got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) {
      result = 3;
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (got == 0) result = static_cast<int>(msg.wParam);
  DestroyWindow(window);
  return result;
}
