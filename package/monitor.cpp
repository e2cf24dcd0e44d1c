// orvlpm.dll: the port monitor "MONorvl". Its ports are subkeys of the
// monitor's key ("Ports\<name>"); a job's data is accepted and discarded,
// since the job's pages reach the converter by another road.
//
// The calls back into the spooler at the end of a job go through the
// spooler's in-process router, spoolss.dll, as a monitor running inside the
// spooler makes them (winspool.drv would be an RPC round trip into the
// spooler's own process).
#include <windows.h>
#include <strsafe.h>
#include <winspool.h>
#include <winsplp.h>

#include <stddef.h>

namespace {

const wchar_t kMonitorName[] = L"MONorvl";
const wchar_t kMonitorKeyPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\MONorvl";
const wchar_t kPortsSubkey[] = L"Ports";
const wchar_t kPortDescription[] = L"Orvalis fax port";
enum : DWORD { kMaxPortChars = 63 };

// MONITOR2 grew with Windows XP by pfnSendRecvBidiDataFromPort after
// pfnShutdown; Windows 2000's spooler knows the record only up to
// pfnShutdown. Both sizes are taken from pfnShutdown's place: the x86 build
// compiles against the Windows 2000 headers, which lack both the later member
// and MONITOR2_SIZE_WIN2K, and the SDK's definition of that macro,
// sizeof(DWORD) + 18 pointers, equals ours on x86 but leaves out the padding
// after cbSize on x64, where it would cut pfnShutdown in half (Wine, told to
// report Windows 2000 to a 64-bit spooler, copies cbSize bytes and then
// calls the cut pointer; measured). The record is stored with room for the
// member after pfnShutdown, left null.
const DWORD kMonitor2SizeWin2k = offsetof(MONITOR2, pfnShutdown) + sizeof(PVOID);
const DWORD kMonitor2SizeXp = offsetof(MONITOR2, pfnShutdown) + 2 * sizeof(PVOID);
static_assert(sizeof(PVOID) != 4 || kMonitor2SizeWin2k == sizeof(DWORD) + 18 * sizeof(PVOID),
              "on x86 the Windows 2000 size is the SDK's MONITOR2_SIZE_WIN2K");
struct FunctionTable {
  MONITOR2 functions;
  PVOID room;  // pfnSendRecvBidiDataFromPort where the header lacks it
};
static_assert(kMonitor2SizeXp <= sizeof(FunctionTable), "the full record must fit");

// The spooler functions a job's end needs.
struct Router {
  HMODULE module;  // held while the monitor lives; null for the router
  BOOL(WINAPI* openPrinter)(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW);
  BOOL(WINAPI* setJob)(HANDLE, DWORD, DWORD, LPBYTE, DWORD);
  BOOL(WINAPI* closePrinter)(HANDLE);
};

struct Monitor {
  HANDLE spooler;
  HANDLE registryRoot;
  PMONITORREG reg;
  Router router;
  // The spooler calls a monitor from several threads: every change of the
  // port list and both passes of EnumPorts hold this lock.
  CRITICAL_SECTION portsLock;
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
void Free(void* p) {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}

// The "Ports" key, through the spooler's registry callbacks where the
// spooler implements them, else through the plain registry by path (the
// spooler may close the root handle it gave us once initialisation is over).
struct PortsKey {
  Monitor* monitor;
  bool viaSpooler;
  HANDLE spoolerKey;
  HKEY key;
};

LONG OpenPortsKey(Monitor* m, bool create, PortsKey* out) {
  *out = PortsKey{m, false, nullptr, nullptr};
  if (m->reg && m->registryRoot) {
    LONG r = ERROR_CALL_NOT_IMPLEMENTED;
    if (create && m->reg->fpCreateKey)
      r = m->reg->fpCreateKey(m->registryRoot, kPortsSubkey, 0, KEY_ALL_ACCESS, nullptr,
                              &out->spoolerKey, nullptr, m->spooler);
    else if (!create && m->reg->fpOpenKey)
      r = m->reg->fpOpenKey(m->registryRoot, kPortsSubkey, KEY_ALL_ACCESS, &out->spoolerKey,
                            m->spooler);
    if (r != ERROR_CALL_NOT_IMPLEMENTED) {
      out->viaSpooler = true;
      return r;
    }
  }
  wchar_t path[MAX_PATH];
  StringCchPrintfW(path, MAX_PATH, L"%s\\%s", kMonitorKeyPath, kPortsSubkey);
  if (create)
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           &out->key, nullptr);
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &out->key);
}

