// orvlui.dll: the driver's reserved UI component. Unidrv does not load it
// (orvl.ini names no plug-in), so it cannot make the driver fail; it only
// answers which product version it belongs to.
#include <windows.h>

#include "version.h"

extern "C" __declspec(dllexport) const wchar_t* WINAPI OrvalisComponentVersion() {
  return ORVL_VERSION_WTEXT;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
