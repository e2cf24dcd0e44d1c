// Installation: removal pass, monitor and port, Unidrv core files, the staged
// package files, the driver and the printer.
#include <windows.h>
#include <strsafe.h>
#include <setupapi.h>
#include <winspool.h>

#include "setup.h"

namespace {

const wchar_t* const kPackageFiles[] = {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe", L"orvl.ini"};

// Appends a copy of name (cut at kPathUnits); false when memory ran out.
bool AddName(NameList* list, const wchar_t* name) {
  if (list->count == list->capacity) {
    size_t capacity = list->capacity ? list->capacity * 2 : 16;
    if (capacity > static_cast<size_t>(-1) / 2 / sizeof(list->names[0])) return false;
    auto* grown = static_cast<wchar_t(*)[kPathUnits]>(
        HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(list->names[0])));
    if (!grown) return false;
    if (list->count) CopyMemory(grown, list->names, list->count * sizeof(list->names[0]));
    if (list->names) HeapFree(GetProcessHeap(), 0, list->names);
    list->names = grown;
    list->capacity = capacity;
  }
  StringCchCopyW(list->names[list->count++], kPathUnits, name);
  return true;
}

// The printer driver directory (520 bytes); false when the spooler cannot say.
bool DriverDirectory(wchar_t* dir) {
  DWORD needed = 0;
  dir[0] = L'\0';
  return GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(dir),
                                    kPathUnits * sizeof(wchar_t), &needed) != 0;
}

// The staging directory with its trailing backslash; 0 or the error number of
// the failed query.
DWORD StagingDirectory(wchar_t* dir) {
  if (!DriverDirectory(dir)) {
    DWORD error = GetLastError();
    dir[0] = L'\0';
    return error ? error : ERROR_PATH_NOT_FOUND;
  }
  if (FAILED(StringCchCatW(dir, kPathUnits, L"\\"))) return ERROR_INSUFFICIENT_BUFFER;
  return 0;
}

// The default queue callback's context, and the error that ended the queue
// where nobody could have been asked.
struct QueueContext {
  PVOID defaultContext;
  DWORD abortError;
};

// Where nobody can answer, the default callback's media prompt and copy-error
// dialog would wait for ever: a source that is there is copied, a missing one
// or a failed copy ends the queue with its error.
UINT CALLBACK PassThroughQueueCallback(PVOID context, UINT notification, UINT_PTR param1,
                                       UINT_PTR param2) {
  auto* queue = static_cast<QueueContext*>(context);
  if (notification == SPFILENOTIFY_NEEDMEDIA && !SomeoneCanAnswer()) {
    const auto* media = reinterpret_cast<const SOURCE_MEDIA_W*>(param1);
    wchar_t source[kPathUnits];
    if (media && media->SourcePath && media->SourceFile &&
        SUCCEEDED(StringCchPrintfW(source, kPathUnits, L"%s\\%s", media->SourcePath,
                                   media->SourceFile)) &&
        GetFileAttributesW(source) != INVALID_FILE_ATTRIBUTES)
      return FILEOP_DOIT;
    queue->abortError = ERROR_FILE_NOT_FOUND;
    SetLastError(queue->abortError);
    return FILEOP_ABORT;
  }
  if (notification == SPFILENOTIFY_COPYERROR && !SomeoneCanAnswer()) {
    const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
    queue->abortError = paths && paths->Win32Error ? paths->Win32Error : ERROR_CANCELLED;
    SetLastError(queue->abortError);
    return FILEOP_ABORT;
  }
  return SetupDefaultQueueCallbackW(queue->defaultContext, notification, param1, param2);
}

// The Unidrv step with the two listings that tell which files it added. Its
// failures are reported even in silent mode, as those of InstallSystemDrivers.
DWORD RunSystemDriverStep(const wchar_t* stagingDir, DWORD stagingError) {
  // Without the directory there is no path to stage into or to clean up.
  if (stagingError)
    return ReportError(L"GetPrinterDriverDirectory() failed.", stagingError, nullptr);
  // Listed only now: the monitor and port steps may restart the spooler for
  // seconds, and a file another program writes meanwhile is not ours.
  if (!ListPlainFiles(stagingDir, &g_staging.before))
    return ReportError(L"InstallSystemDrivers(): HeapAlloc()", ERROR_NOT_ENOUGH_MEMORY, nullptr);
  DWORD result = InstallSystemDrivers();
  // Whatever that step got copied is this run's, even when it failed half-way.
  if (!ListPlainFiles(stagingDir, &g_staging.after) && result == 0)
    result = ReportError(L"InstallSystemDrivers(): HeapAlloc()", ERROR_NOT_ENOUGH_MEMORY, nullptr);
  return result;
}

