// A job at the port: its data is accepted and discarded (the pages reach the
// converter by another road). The calls back into the spooler at the end of a
// job go through the spooler's in-process router, spoolss.dll, as a monitor
// running inside the spooler makes them (winspool.drv would be an RPC round
// trip into the spooler's own process).
#include "monitor.h"

namespace orvlpm {

BOOL WINAPI OpenPortProc(HANDLE hMonitor, LPWSTR name, PHANDLE handle) {
  if (!name || !handle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Port* port = Allocate<Port>();
  if (!port) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  port->monitor = static_cast<Monitor*>(hMonitor);
  StringCchCopyW(port->name, kMaxPortChars + 1, name);
  *handle = port;
  return TRUE;
}

namespace {

DWORD KeepJobsDays() {
  DWORD days = kKeepJobsDaysDefault, size = sizeof(days), type = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Orvalis", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return days;
  if (RegQueryValueExW(key, kKeepJobsDaysValue, nullptr, &type, reinterpret_cast<BYTE*>(&days),
                       &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(days))
    days = kKeepJobsDaysDefault;
  RegCloseKey(key);
  return days;
}

ULONGLONG Ticks(const SYSTEMTIME& t) {
  FILETIME f = {};
  SystemTimeToFileTime(&t, &f);
  return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

// The spooler keeps every printed job of the printer so that the user's
// collector can read it; jobs no collector takes (RAW jobs, other machines'
// jobs, accounts that never run one, jobs given up) would stay for as long
// as the spooler lives. Finished ones older than KeepJobsDays go, whoever's
// they are: the monitor runs as SYSTEM.
void PurgeKeptJobs(const Router& router, HANDLE printer, DWORD current) {
  DWORD days = KeepJobsDays();
  if (!days || !router.enumJobs) return;
  DWORD needed = 0, count = 0;
  router.enumJobs(printer, 0, 100000, 1, nullptr, 0, &needed, &count);
  if (!needed) return;
  BYTE* buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, needed));
  if (!buffer) return;
  if (router.enumJobs(printer, 0, 100000, 1, buffer, needed, &needed, &count)) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    const ULONGLONG age = static_cast<ULONGLONG>(days) * 24 * 3600 * 10000000;
    const DWORD done = JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;
    const DWORD busy = JOB_STATUS_SPOOLING | JOB_STATUS_PRINTING | JOB_STATUS_DELETING |
                       JOB_STATUS_DELETED | JOB_STATUS_RESTART;
    const JOB_INFO_1W* jobs = reinterpret_cast<const JOB_INFO_1W*>(buffer);
    for (DWORD i = 0; i < count; ++i) {
      const JOB_INFO_1W& job = jobs[i];
      if (job.JobId != current && (job.Status & done) && !(job.Status & busy) &&
          Ticks(now) - Ticks(job.Submitted) > age)
        router.setJob(printer, job.JobId, 0, nullptr, JOB_CONTROL_DELETE);
    }
  }
  HeapFree(GetProcessHeap(), 0, buffer);
}

}  // namespace

// Tells the spooler that the job has left the queue, purges kept jobs past
// their days, and lets go of the printer handle StartDocPort opened.
void FinishJob(Port* port) {
  if (!port->printer) return;
  const Router& router = port->monitor->router;
  router.setJob(port->printer, port->jobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
  PurgeKeptJobs(router, port->printer, port->jobId);
  router.closePrinter(port->printer);
  port->printer = nullptr;
}

BOOL WINAPI StartDocPortProc(HANDLE hPort, LPWSTR printerName, DWORD jobId, DWORD, LPBYTE) {
  Port* port = static_cast<Port*>(hPort);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A handle left by an earlier job that never got EndDocPort would leak
  // inside the spooler with every such job: close it first.
  if (port->printer) {
    port->monitor->router.closePrinter(port->printer);
    port->printer = nullptr;
  }
  port->jobId = jobId;
  port->bytes = 0;
  // Kept to tell the spooler at the end that the job has left the queue.
  if (printerName && !port->monitor->router.openPrinter(printerName, &port->printer, nullptr))
    port->printer = nullptr;
  return TRUE;
}

BOOL WINAPI WritePortProc(HANDLE hPort, LPBYTE, DWORD cbBuf, LPDWORD written) {
  Port* port = static_cast<Port*>(hPort);
  if (!port || !written) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  port->bytes += cbBuf;
  *written = cbBuf;
  return TRUE;
}

BOOL WINAPI ReadPortProc(HANDLE, LPBYTE, DWORD, LPDWORD read) {
  if (read) *read = 0;
  return TRUE;
}

BOOL WINAPI EndDocPortProc(HANDLE hPort) {
  Port* port = static_cast<Port*>(hPort);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  FinishJob(port);
  return TRUE;
}

BOOL WINAPI ClosePortProc(HANDLE hPort) {
  Port* port = static_cast<Port*>(hPort);
  if (port && port->printer) port->monitor->router.closePrinter(port->printer);
  Free(port);
  return TRUE;
}

// The spooler's router (spoolss.dll) as Windows provides it. Wine 8's
// spoolss.dll exports OpenPrinterW, SetJobW and ClosePrinter only as
// unimplemented stubs that raise an exception when called; there, and only
// there, winspool.drv is used instead, which Wine runs inside the calling
// process anyway (its spooler has no process of its own). Wine 8's spooler
// itself calls StartDocPort without a printer name, so only direct callers
// reach these calls there (measured).
bool UseRouter(Router* router) {
  *router = Router{nullptr, OpenPrinterW, SetJobW, ClosePrinter, EnumJobsW};
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return true;
  HMODULE winspool = LoadLibraryW(L"winspool.drv");
  if (!winspool) return false;
  auto open = reinterpret_cast<decltype(router->openPrinter)>(
      reinterpret_cast<void*>(GetProcAddress(winspool, "OpenPrinterW")));
  auto set = reinterpret_cast<decltype(router->setJob)>(
      reinterpret_cast<void*>(GetProcAddress(winspool, "SetJobW")));
  auto close = reinterpret_cast<decltype(router->closePrinter)>(
      reinterpret_cast<void*>(GetProcAddress(winspool, "ClosePrinter")));
  if (!open || !set || !close) {
    FreeLibrary(winspool);
    return false;
  }
  auto enumJobs = reinterpret_cast<decltype(router->enumJobs)>(
      reinterpret_cast<void*>(GetProcAddress(winspool, "EnumJobsW")));
  *router = Router{winspool, open, set, close, enumJobs};
  return true;
}

}  // namespace orvlpm
