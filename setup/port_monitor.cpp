// The port monitor DLL, its registration and the port "orvl".
#include <windows.h>
#include <strsafe.h>
#include <winspool.h>

#include "setup.h"

namespace {

bool CopyMonitorDll(const wchar_t* target) {
  return CopyFileW(ORVL_MONITOR_DLL, target, FALSE) != 0;
}

}  // namespace

DWORD SystemFilePath(const wchar_t* file, wchar_t* path) {
  wchar_t systemDir[kPathUnits];
  UINT length = GetSystemDirectoryW(systemDir, kPathUnits);
  // 0 is a failure; a length beyond the buffer is the size it would need.
  if (length == 0 || length >= kPathUnits) {
    DWORD error = length ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
    path[0] = L'\0';
    return error ? error : ERROR_PATH_NOT_FOUND;
  }
  if (FAILED(StringCchPrintfW(path, kPathUnits, L"%s\\%s", systemDir, file)))
    return ERROR_INSUFFICIENT_BUFFER;
  return 0;
}

int InstallPortMonitor() {
  wchar_t target[kPathUnits];
  DWORD error = SystemFilePath(ORVL_MONITOR_DLL, target);
  if (error) {
    // Never a copy to the root of the current drive.
    if (!g_setup.silentMode) ReportError(L"GetSystemDirectory() failed.", error, nullptr);
    return 0;
  }

  if (!CopyMonitorDll(target)) {
    // The spooler may hold the old DLL loaded: stop it, copy, start it again.
    if (StopSpooler() != SERVICE_STOPPED) {
      if (!g_setup.silentMode) ShowSetupBox(L"Failed to stop the spooler service.", kSetupBoxStyle);
      return 0;
    }
    Sleep(1500);
    DWORD copyError = 0;
    if (!CopyMonitorDll(target)) copyError = GetLastError();
    if (StartSpooler() != SERVICE_RUNNING) {
      if (!g_setup.silentMode)
        ShowSetupBox(L"Failed to restart the spooler service.", kSetupBoxStyle);
      return 0;
    }
    if (copyError != 0) {
      if (!g_setup.silentMode)
        ReportError(L"Failed to copy the port monitor DLL.", copyError, nullptr);
      return 0;
    }
  }

  MONITOR_INFO_2W monitor = {};
  monitor.pName = const_cast<wchar_t*>(ORVL_MONITOR_NAME);
  monitor.pEnvironment = nullptr;
  monitor.pDLLName = const_cast<wchar_t*>(ORVL_MONITOR_DLL);
  if (AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&monitor))) return 1;
  // A repair finds the monitor registered, and keeps it.
  if (g_setup.keepPrinter && GetLastError() == ERROR_PRINT_MONITOR_ALREADY_INSTALLED) return 1;
  if (!g_setup.silentMode) ReportError(L"AddMonitor() failed.", 0, nullptr);
  return 0;
}

int AddPrinterPort() {
  wchar_t xcvName[kPathUnits];
  StringCchPrintfW(xcvName, kPathUnits, L",XcvMonitor %s", ORVL_MONITOR_NAME);
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
  HANDLE xcv = nullptr;
  if (!OpenPrinterW(xcvName, &xcv, &defaults)) {
    if (!g_setup.silentMode) ReportError(L"Failed to get Xcv handle.", 0, nullptr);
    return 0;
  }
  wchar_t input[32];
  StringCchCopyW(input, 32, ORVL_PORT_NAME);
  DWORD inputBytes = static_cast<DWORD>((lstrlenW(input) + 1) * sizeof(wchar_t));
  BYTE output[4] = {};
  DWORD needed = 0;
  DWORD status = 0;
  if (!XcvDataW(xcv, L"AddPort", reinterpret_cast<BYTE*>(input), inputBytes, output, 0, &needed,
                &status)) {
    if (!g_setup.silentMode) ReportError(L"XcvData() failed.", 0, nullptr);
    ClosePrinter(xcv);
    return 0;
  }
  if (status != ERROR_SUCCESS && status != ERROR_ALREADY_EXISTS) {
    if (!g_setup.silentMode) ReportError(L"XcvData() status error.", status, nullptr);
    ClosePrinter(xcv);
    return 0;
  }
  ClosePrinter(xcv);
  return 1;
}