void ClosePortsKey(PortsKey* k) {
  if (k->viaSpooler && k->spoolerKey)
    k->monitor->reg->fpCloseKey(k->spoolerKey, k->monitor->spooler);
  if (!k->viaSpooler && k->key) RegCloseKey(k->key);
}

LONG CreatePortKey(PortsKey* k, const wchar_t* name, DWORD* disposition) {
  if (k->viaSpooler) {
    HANDLE sub = nullptr;
    LONG r = k->monitor->reg->fpCreateKey(k->spoolerKey, name, 0, KEY_ALL_ACCESS, nullptr, &sub,
                                          disposition, k->monitor->spooler);
    if (r == ERROR_SUCCESS) k->monitor->reg->fpCloseKey(sub, k->monitor->spooler);
    return r;
  }
  HKEY sub = nullptr;
  LONG r = RegCreateKeyExW(k->key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, disposition);
  if (r == ERROR_SUCCESS) RegCloseKey(sub);
  return r;
}

LONG DeletePortKey(PortsKey* k, const wchar_t* name) {
  if (k->viaSpooler) return k->monitor->reg->fpDeleteKey(k->spoolerKey, name, k->monitor->spooler);
  return RegDeleteKeyW(k->key, name);
}

LONG EnumPortKey(PortsKey* k, DWORD index, wchar_t* name, DWORD* chars) {
  if (k->viaSpooler)
    return k->monitor->reg->fpEnumKey(k->spoolerKey, index, name, chars, nullptr,
                                      k->monitor->spooler);
  return RegEnumKeyExW(k->key, index, name, chars, nullptr, nullptr, nullptr, nullptr);
}

// A port name from Xcv input: UTF-16, zero-terminated within the input,
// 1 to 63 characters, none of them a backslash or a comma.
bool PortNameFromInput(const BYTE* input, DWORD bytes, wchar_t* name) {
  if (!input || bytes < 2 * sizeof(wchar_t) || bytes % sizeof(wchar_t)) return false;
  const wchar_t* text = reinterpret_cast<const wchar_t*>(input);
  DWORD units = bytes / sizeof(wchar_t);
  DWORD len = 0;
  while (len < units && text[len]) ++len;
  if (len == units || len == 0 || len > kMaxPortChars) return false;
  for (DWORD i = 0; i < len; ++i)
    if (text[i] == L'\\' || text[i] == L',') return false;
  return SUCCEEDED(StringCchCopyW(name, kMaxPortChars + 1, text));
}

DWORD AddPortNamed(Monitor* m, const wchar_t* name) {
  PortsLock lock(m);
  PortsKey k;
  LONG r = OpenPortsKey(m, true, &k);
  if (r != ERROR_SUCCESS) return static_cast<DWORD>(r);
  DWORD disposition = 0;
  r = CreatePortKey(&k, name, &disposition);
  ClosePortsKey(&k);
  if (r != ERROR_SUCCESS) return static_cast<DWORD>(r);
  return disposition == REG_OPENED_EXISTING_KEY ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
}

DWORD DeletePortNamed(Monitor* m, const wchar_t* name) {
  PortsLock lock(m);
  PortsKey k;
  LONG r = OpenPortsKey(m, false, &k);
  if (r != ERROR_SUCCESS) return static_cast<DWORD>(r);
  r = DeletePortKey(&k, name);
  ClosePortsKey(&k);
  return static_cast<DWORD>(r);
}

// ---- the monitor's functions ---------------------------------------------------

// The bytes one port takes in the caller's buffer at this level.
DWORD PortBytes(DWORD level, DWORD nameChars) {
  DWORD bytes = (level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W)) +
                (nameChars + 1) * sizeof(wchar_t);
  if (level == 2) bytes += sizeof(kMonitorName) + sizeof(kPortDescription);
  return bytes;
}

