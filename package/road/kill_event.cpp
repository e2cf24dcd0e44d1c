// The kill event that setup pulses at the start of a removal. The port
// monitor makes it as SYSTEM when the spooler starts (package/monitor); a
// collector only opens it, to wait, and trusts it only when no user could
// have made it or may signal it: otherwise anyone could stop every
// collector, or keep later ones from running, by setting an event they own.
#include <aclapi.h>
#include <strsafe.h>
#include <windows.h>

#include "collector.h"
#include "product.h"
#include "road_log.h"

namespace {

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(known);
  return sid && CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

bool IsSystemOrAdministrators(PSID sid) {
  return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid);
}

// Rights that signal or reset the event, or change who may.
const ACCESS_MASK kSignalRights = EVENT_MODIFY_STATE | WRITE_DAC | WRITE_OWNER | DELETE |
                                  GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// Read through the handle (GetSecurityInfo), so it is the object we wait on.
KillEventTrust CheckKillEvent(HANDLE event, DWORD* error) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  *error = GetSecurityInfo(event, SE_KERNEL_OBJECT,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                           &dacl, nullptr, &sd);
  if (*error != ERROR_SUCCESS) return kKillUnreadable;
  KillEventTrust trust = IsSystemOrAdministrators(owner) ? kKillTrusted : kKillUserOwned;
  if (trust == kKillTrusted && !dacl) trust = kKillOthersMaySignal;  // no DACL: anyone may
  for (DWORD i = 0; trust == kKillTrusted && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      trust = kKillOthersMaySignal;
    } else if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
      if ((allowed->Mask & kSignalRights) && !IsSystemOrAdministrators(&allowed->SidStart))
        trust = kKillOthersMaySignal;
    } else if (ace->AceType != ACCESS_DENIED_ACE_TYPE) {
      trust = kKillOthersMaySignal;  // an entry we cannot read counts as a grant
    }
  }
  LocalFree(sd);
  return trust;
}

}  // namespace

HANDLE OpenKillEvent(const wchar_t* name, KillEventTrust* trust, DWORD* error) {
  // Never created here: a user's collector that made it would own it.
  HANDLE event = OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, name);
  if (!event) {
    *error = GetLastError();
    *trust = *error == ERROR_FILE_NOT_FOUND ? kKillMissing : kKillUnopenable;
    return nullptr;
  }
  *trust = CheckKillEvent(event, error);
  if (*trust == kKillTrusted) return event;
  CloseHandle(event);
  return nullptr;
}

const wchar_t* KillEventText(KillEventTrust trust) {
  switch (trust) {
    case kKillTrusted:
      return L"trusted";
    case kKillMissing:
      return L"it does not exist (the port monitor makes it when the spooler starts)";
    case kKillUnopenable:
      return L"it cannot be opened for waiting";
    case kKillUnreadable:
      return L"its owner and permissions cannot be read";
    case kKillUserOwned:
      return L"its owner is neither SYSTEM nor Administrators";
    case kKillOthersMaySignal:
      return L"its permissions let other accounts signal it";
  }
  return L"";
}

// PulseEvent releases only the threads waiting at that instant, and the
// collector is often busy with a job. This thread does nothing but wait, so
// it never misses the pulse, and it latches it into the collector's stop
// event. An event it cannot trust is logged once and looked at again now
// and then (the spooler may start later, an administrator may remove a
// squatter's event).
DWORD WINAPI WatchKillEvent(void* param) {
  KillWatch* watch = static_cast<KillWatch*>(param);
  KillEventTrust logged = kKillTrusted;
  for (;;) {
    KillEventTrust trust = kKillTrusted;
    DWORD error = 0;
    HANDLE kill = OpenKillEvent(watch->name, &trust, &error);
    if (kill) {
      if (logged != kKillTrusted) LogLine(L"The kill event %s is trusted now.", watch->name);
      HANDLE waits[2] = {kill, watch->stop};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) SetEvent(watch->stop);
      CloseHandle(kill);
      return 0;
    }
    if (trust != logged) {
      wchar_t text[kReportUnits];
      StringCchPrintfW(text, kReportUnits,
                       L"The kill event %s is not used: %s; the collector runs until the session "
                       L"ends and looks at it again every %u seconds",
                       watch->name, KillEventText(trust), kKillEventLookMs / 1000);
      if (error)
        LogError(error, L"%s", text);
      else
        LogLine(L"%s.", text);
      logged = trust;
    }
    if (WaitForSingleObject(watch->stop, kKillEventLookMs) != WAIT_TIMEOUT) return 0;
  }
}
