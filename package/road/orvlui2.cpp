// orvlui2.exe: the product's running component in the user's session.
// It collects the user's finished print jobs for the converter (collector.cpp),
// waits on the kill event "Global\Orvalis_killevent" and ends when setup pulses it
// at the start of a removal, so that nothing of the product is still running
// then. "orvlui2.exe /extract SPOOLFILE FOLDER" turns one EMF spool file into
// pages and a ticket (spool_reader.cpp); "/fax" and "/merge" are its own
// child processes (drawing_child.cpp); "orvlui2.exe /send FOLDER /to NUMBER
// ..." sends one job folder's fax.tif to the fax server (package/send). Any
// other switch is a usage error, so that a mistyped command never starts a
// collector that runs until logoff.
#include <windows.h>
#include <shellapi.h>
#include <strsafe.h>

#include "collector.h"
#include "fax_send.h"
#include "job_road.h"
#include "product.h"
#include "road_log.h"

namespace {

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
  if (argv && argc >= 2) {
    int (*command)(int, wchar_t**) = nullptr;
    if (lstrcmpiW(argv[1], L"/extract") == 0) command = ExtractCommand;
    if (lstrcmpiW(argv[1], L"/fax") == 0) command = FaxCommand;
    if (lstrcmpiW(argv[1], L"/merge") == 0) command = MergeCommand;
    if (lstrcmpiW(argv[1], L"/send") == 0) command = SendCommand;
    if (command) {
      int code = command(argc, argv);
      LocalFree(argv);
      return code;
    }
  }
  // The installer starts the collector with "-"; only a '/' marks a switch.
  bool unknownSwitch = argv && argc >= 2 && argv[1][0] == L'/';
  if (argv) LocalFree(argv);
  if (unknownSwitch) return Usage();

  wchar_t name[kPathUnits];
  StringCchPrintfW(name, kPathUnits, L"Global\\%s_killevent", ORVL_PRODUCT_NAME);
  DWORD error = 0;
  KillWatch watch = {OpenKillEvent(name, &error), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  if (!watch.stop) return kCollectorFailed;
  // Without the kill event the user's jobs are still collected; only a
  // removal cannot end this collector, which then ends with the session.
  if (!watch.kill)
    LogError(error,
             L"The kill event %s cannot be opened for waiting; the collector runs until "
             L"the session ends",
             name);
  HANDLE thread =
      watch.kill ? CreateThread(nullptr, 0, WatchKillEvent, &watch, 0, nullptr) : nullptr;
  if (watch.kill && !thread) return kCollectorFailed;
  int code = RunCollector(watch.stop);
  // Once stopped, the watcher has done its last act; a collector that could
  // not start (another one runs in this session) returns without a stop, and
  // its watcher ends with the process.
  if (thread) {
    if (WaitForSingleObject(watch.stop, 0) == WAIT_OBJECT_0) WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  CloseHandle(watch.stop);
  if (watch.kill) CloseHandle(watch.kill);
  return code;
}
