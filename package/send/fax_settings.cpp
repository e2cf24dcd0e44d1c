// Where the fax goes and as whom: values under Software\Orvalis, the user's
// (HKCU) before the machine's (HKLM).
//   FaxServer    "host" or "host:port" (HKLM, and HKCU to override it)
//   FaxUser      the user's account on the fax server (HKCU; default: the Windows user name)
//   FaxPassword  the user's password, remembered on request, encrypted for
//                the user with CryptProtectData (HKCU, binary)
// wincrypt.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on
#include <strsafe.h>

#include "fax_send.h"
#include "registry.h"
#include "scoped.h"

namespace {

bool ReadText(HKEY root, const wchar_t* name, wchar_t* text) {
  wchar_t path[kPathUnits];
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  ScopedKey key;
  if (OpenKey(root, path, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
  wchar_t value[kPathUnits + 1] = {};
  if (!ReadTextValue(key.get(), name, value, (kPathUnits - 1) * sizeof(wchar_t))) return false;
  // Blanks around a typed value are no part of it.
  wchar_t* start = value;
  while (*start == L' ' || *start == L'\t') ++start;
  size_t length = lstrlenW(start);
  while (length && (start[length - 1] == L' ' || start[length - 1] == L'\t')) start[--length] = 0;
  if (!length) return false;
  return SUCCEEDED(StringCchCopyW(text, kPathUnits, start));
}

}  // namespace

bool ReadFaxServer(wchar_t* server) {
  return ReadText(HKEY_CURRENT_USER, L"FaxServer", server) ||
         ReadText(HKEY_LOCAL_MACHINE, L"FaxServer", server);
}

void ReadFaxUser(wchar_t* user) {
  if (ReadText(HKEY_CURRENT_USER, L"FaxUser", user)) return;
  DWORD units = kPathUnits;
  if (!GetUserNameW(user, &units)) StringCchCopyW(user, kPathUnits, L"orvalis");
}

bool ReadFaxPassword(wchar_t* password, unsigned units) {
  wchar_t path[kPathUnits];
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  ScopedKey key;
  if (OpenKey(HKEY_CURRENT_USER, path, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
  BYTE blob[2048];
  DWORD size = sizeof blob, type = 0;
  if (RegQueryValueExW(key.get(), L"FaxPassword", nullptr, &type, blob, &size) != ERROR_SUCCESS ||
      type != REG_BINARY)
    return false;
  DATA_BLOB in = {size, blob}, out = {};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
    return false;
  bool ok = out.cbData % sizeof(wchar_t) == 0 && out.cbData / sizeof(wchar_t) < units;
  if (ok) {
    CopyMemory(password, out.pbData, out.cbData);
    password[out.cbData / sizeof(wchar_t)] = L'\0';
  }
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return ok;
}

bool RememberFaxPassword(const wchar_t* password) {
  wchar_t path[kPathUnits];
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  ScopedKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS)
    return false;
  DATA_BLOB in = {static_cast<DWORD>(lstrlenW(password) * sizeof(wchar_t)),
                  reinterpret_cast<BYTE*>(const_cast<wchar_t*>(password))},
            out = {};
  if (!CryptProtectData(&in, L"Orvalis fax server", nullptr, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN, &out))
    return false;
  bool ok = RegSetValueExW(key.get(), L"FaxPassword", 0, REG_BINARY, out.pbData, out.cbData) ==
            ERROR_SUCCESS;
  LocalFree(out.pbData);
  return ok;
}
