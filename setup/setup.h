// The setup program: installs and removes the Orvalis printer, its driver,
// port monitor and port in the local print spooler.
#pragma once
#include <windows.h>

#include "product.h"

// Exit codes of a run.
enum : int {
  kExitDone = 0,
  kExitVersionQueryFailed = 1,
  kExitUnsupportedWindows = 2,
  kExitAlreadyInstalled = 4,
  kExitMonitorFailed = 5,
  kExitPortFailed = 6,
  kExitSystemDriversFailed = 7,
  kExitDriverFailed = 8,
  kExitPrinterFailed = 9,
};

// System-modal, OK button, no icon: the style of every setup box.
enum : UINT { kSetupBoxStyle = MB_OK | MB_SYSTEMMODAL };

// Process-wide state, written at start-up only and read everywhere else.
struct SetupState {
  int silentMode;
  int quietMode;
  int uninstallMode;
  int windowsLevel;  // 5..9 for NT 5.0..6.1, 0 for anything else
  // Set only by the Windows Installer package's repair and upgrade
  // (RefreshPrinter), never by a command line: what is registered already counts
  // as done, and the printer with its queue stays.
  int keepPrinter;
  wchar_t caption[kPathUnits];
};

extern SetupState g_setup;

// Names of plain files, each in kPathUnits units, in one process-heap block.
struct NameList {
  wchar_t (*names)[kPathUnits];
  size_t count;
  size_t capacity;
};

// What one installation put into the staging directory, so that only that is
// removed again: names present before the Unidrv step are never deleted.
struct StagingRecord {
  NameList before;       // plain files present right before the Unidrv step
  NameList after;        // plain files present right after it
  int packageStaged[4];  // which package files this run copied, in staging order
};

extern StagingRecord g_staging;

// Fixed texts.
#define ORVL_MONITOR_NAME L"MONorvl"
#define ORVL_MONITOR_DLL L"orvlpm.dll"
#define ORVL_PORT_NAME L"orvl"
#define ORVL_KILL_EVENT_FORMAT L"Global\\%s_killevent"

extern const wchar_t kUnsupportedWindowsText[];
extern const wchar_t kAlreadyInstalledText[];
extern const wchar_t kInstallFailedText[];
extern const wchar_t kInstalledText[];

// ---- entry ----------------------------------------------------------------
// Resets the state and sets the flags from the command-line tail.
void ParseCommandLine(const wchar_t* tail);
// Sets windowsLevel from the version query; false when the query failed.
bool DetectWindowsLevel();
// One whole run on the command-line tail; returns the exit code.
int RunSetup(const wchar_t* tail);

// ---- messages ---------------------------------------------------------------
// False when the process's window station is not visible (a service, session 0,
// a start-up script): no box is shown there, as nobody could close it.
bool SomeoneCanAnswer();
int ShowSetupMessage(const wchar_t* text);
int ShowSetupBox(const wchar_t* text, UINT type);
// "%s\nError # %d: %s" in a system-modal box; returns the number reported,
// 0 (and nothing shown) when there is none.
DWORD ReportError(const wchar_t* context, DWORD error, HWND owner);

// ---- spooler service ------------------------------------------------------------
// Both return the service's state after the wait, or 0 when a call failed first.
DWORD StopSpooler();
DWORD StartSpooler();

// ---- monitor and port -------------------------------------------------------------
// The system directory, "\\" and file (kPathUnits); 0 or the error number of the
// failed query, with path left empty.
DWORD SystemFilePath(const wchar_t* file, wchar_t* path);
int InstallPortMonitor();
int AddPrinterPort();

// ---- installation ---------------------------------------------------------------
int InstallPrinter();
// A repair or upgrade under a printer that stays (its jobs, sharing, security
// and defaults are kept): replaces the monitor DLL and the driver's files and
// registers what is missing, with InstallPrinter's exit codes; without the
// printer it is InstallPrinter.
int RefreshPrinter();
int PrinterExists(const wchar_t* name);
DWORD InstallSystemDrivers();
void EmptyStagingDirectory(const wchar_t* directory);
// Replaces list with the plain files directly in directory (ending in "\\"; no
// subdirectories); an unreadable directory gives an empty list. False only
// when memory ran out: the list is then empty.
bool ListPlainFiles(const wchar_t* directory, NameList* list);
bool HasName(const NameList* list, const wchar_t* name);  // ignoring case
void FreeNames(NameList* list);

// ---- removal ------------------------------------------------------------------
int UninstallPrinter();
// Pulses the kill event once, when something holds it.
void SignalKillEvent();
// Equal when equal after folding A-Z to a-z; no other character is folded.
bool SameNameAsciiNoCase(const wchar_t* a, const wchar_t* b);
