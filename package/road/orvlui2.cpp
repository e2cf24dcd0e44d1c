// orvlui2.exe: the product's running component in the user's session.
// It collects the user's finished print jobs for the converter (collector.cpp),
// holds the kill event "Global\Orvalis_killevent" and ends when setup pulses it
// at the start of a removal, so that nothing of the product is still running
// then. "orvlui2.exe /extract SPOOLFILE FOLDER" turns one EMF spool file into
// pages and a ticket (spool_reader.cpp).
#include <windows.h>
#include <sddl.h>
#include <shellapi.h>
#include <strsafe.h>

#include "job_road.h"
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

struct KillWatch {
  HANDLE kill;
  HANDLE stop;
};

// PulseEvent releases only the threads waiting at that instant, and the
// collector is often busy with a job. This thread does nothing but wait, so it
// never misses the pulse, and it latches it into the collector's stop event.
DWORD WINAPI WatchKillEvent(void* param) {
  KillWatch* watch = static_cast<KillWatch*>(param);
  WaitForSingleObject(watch->kill, INFINITE);
  SetEvent(watch->stop);
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv && argc >= 2 && lstrcmpiW(argv[1], L"/extract") == 0) {
    int code = ExtractCommand(argc, argv);
    LocalFree(argv);
    return code;
  }
  if (argv) LocalFree(argv);

  wchar_t name[kPathUnits];
  StringCchPrintfW(name, kPathUnits, L"Global\\%s_killevent", ORVL_PRODUCT_NAME);
  KillWatch watch = {CreateKillEvent(name), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  if (!watch.kill || !watch.stop) return 1;
  HANDLE thread = CreateThread(nullptr, 0, WatchKillEvent, &watch, 0, nullptr);
  if (!thread) return 1;
  int code = RunCollector(watch.stop);
  // Once stopped, the watcher has done its last act; a collector that could
  // not start (another one runs in this session) returns without a stop, and
  // its watcher ends with the process.
  if (WaitForSingleObject(watch.stop, 0) == WAIT_OBJECT_0) WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(watch.stop);
  CloseHandle(watch.kill);
  return code;
}
