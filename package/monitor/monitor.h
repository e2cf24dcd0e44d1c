// The port monitor "MONorvl" (orvlpm.dll), in three parts:
//   monitor.cpp  the function table handed to the spooler, start and shutdown;
//   ports.cpp    the ports, kept as subkeys of the monitor's key, and Xcv;
//   jobs.cpp     a job at the port, and the spooler calls at its end.
#pragma once

#include <strsafe.h>
#include <windows.h>
#include <winsplp.h>
#include <winspool.h>

namespace orvlpm {

const wchar_t kMonitorName[] = L"MONorvl";
const wchar_t kMonitorKeyPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\MONorvl";
const wchar_t kPortsSubkey[] = L"Ports";
const wchar_t kPortDescription[] = L"Orvalis fax port";
enum : DWORD { kMaxPortChars = 63 };

// The spooler functions a job's end needs.
struct Router {
  HMODULE module;  // held while the monitor lives; null for the router
  BOOL(WINAPI* openPrinter)(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW);
  BOOL(WINAPI* setJob)(HANDLE, DWORD, DWORD, LPBYTE, DWORD);
  BOOL(WINAPI* closePrinter)(HANDLE);
  BOOL(WINAPI* enumJobs)(HANDLE, DWORD, DWORD, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
};

// Kept jobs (the printer keeps every printed job for the collectors) that no
// collector takes are deleted once they are older than this many days
// (HKLM\Software\Orvalis KeepJobsDays, REG_DWORD; 0: never), each time a
// job ends at the port.
const wchar_t kKeepJobsDaysValue[] = L"KeepJobsDays";
enum : DWORD { kKeepJobsDaysDefault = 7 };

struct Monitor {
  HANDLE spooler;
  HANDLE registryRoot;
  PMONITORREG reg;
  Router router;
  // The spooler calls a monitor from several threads: every change of the
  // port list and both passes of EnumPorts hold this lock.
  CRITICAL_SECTION portsLock;
  HANDLE killEvent;  // Global\Orvalis_killevent, held while the monitor lives
};

struct PortsLock {
  explicit PortsLock(Monitor* m) : monitor(m) { EnterCriticalSection(&monitor->portsLock); }
  ~PortsLock() { LeaveCriticalSection(&monitor->portsLock); }
  PortsLock(const PortsLock&) = delete;
  PortsLock& operator=(const PortsLock&) = delete;
  Monitor* monitor;
};

struct Xcv {
  Monitor* monitor;
  ACCESS_MASK access;
};

struct Port {
  Monitor* monitor;
  wchar_t name[kMaxPortChars + 1];
  HANDLE printer;
  DWORD jobId;
  ULONGLONG bytes;
};

template <typename T>
T* Allocate() {
  return static_cast<T*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(T)));
}
inline void Free(void* p) {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}

// The kill event that setup pulses at a removal (monitor.cpp), created here
// as SYSTEM before anyone logs on: owner SYSTEM; SYSTEM and Administrators
// all access; Everyone may only wait on it and read its security.
// Manual-reset, so that one pulse releases every waiting collector; since no
// user may set it, no signal can be held that would stop later collectors.
extern const wchar_t kKillEventName[];
extern const wchar_t kKillEventSddl[];

// The spooler's router, or what stands in for it (jobs.cpp).
bool UseRouter(Router* router);

// The monitor's functions, as the function table names them.
BOOL WINAPI EnumPortsProc(HANDLE hMonitor, LPWSTR, DWORD level, LPBYTE ports, DWORD cbBuf,
                          LPDWORD needed, LPDWORD returned);
BOOL WINAPI OpenPortProc(HANDLE hMonitor, LPWSTR name, PHANDLE handle);
BOOL WINAPI StartDocPortProc(HANDLE hPort, LPWSTR printerName, DWORD jobId, DWORD, LPBYTE);
BOOL WINAPI WritePortProc(HANDLE hPort, LPBYTE, DWORD cbBuf, LPDWORD written);
BOOL WINAPI ReadPortProc(HANDLE, LPBYTE, DWORD, LPDWORD read);
BOOL WINAPI EndDocPortProc(HANDLE hPort);
BOOL WINAPI ClosePortProc(HANDLE hPort);
BOOL WINAPI AddPortProc(HANDLE, LPWSTR, HWND, LPWSTR);
BOOL WINAPI AddPortExProc(HANDLE, LPWSTR, DWORD, LPBYTE, LPWSTR);
BOOL WINAPI ConfigurePortProc(HANDLE, LPWSTR, HWND, LPWSTR);
BOOL WINAPI DeletePortProc(HANDLE hMonitor, LPWSTR, HWND, LPWSTR portName);
BOOL WINAPI XcvOpenPortProc(HANDLE hMonitor, LPCWSTR, ACCESS_MASK access, PHANDLE handle);
DWORD WINAPI XcvDataPortProc(HANDLE hXcv, LPCWSTR command, PBYTE input, DWORD inputBytes, PBYTE,
                             DWORD, PDWORD outputNeeded);
BOOL WINAPI XcvClosePortProc(HANDLE hXcv);

}  // namespace orvlpm
