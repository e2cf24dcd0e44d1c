// Prints what the spooler shows of Orvalis: monitor, port, driver, printer.
// Built and run by tools/demo-setup.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <vector>

namespace {

template <typename F>
std::vector<BYTE> Fetch(F call, DWORD* count) {
  DWORD needed = 0;
  *count = 0;
  call(nullptr, 0, &needed, count);
  std::vector<BYTE> buffer(needed ? needed : 1);
  if (!call(buffer.data(), needed, &needed, count)) *count = 0;
  return buffer;
}

bool Is(const wchar_t* a, const wchar_t* b) { return a && lstrcmpiW(a, b) == 0; }

}  // namespace

int main() {
  DWORD n = 0;
  int found = 0;
  auto monitors = Fetch(
      [](BYTE* b, DWORD s, DWORD* nd, DWORD* r) { return EnumMonitorsW(nullptr, 2, b, s, nd, r); },
      &n);
  for (DWORD i = 0; i < n; ++i) {
    auto& m = reinterpret_cast<MONITOR_INFO_2W*>(monitors.data())[i];
    if (Is(m.pName, L"MONorvl")) {
      wprintf(L"monitor: %ls (dll %ls)\n", m.pName, m.pDLLName ? m.pDLLName : L"");
      ++found;
    }
  }
  auto ports = Fetch(
      [](BYTE* b, DWORD s, DWORD* nd, DWORD* r) { return EnumPortsW(nullptr, 2, b, s, nd, r); },
      &n);
  for (DWORD i = 0; i < n; ++i) {
    auto& p = reinterpret_cast<PORT_INFO_2W*>(ports.data())[i];
    if (Is(p.pPortName, L"orvl")) {
      wprintf(L"port: %ls (monitor %ls)\n", p.pPortName, p.pMonitorName ? p.pMonitorName : L"");
      ++found;
    }
  }
  auto drivers =
      Fetch([](BYTE* b, DWORD s, DWORD* nd,
               DWORD* r) { return EnumPrinterDriversW(nullptr, nullptr, 3, b, s, nd, r); },
            &n);
  for (DWORD i = 0; i < n; ++i) {
    auto& d = reinterpret_cast<DRIVER_INFO_3W*>(drivers.data())[i];
    if (Is(d.pName, L"Orvalis")) {
      wprintf(L"driver: %ls (version %lu, data %ls, config %ls)\n", d.pName, d.cVersion,
              d.pDataFile ? d.pDataFile : L"", d.pConfigFile ? d.pConfigFile : L"");
      ++found;
    }
  }
  auto printers =
      Fetch([](BYTE* b, DWORD s, DWORD* nd,
               DWORD* r) { return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, b, s, nd, r); },
            &n);
  for (DWORD i = 0; i < n; ++i) {
    auto& p = reinterpret_cast<PRINTER_INFO_2W*>(printers.data())[i];
    if (Is(p.pPrinterName, L"Orvalis")) {
      wprintf(L"printer: %ls (port %ls, driver %ls, %ls/%ls, attributes 0x%lx)\n", p.pPrinterName,
              p.pPortName ? p.pPortName : L"", p.pDriverName ? p.pDriverName : L"",
              p.pPrintProcessor ? p.pPrintProcessor : L"", p.pDatatype ? p.pDatatype : L"",
              p.Attributes);
      ++found;
    }
  }
  if (!found) wprintf(L"nothing of Orvalis in the spooler\n");
  return 0;
}
