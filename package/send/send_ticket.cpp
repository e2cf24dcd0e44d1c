#include "send_ticket.h"

#include <strsafe.h>

#include "scoped.h"

namespace {
const wchar_t kSection[] = L"Send";
}

bool ReadSendTicket(const wchar_t* folder, SendTicket* t) {
  ZeroMemory(t, sizeof *t);
  if (FAILED(StringCchPrintfW(t->path, kPathUnits, L"%s\\job.ini", folder))) return false;
  GetPrivateProfileStringW(kSection, L"Number", L"", t->number, kPathUnits, t->path);
  GetPrivateProfileStringW(kSection, L"Name", L"", t->name, kPathUnits, t->path);
  GetPrivateProfileStringW(kSection, L"Server", L"", t->server, kPathUnits, t->path);
  GetPrivateProfileStringW(kSection, L"Tag", L"", t->tag, kPathUnits, t->path);
  GetPrivateProfileStringW(kSection, L"State", L"", t->state, ARRAYSIZE(t->state), t->path);
  // A job id is a positive number of digits; anything else is no id.
  wchar_t id[16] = {};
  GetPrivateProfileStringW(kSection, L"JobId", L"", id, ARRAYSIZE(id), t->path);
  unsigned value = 0;
  for (const wchar_t* c = id; *c; ++c) {
    if (*c < L'0' || *c > L'9' || value > 99999999) {
      value = 0;
      break;
    }
    value = value * 10 + (*c - L'0');
  }
  t->jobId = value;
  return true;
}

bool MarkSendTicket(const SendTicket& t, const wchar_t* key, const wchar_t* value) {
  if (!WritePrivateProfileStringW(kSection, key, value, t.path)) return false;
  // MSDN: the profile functions may cache; a call with all three names null flushes it.
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, t.path);
  ScopedHandle file(CreateFileW(t.path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && FlushFileBuffers(file.get());
}