// The bytes every port of the list takes; subkeys too long to be a port name
// of ours are skipped.
DWORD PortsBytes(PortsKey* k, DWORD level) {
  DWORD total = 0;
  wchar_t name[kMaxPortChars + 1];
  for (DWORD i = 0;; ++i) {
    DWORD chars = kMaxPortChars + 1;
    LONG r = EnumPortKey(k, i, name, &chars);
    if (r == ERROR_MORE_DATA) continue;
    if (r != ERROR_SUCCESS) break;
    total += PortBytes(level, chars);
  }
  return total;
}

// Texts are packed from the end of the needed size towards the records.
LPWSTR PackText(BYTE** texts, const wchar_t* s) {
  DWORD bytes = (lstrlenW(s) + 1) * sizeof(wchar_t);
  *texts -= bytes;
  CopyMemory(*texts, s, bytes);
  return reinterpret_cast<LPWSTR>(*texts);
}

BOOL WINAPI EnumPortsProc(HANDLE hMonitor, LPWSTR, DWORD level, LPBYTE ports, DWORD cbBuf,
                          LPDWORD needed, LPDWORD returned) {
  if (!needed || !returned) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *needed = 0;
  *returned = 0;
  if (level != 1 && level != 2) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  Monitor* m = static_cast<Monitor*>(hMonitor);
  PortsLock lock(m);
  PortsKey k;
  if (OpenPortsKey(m, false, &k) != ERROR_SUCCESS) return TRUE;  // no port yet
  DWORD total = PortsBytes(&k, level);
  *needed = total;
  if (cbBuf < total || (total && !ports)) {
    ClosePortsKey(&k);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // The lock keeps our own changes out, but the key can still change behind
  // the monitor's back (another process, a second monitor instance): every
  // record is checked against the room left, and a list that outgrew the
  // buffer is answered with its new size.
  BYTE* records = ports;
  BYTE* texts = ports + total;
  DWORD filled = 0;
  bool outgrown = false;
  wchar_t name[kMaxPortChars + 1];
  for (DWORD i = 0;; ++i) {
    DWORD chars = kMaxPortChars + 1;
    LONG r = EnumPortKey(&k, i, name, &chars);
    if (r == ERROR_MORE_DATA) continue;
    if (r != ERROR_SUCCESS) break;
    if (static_cast<DWORD>(texts - records) < PortBytes(level, chars)) {
      outgrown = true;
      break;
    }
    if (level == 1) {
      auto* info = reinterpret_cast<PORT_INFO_1W*>(records);
      info->pName = PackText(&texts, name);
      records += sizeof(PORT_INFO_1W);
    } else {
      auto* info = reinterpret_cast<PORT_INFO_2W*>(records);
      info->pPortName = PackText(&texts, name);
      info->pMonitorName = PackText(&texts, kMonitorName);
      info->pDescription = PackText(&texts, kPortDescription);
      info->fPortType = PORT_TYPE_WRITE;
      info->Reserved = 0;
      records += sizeof(PORT_INFO_2W);
    }
    ++filled;
  }
  if (outgrown) {
    *needed = PortsBytes(&k, level);
    ClosePortsKey(&k);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  ClosePortsKey(&k);
  *returned = filled;
  return TRUE;
}

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

// Tells the spooler that the job has left the queue, and lets go of the
// printer handle StartDocPort opened.
void FinishJob(Port* port) {
  if (!port->printer) return;
  const Router& router = port->monitor->router;
  router.setJob(port->printer, port->jobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
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

BOOL WINAPI AddPortProc(HANDLE, LPWSTR, HWND, LPWSTR) {
  // Ports are added through Xcv "AddPort"; there is no dialog.
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI AddPortExProc(HANDLE, LPWSTR, DWORD, LPBYTE, LPWSTR) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI ConfigurePortProc(HANDLE, LPWSTR, HWND, LPWSTR) {
  // The port has nothing to configure.
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI DeletePortProc(HANDLE hMonitor, LPWSTR, HWND, LPWSTR portName) {
  if (!portName || !*portName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD r = DeletePortNamed(static_cast<Monitor*>(hMonitor), portName);
  if (r == ERROR_SUCCESS) return TRUE;
  SetLastError(r);
  return FALSE;
}

BOOL WINAPI XcvOpenPortProc(HANDLE hMonitor, LPCWSTR, ACCESS_MASK access, PHANDLE handle) {
  if (!handle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Xcv* xcv = Allocate<Xcv>();
  if (!xcv) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  xcv->monitor = static_cast<Monitor*>(hMonitor);
  xcv->access = access;
  *handle = xcv;
  return TRUE;
}

DWORD WINAPI XcvDataPortProc(HANDLE hXcv, LPCWSTR command, PBYTE input, DWORD inputBytes, PBYTE,
                             DWORD, PDWORD outputNeeded) {
  Xcv* xcv = static_cast<Xcv*>(hXcv);
  if (!xcv || !command) return ERROR_INVALID_PARAMETER;
  if (outputNeeded) *outputNeeded = 0;
  bool add = lstrcmpW(command, L"AddPort") == 0;
  bool remove = lstrcmpW(command, L"DeletePort") == 0;
  if (!add && !remove) return ERROR_NOT_SUPPORTED;
  if (!(xcv->access & SERVER_ACCESS_ADMINISTER)) return ERROR_ACCESS_DENIED;
  wchar_t name[kMaxPortChars + 1];
  if (!PortNameFromInput(input, inputBytes, name)) return ERROR_INVALID_PARAMETER;
  return add ? AddPortNamed(xcv->monitor, name) : DeletePortNamed(xcv->monitor, name);
}

BOOL WINAPI XcvClosePortProc(HANDLE hXcv) {
  Free(hXcv);
  return TRUE;
}

VOID WINAPI ShutdownProc(HANDLE hMonitor) {
  Monitor* m = static_cast<Monitor*>(hMonitor);
  if (!m) return;
  DeleteCriticalSection(&m->portsLock);
  if (m->router.module) FreeLibrary(m->router.module);
  Free(m);
}

// The spooler's router (spoolss.dll) as Windows provides it. Wine 8's
// spoolss.dll exports OpenPrinterW, SetJobW and ClosePrinter only as
// unimplemented stubs that raise an exception when called; there, and only
// there, winspool.drv is used instead, which Wine runs inside the calling
// process anyway (its spooler has no process of its own). Wine 8's spooler
// itself calls StartDocPort without a printer name, so only direct callers
// reach these calls there (measured).
bool UseRouter(Router* router) {
  *router = Router{nullptr, OpenPrinterW, SetJobW, ClosePrinter};
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
  *router = Router{winspool, open, set, close};
  return true;
}

// InitializePrintMonitor2: the Windows 2000 size (MONITOR2_SIZE_WIN2K) on
// Windows 2000, where the spooler knows the shorter record; the full record
// (through pfnSendRecvBidiDataFromPort, left null) on every later Windows.
DWORD FunctionTableSize() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  if (GetVersionExW(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
      version.dwMajorVersion == 5 && version.dwMinorVersion == 0)
    return kMonitor2SizeWin2k;
  return kMonitor2SizeXp;
}

FunctionTable g_table = {};

}  // namespace

extern "C" __declspec(dllexport) LPMONITOR2 WINAPI
    InitializePrintMonitor2(PMONITORINIT init, PHANDLE hMonitor) {
  if (!init || !hMonitor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Monitor* m = Allocate<Monitor>();
  if (!m) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!UseRouter(&m->router)) {
    DWORD error = GetLastError();
    Free(m);
    SetLastError(error ? error : ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  InitializeCriticalSection(&m->portsLock);
  m->spooler = init->hSpooler;
  m->registryRoot = init->hckRegistryRoot;
  m->reg = init->pMonitorReg;
  MONITOR2& functions = g_table.functions;
  functions.cbSize = FunctionTableSize();
  functions.pfnEnumPorts = EnumPortsProc;
  functions.pfnOpenPort = OpenPortProc;
  functions.pfnStartDocPort = StartDocPortProc;
  functions.pfnWritePort = WritePortProc;
  functions.pfnReadPort = ReadPortProc;
  functions.pfnEndDocPort = EndDocPortProc;
  functions.pfnClosePort = ClosePortProc;
  functions.pfnAddPort = AddPortProc;
  functions.pfnAddPortEx = AddPortExProc;
  functions.pfnConfigurePort = ConfigurePortProc;
  functions.pfnDeletePort = DeletePortProc;
  functions.pfnXcvOpenPort = XcvOpenPortProc;
  functions.pfnXcvDataPort = XcvDataPortProc;
  functions.pfnXcvClosePort = XcvClosePortProc;
  functions.pfnShutdown = ShutdownProc;
  *hMonitor = m;
  return &g_table.functions;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
