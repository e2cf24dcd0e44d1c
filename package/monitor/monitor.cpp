// orvlpm.dll: the port monitor "MONorvl", the function table it hands the
// spooler at start, and its shutdown.
#include "monitor.h"

#include <sddl.h>
#include <stddef.h>
#include <windows.h>

using namespace orvlpm;

namespace orvlpm {
const wchar_t kKillEventName[] = L"Global\\Orvalis_killevent";
// 0x120000: SYNCHRONIZE | READ_CONTROL.
const wchar_t kKillEventSddl[] = L"O:SYG:SYD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120000;;;WD)";
}  // namespace orvlpm

namespace {

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

VOID WINAPI ShutdownProc(HANDLE hMonitor) {
  Monitor* m = static_cast<Monitor*>(hMonitor);
  if (!m) return;
  DeleteCriticalSection(&m->portsLock);
  if (m->killEvent) CloseHandle(m->killEvent);
  if (m->router.module) FreeLibrary(m->router.module);
  Free(m);
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

// Made before any user could take the name. Where it exists already (the
// spooler was restarted, or the monitor is loaded again) it is only held:
// collectors check its owner and permissions themselves. A monitor without
// it still works; collectors then run until their sessions end.
HANDLE CreateKillEvent() {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kKillEventSddl, SDDL_REVISION_1,
                                                            &sa.lpSecurityDescriptor, nullptr))
    return nullptr;
  HANDLE event = CreateEventW(&sa, TRUE, FALSE, kKillEventName);
  LocalFree(sa.lpSecurityDescriptor);
  return event;
}

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
  m->killEvent = CreateKillEvent();
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
