// The kill event that setup pulses at the start of a removal. A collector
// needs only to wait on it, so it asks for nothing more: CreateEvent on an
// event that exists asks for EVENT_ALL_ACCESS (documented), which the event's
// DACL gives only its creator, so every collector but the first would fail.
#include <windows.h>
#include <sddl.h>

#include "collector.h"

HANDLE OpenKillEvent(const wchar_t* name, DWORD* error) {
  *error = ERROR_SUCCESS;
  for (int round = 0; round < 3; ++round) {
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (event) return event;
    *error = GetLastError();
    // ERROR_INVALID_HANDLE: the name belongs to an object of another kind;
    // ERROR_ACCESS_DENIED: one that does not let us wait. Neither goes away.
    if (*error != ERROR_FILE_NOT_FOUND) return nullptr;
    // Manual reset, so that one pulse releases every waiting collector. Any
    // user may wait on it and signal it (setup may run under another account).
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;CO)(A;;0x100002;;;WD)", SDDL_REVISION_1,
            &sa.lpSecurityDescriptor, nullptr)) {
      *error = GetLastError();
      return nullptr;
    }
    event = CreateEventW(&sa, TRUE, FALSE, name);
    *error = GetLastError();
    LocalFree(sa.lpSecurityDescriptor);
    if (event) return event;
    // Another collector made it between our open and our create: open it again.
    if (*error != ERROR_ACCESS_DENIED) return nullptr;
  }
  return nullptr;
}
