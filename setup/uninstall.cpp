// Removal: everything the installation added, tolerant of what is missing.
#include <windows.h>
#include <strsafe.h>
#include <winspool.h>

#include <vector>

#include "setup.h"

namespace {

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

// Fetches a spooler list in two calls (size, then data). Returns false when
// the fetch failed; an empty list (size 0) is no failure.
template <typename Enumerate>
bool FetchList(Enumerate enumerate, std::vector<BYTE>& buffer, DWORD* count) {
  DWORD needed = 0;
  *count = 0;
  enumerate(nullptr, 0, &needed, count);
  if (needed == 0) return true;
  buffer.assign(needed, 0);
  return enumerate(buffer.data(), needed, &needed, count) != 0;
}

void SignalKillEvent() {
  wchar_t name[kPathUnits];
  StringCchPrintfW(name, kPathUnits, ORVL_KILL_EVENT_FORMAT, ORVL_PRODUCT_NAME);
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (!event) return;
  PulseEvent(event);
  CloseHandle(event);
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
  std::vector<BYTE> buffer;
  DWORD count = 0;
  bool fetched = FetchList(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return EnumPortsW(nullptr, 2, data, size, needed, returned);
      },
      buffer, &count);
  if (!fetched) {
    if (!g_setup.silentMode) ReportError(L"EnumPorts() failed.", 0, nullptr);
    return;
  }
  auto* ports = reinterpret_cast<PORT_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i)
    if (ports[i].pPortName && SameNameAsciiNoCase(ports[i].pPortName, ORVL_PORT_NAME))
      DeletePortW(nullptr, nullptr, const_cast<wchar_t*>(ORVL_PORT_NAME));
}

void DeleteOrvalisMonitor(const wchar_t* systemDir) {
  std::vector<BYTE> buffer;
  DWORD count = 0;
  bool fetched = FetchList(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return EnumMonitorsW(nullptr, 1, data, size, needed, returned);
      },
      buffer, &count);
  if (!fetched) {
    if (!g_setup.silentMode) ReportError(L"EnumMonitors() failed.", 0, nullptr);
    return;
  }
  auto* monitors = reinterpret_cast<MONITOR_INFO_1W*>(buffer.data());
  // A DLL copied by an install that failed to register the monitor is not
  // held by the spooler, so it goes too; a registered monitor whose deletion
  // fails keeps its DLL.
  bool deleteDll = true;
  for (DWORD i = 0; i < count; ++i) {
    if (!monitors[i].pName || !SameNameAsciiNoCase(monitors[i].pName, ORVL_MONITOR_NAME)) continue;
    deleteDll = DeleteMonitorW(nullptr, nullptr, const_cast<wchar_t*>(ORVL_MONITOR_NAME)) != 0;
    break;
  }
  if (deleteDll) {
    wchar_t dll[kPathUnits];
    StringCchPrintfW(dll, kPathUnits, L"%s\\%s", systemDir, ORVL_MONITOR_DLL);
    DeleteFileW(dll);
  }
}

void DeleteOrvalisDriver() {
  std::vector<BYTE> buffer;
  DWORD count = 0;
  bool fetched = FetchList(
      [](BYTE* data, DWORD size, DWORD* needed, DWORD* returned) {
        return EnumPrinterDriversW(nullptr, nullptr, 1, data, size, needed, returned);
      },
      buffer, &count);
  if (!fetched) {
    if (!g_setup.silentMode) ReportError(L"EnumPrinterDrivers() failed.", 0, nullptr);
    return;
  }
  auto* drivers = reinterpret_cast<DRIVER_INFO_1W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i)
    if (drivers[i].pName && SameNameAsciiNoCase(drivers[i].pName, ORVL_PRODUCT_NAME))
      DeletePrinterDriverW(nullptr, nullptr, const_cast<wchar_t*>(ORVL_PRODUCT_NAME));
}

void DeleteDriverFiles() {
  static const wchar_t* const kDriverFiles[] = {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe",
                                                L"orvl.ini"};
  wchar_t dir[kPathUnits];
  DWORD needed = 0;
  // Without the directory there is no path to delete by.
  if (!GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(dir),
                                  kPathUnits * sizeof(wchar_t), &needed))
    return;
  StringCchCatW(dir, kPathUnits, L"\\3\\");
  for (const wchar_t* file : kDriverFiles) {
    wchar_t path[kPathUnits];
    if (SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s%s", dir, file))) DeleteFileW(path);
  }
}

}  // namespace

bool SameNameAsciiNoCase(const wchar_t* a, const wchar_t* b) {
  for (; *a && *b; ++a, ++b)
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
  return *a == *b;
}

int UninstallPrinter() {
  wchar_t systemDir[kPathUnits] = L"";
  GetSystemDirectoryW(systemDir, kPathUnits);
  SignalKillEvent();
  DeleteOrvalisPrinter();
  DeleteOrvalisPort();
  DeleteOrvalisMonitor(systemDir);
  DeleteOrvalisDriver();
  DeleteDriverFiles();
  return 0;
}
