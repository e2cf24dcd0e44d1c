// Installation: removal pass, monitor and port, Unidrv core files, the staged
// package files, the driver and the printer.
#include <windows.h>
#include <strsafe.h>
#include <setupapi.h>
#include <winspool.h>

#include <algorithm>

#include "setup.h"

namespace {

const wchar_t* const kPackageFiles[] = {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe", L"orvl.ini"};

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name) {
  for (const auto& n : names)
    if (lstrcmpiW(n.c_str(), name.c_str()) == 0) return true;
  return false;
}

void Remember(std::vector<std::wstring>& names, const std::wstring& name) {
  if (!Contains(names, name)) names.push_back(name);
}

// The printer driver directory (520 bytes); false when the spooler cannot say.
bool DriverDirectory(wchar_t* dir) {
  DWORD needed = 0;
  dir[0] = L'\0';
  return GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE*>(dir),
                                    kPathUnits * sizeof(wchar_t), &needed) != 0;
}

UINT CALLBACK PassThroughQueueCallback(PVOID context, UINT notification, UINT_PTR param1,
                                       UINT_PTR param2) {
  return SetupDefaultQueueCallbackW(context, notification, param1, param2);
}

// Records the files the system-driver step added to the staging directory.
void RecordSystemDriverFiles(const wchar_t* stagingDir) {
  for (const auto& name : ListPlainFiles(stagingDir))
    if (!Contains(g_staging.before, name)) Remember(g_staging.staged, name);
}

void StagePackageFiles(const wchar_t* stagingDir) {
  for (const wchar_t* file : kPackageFiles) {
    wchar_t target[kPathUnits];
    StringCchPrintfW(target, kPathUnits, L"%s%s", stagingDir, file);
    if (CopyFileW(file, target, FALSE)) {
      Remember(g_staging.staged, file);
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
  if (AddPrinterDriverW(nullptr, 3, reinterpret_cast<BYTE*>(&driver))) return 1;
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
int InstallParts(const wchar_t* stagingDir) {
  if (!InstallPortMonitor()) {
    if (!g_setup.silentMode) ShowSetupMessage(kInstallFailedText);
    return kExitMonitorFailed;
  }
  if (!AddPrinterPort()) {
    if (!g_setup.silentMode) ShowSetupMessage(kInstallFailedText);
    return kExitPortFailed;
  }
  DWORD systemDrivers = InstallSystemDrivers();
  // Whatever that step got copied is this run's, even when it failed half-way.
  RecordSystemDriverFiles(stagingDir);
  if (systemDrivers != 0) {
    if (!g_setup.silentMode) ShowSetupMessage(kInstallFailedText);
    return kExitSystemDriversFailed;
  }
  StagePackageFiles(stagingDir);
  if (!AddOrvalisDriver()) return kExitDriverFailed;
  if (!AddOrvalisPrinter()) return kExitPrinterFailed;
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

std::vector<std::wstring> ListPlainFiles(const wchar_t* directory) {
  std::vector<std::wstring> names;
  wchar_t pattern[kPathUnits];
  if (FAILED(StringCchPrintfW(pattern, kPathUnits, L"%s*.*", directory))) return names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
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
  PVOID context = SetupInitDefaultQueueCallback(nullptr);
  if (!context) {
    DWORD error =
        ReportError(L"InstallSystemDrivers(): SetupInitDefaultQueueCallback()", 0, nullptr);
    SetupCloseInfFile(inf);
    return error;
  }
  DWORD result = 0;
  if (!SetupInstallFromInfSectionW(nullptr, inf, L"UNIDRV.OEM", SPINST_FILES, nullptr, nullptr,
                                   SP_COPY_NEWER_ONLY, PassThroughQueueCallback, context, nullptr,
                                   nullptr))
    result = ReportError(L"InstallSystemDrivers(): SetupInstallFromInfSection()", 0, nullptr);
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
  std::vector<std::wstring> doomed;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (Contains(g_staging.staged, found.cFileName) && !Contains(g_staging.before, found.cFileName))
      doomed.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  for (const auto& name : doomed) {
    wchar_t path[kPathUnits];
    if (SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s%s", directory, name.c_str())))
      DeleteFileW(path);
  }
}

int InstallPrinter() {
  UninstallPrinter();
  if (PrinterExists(ORVL_PRODUCT_NAME)) {
    if (!g_setup.silentMode) ShowSetupMessage(kAlreadyInstalledText);
    return kExitAlreadyInstalled;
  }
  wchar_t stagingDir[kPathUnits];
  DriverDirectory(stagingDir);
  StringCchCatW(stagingDir, kPathUnits, L"\\");
  g_staging = StagingRecord{};
  g_staging.before = ListPlainFiles(stagingDir);
  int result = InstallParts(stagingDir);
  EmptyStagingDirectory(stagingDir);
  return result;
}