void StagePackageFiles(const wchar_t* stagingDir) {
  for (size_t i = 0; i < ARRAYSIZE(kPackageFiles); ++i) {
    const wchar_t* file = kPackageFiles[i];
    wchar_t target[kPathUnits];
    StringCchPrintfW(target, kPathUnits, L"%s%s", stagingDir, file);
    if (CopyFileW(file, target, FALSE)) {
      g_staging.packageStaged[i] = 1;
      continue;
    }
    if (!g_setup.silentMode) {
      DWORD error = GetLastError();
      wchar_t text[kPathUnits];
      StringCchPrintfW(text, kPathUnits, L"Failed to copy file %s", file);
      ReportError(text, error, nullptr);
    }
  }
}

bool StagedThisRun(const wchar_t* name) {
  if (HasName(&g_staging.before, name)) return false;
  if (HasName(&g_staging.after, name)) return true;
  for (size_t i = 0; i < ARRAYSIZE(kPackageFiles); ++i)
    if (g_staging.packageStaged[i] && lstrcmpiW(kPackageFiles[i], name) == 0) return true;
  return false;
}

int AddOrvalisDriver() {
  // Names closed by an empty name.
  static wchar_t dependentFiles[] =
      L"orvl.gpd\0orvlui.dll\0orvl.ini\0orvlui2.exe\0stdnames.gpd\0unidrv.dll\0unidrv.hlp\0"
      L"unidrvui.dll\0unires.dll\0";
  DRIVER_INFO_3W driver = {};
  driver.cVersion = 3;
  driver.pName = const_cast<wchar_t*>(ORVL_PRODUCT_NAME);
  driver.pEnvironment = nullptr;
  driver.pDriverPath = const_cast<wchar_t*>(L"UNIDRV.DLL");
  driver.pDataFile = const_cast<wchar_t*>(L"orvl.gpd");
  driver.pConfigFile = const_cast<wchar_t*>(L"UNIDRVUI.DLL");
  driver.pHelpFile = const_cast<wchar_t*>(L"UNIDRV.HLP");
  driver.pDependentFiles = dependentFiles;
  driver.pMonitorName = nullptr;
  driver.pDefaultDataType = nullptr;
  // Under a printer that stays, the files are replaced even when older (the
  // rollback of an upgrade puts the older ones back).
  BOOL added =
      g_setup.keepPrinter
          ? AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&driver), APD_COPY_ALL_FILES)
          : AddPrinterDriverW(nullptr, 3, reinterpret_cast<BYTE*>(&driver));
  if (added) return 1;
  if (!g_setup.silentMode) ReportError(L"Failed to add printer driver.", 0, nullptr);
  return 0;
}

int AddOrvalisPrinter() {
  PRINTER_INFO_2W printer = {};
  printer.pPrinterName = const_cast<wchar_t*>(ORVL_PRODUCT_NAME);
  printer.pPortName = const_cast<wchar_t*>(ORVL_PORT_NAME);
  printer.pDriverName = const_cast<wchar_t*>(ORVL_PRODUCT_NAME);
  printer.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  printer.pDatatype = const_cast<wchar_t*>(L"RAW");
  printer.Attributes = g_setup.windowsLevel == 5
                           ? PRINTER_ATTRIBUTE_QUEUED
                           : PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
  HANDLE added = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&printer));
  if (!added) {
    if (!g_setup.silentMode) ReportError(L"Failed to add printer!", 0, nullptr);
    return 0;
  }
  ClosePrinter(added);
  return 1;
}

// Steps past the staging directory; stops at the first failure.
int InstallParts(const wchar_t* stagingDir, DWORD stagingError) {
  if (!InstallPortMonitor()) {
    if (!g_setup.silentMode) ShowSetupMessage(kInstallFailedText);
    return kExitMonitorFailed;
  }
  if (!AddPrinterPort()) {
    if (!g_setup.silentMode) ShowSetupMessage(kInstallFailedText);
    return kExitPortFailed;
  }
  if (RunSystemDriverStep(stagingDir, stagingError) != 0) {
    if (!g_setup.silentMode) ShowSetupMessage(kInstallFailedText);
    return kExitSystemDriversFailed;
  }
  StagePackageFiles(stagingDir);
  if (!AddOrvalisDriver()) return kExitDriverFailed;
  if (!g_setup.keepPrinter && !AddOrvalisPrinter()) return kExitPrinterFailed;
  if (PrinterExists(ORVL_PRODUCT_NAME)) {
    if (!g_setup.quietMode && !g_setup.silentMode) ShowSetupMessage(kInstalledText);
    return kExitDone;
  }
  // The printer was accepted but is not there: that is no success, and a
  // silent deployment sees it only in the exit code.
  if (!g_setup.silentMode) ShowSetupMessage(kInstallFailedText);
  return kExitPrinterFailed;
}

}  // namespace

