// orvlui2.exe: the product's running component. It holds the kill event
// "Global\Orvalis_killevent" and ends when setup signals it at the start of
// a removal, so that nothing of the product is still running then.
#include <windows.h>
#include <sddl.h>
#include <strsafe.h>

#include "product.h"

namespace {

// Manual reset, so that one pulse releases every waiting instance. Any user
// may signal it (setup may run under another account than this component).
HANDLE CreateKillEvent(const wchar_t* name) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;CO)(A;;0x100002;;;WD)", SDDL_REVISION_1, &sd,
          nullptr))
    sa.lpSecurityDescriptor = sd;
  HANDLE event = CreateEventW(&sa, TRUE, FALSE, name);
  if (sd) LocalFree(sd);
  return event;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  wchar_t name[kPathUnits];
  StringCchPrintfW(name, kPathUnits, L"Global\\%s_killevent", ORVL_PRODUCT_NAME);
  HANDLE event = CreateKillEvent(name);
  if (!event) return 1;
  WaitForSingleObject(event, INFINITE);
  CloseHandle(event);
  return 0;
}
