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
// after windows.h
#include <shellapi.h>
#include <stdlib.h>
#include <strsafe.h>

#include "collector.h"
#include "fax_send.h"
#include "job_road.h"
#include "product.h"
#include "road_log.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  // The children take their words from the C runtime's split of the command
  // line: the collector quotes only a folder path, which both splits read
  // alike, and shell32 (with all it loads) stays out of a process that
  // starts once a job (its DLLs are loaded when first called).
  if (__argc >= 2 && lstrcmpiW(__wargv[1], L"/fax") == 0) return FaxCommand(__argc, __wargv);
  if (__argc >= 2 && lstrcmpiW(__wargv[1], L"/merge") == 0) return MergeCommand(__argc, __wargv);
  if (__argc >= 2 && lstrcmpiW(__wargv[1], L"/draw") == 0) return DrawCommand(__argc, __wargv);
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv && argc >= 2) {
    int (*command)(int, wchar_t**) = nullptr;
    if (lstrcmpiW(argv[1], L"/extract") == 0) command = ExtractCommand;
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
  KillWatch watch = {name, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  if (!watch.stop) return kCollectorFailed;
  HANDLE thread = CreateThread(nullptr, 0, WatchKillEvent, &watch, 0, nullptr);
  if (!thread) return kCollectorFailed;
  int code = RunCollector(watch.stop);
  // The watcher ends with the stop event, whoever set it.
  SetEvent(watch.stop);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(watch.stop);
  return code;
}
