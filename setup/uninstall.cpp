// Removal: everything the installation added, tolerant of what is missing.
#include <windows.h>
#include <strsafe.h>
#include <winspool.h>

#include "setup.h"

namespace {

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

// A spooler list in a process-heap block.
struct SpoolerList {
  BYTE* data;
  DWORD count;
};

void FreeList(SpoolerList* list) {
  if (list->data) HeapFree(GetProcessHeap(), 0, list->data);
  *list = SpoolerList{};
}

// Fetches a spooler list in two calls (size, then data). Returns 0, or the
// error number of the failed fetch. A size call that fails for any reason but
// a too small buffer is a failed fetch, never an empty list.
template <typename Enumerate>
DWORD FetchList(Enumerate enumerate, SpoolerList* list) {
  *list = SpoolerList{};
  DWORD needed = 0;
  DWORD count = 0;
  if (enumerate(nullptr, 0, &needed, &count)) return 0;
  DWORD error = GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) return error ? error : ERROR_INVALID_FUNCTION;
  if (needed == 0) return 0;
  list->data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
  if (!list->data) return ERROR_NOT_ENOUGH_MEMORY;
  if (!enumerate(list->data, needed, &needed, &count)) {
    error = GetLastError();
    FreeList(list);
    return error ? error : ERROR_INVALID_FUNCTION;
  }
  list->count = count;
  return 0;
}

// The monitor's registration, whether or not the spooler could load it.
// Only a key known to be absent counts as absent.
bool MonitorKeyPresent() {
  HKEY key = nullptr;
  LONG status =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\" ORVL_MONITOR_NAME, 0,
                    KEY_READ, &key);
  if (status == ERROR_SUCCESS) RegCloseKey(key);
  return status != ERROR_FILE_NOT_FOUND;
}

void DeleteOrvalisPrinter() {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<wchar_t*>(ORVL_PRODUCT_NAME), &printer, &defaults)) return;
  SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
  DeletePrinter(printer);
  ClosePrinter(printer);
}

void DeleteOrvalisPort() {
  SpoolerList list;
  DWORD error = FetchList(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return EnumPortsW(nullptr, 2, data, size, needed, returned);
      },
      &list);
  if (error) {
    if (!g_setup.silentMode) ReportError(L"EnumPorts() failed.", error, nullptr);
    return;
  }
  auto* ports = reinterpret_cast<PORT_INFO_2W*>(list.data);
  for (DWORD i = 0; i < list.count; ++i)
    if (ports[i].pPortName && SameNameAsciiNoCase(ports[i].pPortName, ORVL_PORT_NAME))
      DeletePortW(nullptr, nullptr, const_cast<wchar_t*>(ORVL_PORT_NAME));
  FreeList(&list);
}

void DeleteOrvalisMonitor(const wchar_t* dllPath, DWORD dllPathError) {
  SpoolerList list;
  DWORD error = FetchList(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return EnumMonitorsW(nullptr, 1, data, size, needed, returned);
      },
      &list);
  if (error) {
    // Unknown whether a monitor still names the DLL: it stays.
    if (!g_setup.silentMode) ReportError(L"EnumMonitors() failed.", error, nullptr);
    return;
  }
  auto* monitors = reinterpret_cast<MONITOR_INFO_1W*>(list.data);
  bool listed = false;
  bool deleted = false;
  for (DWORD i = 0; i < list.count; ++i) {
    if (!monitors[i].pName || !SameNameAsciiNoCase(monitors[i].pName, ORVL_MONITOR_NAME)) continue;
    listed = true;
    deleted = DeleteMonitorW(nullptr, nullptr, const_cast<wchar_t*>(ORVL_MONITOR_NAME)) != 0;
    break;
  }
  FreeList(&list);
  // The DLL goes with its monitor, or when nothing names it any more: a DLL
  // copied by an install that failed to register the monitor. A monitor that
  // is registered but failed to load is not listed; its key still names the
  // DLL, and a later removal needs both.
  bool deleteDll = listed ? deleted : !MonitorKeyPresent();
  if (!deleteDll) return;
  if (dllPathError) {
    if (!g_setup.silentMode) ReportError(L"GetSystemDirectory() failed.", dllPathError, nullptr);
    return;
  }
  DeleteFileW(dllPath);
}

void DeleteOrvalisDriver() {
  SpoolerList list;
  DWORD error = FetchList(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return EnumPrinterDriversW(nullptr, nullptr, 1, data, size, needed, returned);
      },
      &list);
  if (error) {
    if (!g_setup.silentMode) ReportError(L"EnumPrinterDrivers() failed.", error, nullptr);
    return;
  }
  auto* drivers = reinterpret_cast<DRIVER_INFO_1W*>(list.data);
  for (DWORD i = 0; i < list.count; ++i)
    if (drivers[i].pName && SameNameAsciiNoCase(drivers[i].pName, ORVL_PRODUCT_NAME))
      DeletePrinterDriverW(nullptr, nullptr, const_cast<wchar_t*>(ORVL_PRODUCT_NAME));
  FreeList(&list);
}

void DeleteDriverFiles() {
  static const wchar_t* const kDriverFiles[] = {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe",
                                                L"orvl.ini"};
  wchar_t dir[kPathUnits];
  DWORD needed = 0;
  // Without the directory there is no path to delete by.
  if (!GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(dir),
                                  kPathUnits * sizeof(wchar_t), &needed)) {
    if (!g_setup.silentMode) ReportError(L"GetPrinterDriverDirectory() failed.", 0, nullptr);
    return;
  }
  StringCchCatW(dir, kPathUnits, L"\\3\\");
  for (const wchar_t* file : kDriverFiles) {
    wchar_t path[kPathUnits];
    if (SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s%s", dir, file))) DeleteFileW(path);
  }
}

}  // namespace

void SignalKillEvent() {
  wchar_t name[kPathUnits];
  StringCchPrintfW(name, kPathUnits, ORVL_KILL_EVENT_FORMAT, ORVL_PRODUCT_NAME);
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (!event) return;
  PulseEvent(event);
  CloseHandle(event);
}

bool SameNameAsciiNoCase(const wchar_t* a, const wchar_t* b) {
  for (; *a && *b; ++a, ++b)
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
  return *a == *b;
}

int UninstallPrinter() {
  wchar_t monitorDll[kPathUnits];
  DWORD monitorDllError = SystemFilePath(ORVL_MONITOR_DLL, monitorDll);
  SignalKillEvent();
  DeleteOrvalisPrinter();
  DeleteOrvalisPort();
  DeleteOrvalisMonitor(monitorDll, monitorDllError);
  DeleteOrvalisDriver();
  DeleteDriverFiles();
  return 0;
}
