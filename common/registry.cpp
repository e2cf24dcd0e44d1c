#include "registry.h"

bool ReadDwordValue(HKEY key, const wchar_t* name, DWORD* value) {
  if (!key) return false;
  DWORD data = *value;
  DWORD size = sizeof(data);
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) !=
      ERROR_SUCCESS)
    return false;
  *value = data;
  return true;
}

bool ReadTextValue(HKEY key, const wchar_t* name, wchar_t* text, DWORD bufferBytes) {
  if (!key) return false;
  wchar_t* scratch = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                     bufferBytes + 2 * sizeof(wchar_t)));
  if (!scratch) return false;
  DWORD size = bufferBytes;
  LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(scratch), &size);
  bool ok = rc == ERROR_SUCCESS;
  if (ok) {
    scratch[size / sizeof(wchar_t)] = L'\0';
    CopyMemory(text, scratch, (size / sizeof(wchar_t) + 1) * sizeof(wchar_t));
  }
  HeapFree(GetProcessHeap(), 0, scratch);
  return ok;
}

LONG OpenKey(HKEY root, const wchar_t* path, REGSAM access, HKEY* key) {
  *key = nullptr;
  LONG rc = RegOpenKeyExW(root, path, 0, access, key);
  if (rc != ERROR_SUCCESS) *key = nullptr;
  return rc;
}
