// Holds a port monitor initialised, as Windows' spooler holds every port
// monitor from its start until it stops. Wine's spooler lives inside each
// program that calls it and ends with that program, so what the monitor
// makes at its start (the kill event) would end with it: tools/check-msi runs
// this beside the collectors instead. Never shipped.
// Usage: orvl-monitor-host.exe MONITOR.DLL; prints "ready" once initialised
// and then waits until it is ended.
#include <windows.h>
#include <winspool.h>
// after winspool.h
#include <winsplp.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HMODULE dll = LoadLibraryW(argv[1]);
  auto init = reinterpret_cast<LPMONITOR2(WINAPI*)(PMONITORINIT, PHANDLE)>(
      reinterpret_cast<void*>(dll ? GetProcAddress(dll, "InitializePrintMonitor2") : nullptr));
  MONITORINIT mi = {};
  mi.cbSize = sizeof(mi);
  mi.bLocal = TRUE;
  HANDLE monitor = nullptr;
  if (!init || !init(&mi, &monitor)) return 1;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &written, nullptr);
  Sleep(INFINITE);
  return 0;
}
