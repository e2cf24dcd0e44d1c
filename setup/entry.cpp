// Command line, Windows version gate and dispatch.
#include <strsafe.h>

#include "setup.h"

void ParseCommandLine(const wchar_t* tail) {
  g_setup = SetupState{};
  if (!tail) return;
  // Only the space separates tokens; a tab is part of a token.
  const wchar_t* p = tail;
  while (*p) {
    while (*p == L' ') ++p;
    if (!*p) break;
    const wchar_t* start = p;
    while (*p && *p != L' ') ++p;
    size_t len = static_cast<size_t>(p - start);
    if (len == 2 && start[0] == L'/') {
      if (start[1] == L'Q') g_setup.quietMode = 1;
      if (start[1] == L'S') g_setup.silentMode = 1;
      if (start[1] == L'U') g_setup.uninstallMode = 1;
    }
  }
}

bool DetectWindowsLevel() {
  g_setup.windowsLevel = 0;
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = 276;
  if (!GetVersionExW(&version)) return false;
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT) return true;
  if (version.dwMajorVersion == 5 && version.dwMinorVersion <= 2)
    g_setup.windowsLevel = 5 + static_cast<int>(version.dwMinorVersion);
  else if (version.dwMajorVersion == 6 && version.dwMinorVersion <= 1)
    g_setup.windowsLevel = 8 + static_cast<int>(version.dwMinorVersion);
  return true;
}

int RunSetup(const wchar_t* tail) {
  ParseCommandLine(tail);
  StringCchPrintfW(g_setup.caption, kPathUnits, L"%s setup", ORVL_PRODUCT_NAME);
  if (!DetectWindowsLevel()) {
    if (!g_setup.silentMode) ReportError(L"GetVersionEx() failed.", 0, nullptr);
    return kExitVersionQueryFailed;
  }
  if (g_setup.windowsLevel == 0) {
    if (!g_setup.silentMode) ShowSetupMessage(kUnsupportedWindowsText);
    return kExitUnsupportedWindows;
  }
  if (g_setup.uninstallMode) return UninstallPrinter();
  return InstallPrinter();
}
