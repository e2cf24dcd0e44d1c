// orvlpm.dll: the port monitor "MONorvl". Its ports are subkeys of the
// monitor's key ("Ports\<name>"); a job's data is accepted and discarded,
// since the job's pages reach the converter by another road.
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

struct Monitor {
  HANDLE spooler;
  HANDLE registryRoot;
  PMONITORREG reg;
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
  PortsKey k;
  LONG r = OpenPortsKey(m, false, &k);
  if (r != ERROR_SUCCESS) return static_cast<DWORD>(r);
  r = DeletePortKey(&k, name);
  ClosePortsKey(&k);
  return static_cast<DWORD>(r);
}

// ---- the monitor's functions ---------------------------------------------------

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
  PortsKey k;
  if (OpenPortsKey(m, false, &k) != ERROR_SUCCESS) return TRUE;  // no port yet
  // Two passes over the subkeys: the size first, then the records, with the
  // texts packed from the buffer's end.
  DWORD recordBytes = level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W);
  DWORD count = 0;
  DWORD total = 0;
  wchar_t name[kMaxPortChars + 1];
  for (DWORD i = 0;; ++i) {
    DWORD chars = kMaxPortChars + 1;
    LONG r = EnumPortKey(&k, i, name, &chars);
    if (r == ERROR_MORE_DATA) continue;  // not a port name of ours
    if (r != ERROR_SUCCESS) break;
    ++count;
    total += recordBytes + (chars + 1) * sizeof(wchar_t);
    if (level == 2) total += sizeof(kMonitorName) + sizeof(kPortDescription);
  }
  *needed = total;
  if (cbBuf < total || (total && !ports)) {
    ClosePortsKey(&k);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  BYTE* texts = ports + total;
  auto pack = [&texts](const wchar_t* s) {
    DWORD bytes = (lstrlenW(s) + 1) * sizeof(wchar_t);
    texts -= bytes;
    CopyMemory(texts, s, bytes);
    return reinterpret_cast<LPWSTR>(texts);
  };
  DWORD filled = 0;
  for (DWORD i = 0; filled < count; ++i) {
    DWORD chars = kMaxPortChars + 1;
    LONG r = EnumPortKey(&k, i, name, &chars);
    if (r == ERROR_MORE_DATA) continue;
    if (r != ERROR_SUCCESS) break;
    if (level == 1) {
      auto* info = reinterpret_cast<PORT_INFO_1W*>(ports) + filled;
      info->pName = pack(name);
    } else {
      auto* info = reinterpret_cast<PORT_INFO_2W*>(ports) + filled;
      info->pPortName = pack(name);
      info->pMonitorName = pack(kMonitorName);
      info->pDescription = pack(kPortDescription);
      info->fPortType = PORT_TYPE_WRITE;
      info->Reserved = 0;
    }
    ++filled;
  }
  ClosePortsKey(&k);
  count = filled;
  *returned = count;
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

BOOL WINAPI StartDocPortProc(HANDLE hPort, LPWSTR printerName, DWORD jobId, DWORD, LPBYTE) {
  Port* port = static_cast<Port*>(hPort);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  port->jobId = jobId;
  port->bytes = 0;
  port->printer = nullptr;
  // Kept to tell the spooler at the end that the job has left the queue.
  if (printerName && !OpenPrinterW(printerName, &port->printer, nullptr)) port->printer = nullptr;
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
  if (port->printer) {
    SetJobW(port->printer, port->jobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
    ClosePrinter(port->printer);
    port->printer = nullptr;
  }
  return TRUE;
}

BOOL WINAPI ClosePortProc(HANDLE hPort) {
  Port* port = static_cast<Port*>(hPort);
  if (port && port->printer) ClosePrinter(port->printer);
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

VOID WINAPI ShutdownProc(HANDLE hMonitor) { Free(hMonitor); }

MONITOR2 g_functions = {};

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
  m->spooler = init->hSpooler;
  m->registryRoot = init->hckRegistryRoot;
  m->reg = init->pMonitorReg;
  // The size of the record as Windows 2000 knows it: no bidirectional calls.
  g_functions.cbSize = offsetof(MONITOR2, pfnShutdown) + sizeof(g_functions.pfnShutdown);
  g_functions.pfnEnumPorts = EnumPortsProc;
  g_functions.pfnOpenPort = OpenPortProc;
  g_functions.pfnStartDocPort = StartDocPortProc;
  g_functions.pfnWritePort = WritePortProc;
  g_functions.pfnReadPort = ReadPortProc;
  g_functions.pfnEndDocPort = EndDocPortProc;
  g_functions.pfnClosePort = ClosePortProc;
  g_functions.pfnAddPort = AddPortProc;
  g_functions.pfnAddPortEx = AddPortExProc;
  g_functions.pfnConfigurePort = ConfigurePortProc;
  g_functions.pfnDeletePort = DeletePortProc;
  g_functions.pfnXcvOpenPort = XcvOpenPortProc;
  g_functions.pfnXcvDataPort = XcvDataPortProc;
  g_functions.pfnXcvClosePort = XcvClosePortProc;
  g_functions.pfnShutdown = ShutdownProc;
  *hMonitor = m;
  return &g_functions;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