bool ListPlainFiles(const wchar_t* directory, NameList* list) {
  list->count = 0;
  wchar_t pattern[kPathUnits];
  if (FAILED(StringCchPrintfW(pattern, kPathUnits, L"%s*.*", directory))) return true;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return true;
  bool complete = true;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!AddName(list, found.cFileName)) {
      complete = false;
      list->count = 0;
      break;
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return complete;
}

bool HasName(const NameList* list, const wchar_t* name) {
  for (size_t i = 0; i < list->count; ++i)
    if (lstrcmpiW(list->names[i], name) == 0) return true;
  return false;
}

void FreeNames(NameList* list) {
  if (list->names) HeapFree(GetProcessHeap(), 0, list->names);
  *list = NameList{};
}

int PrinterExists(const wchar_t* name) {
  HANDLE printer = nullptr;
  if (!OpenPrinterW(const_cast<wchar_t*>(name), &printer, nullptr)) return 0;
  if (printer) ClosePrinter(printer);
  return 1;
}

DWORD InstallSystemDrivers() {
  HINF inf = SetupOpenInfFileW(L"NTPRINT.INF", nullptr, INF_STYLE_WIN4, nullptr);
  if (inf == INVALID_HANDLE_VALUE)
    return ReportError(L"InstallSystemDrivers(): SetupOpenInfFile()", 0, nullptr);
  wchar_t driverDir[kPathUnits];
  if (!DriverDirectory(driverDir) || !SetupSetDirectoryIdW(inf, 66000, driverDir)) {
    DWORD error = ReportError(L"InstallSystemDrivers(): SetupSetDirectoryId()", 0, nullptr);
    SetupCloseInfFile(inf);
    return error;
  }
  QueueContext queue = {SetupInitDefaultQueueCallback(nullptr), 0};
  PVOID context = queue.defaultContext;
  if (!context) {
    DWORD error =
        ReportError(L"InstallSystemDrivers(): SetupInitDefaultQueueCallback()", 0, nullptr);
    SetupCloseInfFile(inf);
    return error;
  }
  DWORD result = 0;
  if (!SetupInstallFromInfSectionW(nullptr, inf, L"UNIDRV.OEM", SPINST_FILES, nullptr, nullptr,
                                   SP_COPY_NEWER_ONLY, PassThroughQueueCallback, &queue, nullptr,
                                   nullptr))
    // An ended queue may leave no last error; its cause is the step's error.
    result = ReportError(L"InstallSystemDrivers(): SetupInstallFromInfSection()", queue.abortError,
                         nullptr);
  SetupTermDefaultQueueCallback(context);
  SetupCloseInfFile(inf);
  return result;
}

void EmptyStagingDirectory(const wchar_t* directory) {
  wchar_t pattern[kPathUnits];
  if (FAILED(StringCchPrintfW(pattern, kPathUnits, L"%s*.*", directory))) return;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  // Deleting the entry just returned does not disturb the enumeration.
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!StagedThisRun(found.cFileName)) continue;
    wchar_t path[kPathUnits];
    if (SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s%s", directory, found.cFileName)))
      DeleteFileW(path);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

namespace {

// Everything after the removal pass and the existence check.
int InstallFromStaging() {
  wchar_t stagingDir[kPathUnits];
  DWORD stagingError = StagingDirectory(stagingDir);
  FreeNames(&g_staging.before);
  FreeNames(&g_staging.after);
  g_staging = StagingRecord{};
  int result = InstallParts(stagingDir, stagingError);
  // Nothing was staged without a directory, and no made-up path is searched.
  if (stagingError == 0) EmptyStagingDirectory(stagingDir);
  FreeNames(&g_staging.before);
  FreeNames(&g_staging.after);
  return result;
}

}  // namespace

int InstallPrinter() {
  UninstallPrinter();
  if (PrinterExists(ORVL_PRODUCT_NAME)) {
    if (!g_setup.silentMode) ShowSetupMessage(kAlreadyInstalledText);
    return kExitAlreadyInstalled;
  }
  return InstallFromStaging();
}

int RefreshPrinter() {
  if (!PrinterExists(ORVL_PRODUCT_NAME)) return InstallPrinter();
  g_setup.keepPrinter = 1;
  int result = InstallFromStaging();
  g_setup.keepPrinter = 0;
  return result;
}
