// The monitor's ports: subkeys of its key ("Ports\\<name>"), listed, added
// and deleted under one lock, and the Xcv channel that adds and deletes them.
#include "monitor.h"

namespace orvlpm {
namespace {

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

}  // namespace

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

}  // namespace orvlpm
