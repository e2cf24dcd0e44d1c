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

int InstallPortMonitor() {
  wchar_t systemDir[kPathUnits] = L"";
  GetSystemDirectoryW(systemDir, kPathUnits);
  wchar_t target[kPathUnits];
  StringCchPrintfW(target, kPathUnits, L"%s\\%s", systemDir, ORVL_MONITOR_DLL);

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
