// What every setup suite needs: a spooler without Orvalis before and after
// each test, the stand-in NTPRINT.INF in the prefix, a folder with the
// package files as current directory, and helpers to read the spooler.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "orvl_test.h"
#include "setup.h"

// The platform's text for an error number in the user's default language.
std::wstring SystemText(DWORD error);
// "context\nError # n: text", as setup's error box shows it.
std::wstring ErrorReport(const std::wstring& context, DWORD error);

std::wstring SystemDir();
std::wstring DriverDir();        // the printer driver directory, without a trailing backslash
std::wstring InfDir();           // the prefix's INF folder
std::wstring PackageBuildDir();  // bin\package
std::wstring FixtureBuildDir();  // bin\setup-fixtures

// Spooler reads.
bool MonitorRegistered(const wchar_t* name);
bool PortListed(const wchar_t* name);  // exact, case-insensitive
bool DriverRegistered(const wchar_t* name);
bool PrinterPresent(const wchar_t* name);
// Level 3 record of the Orvalis driver (texts copied); false when missing.
struct DriverRecord {
  DWORD version = 0;
  std::wstring driverPath, dataFile, configFile, helpFile, monitorName, defaultDataType;
  std::vector<std::wstring> dependentFiles;
};
bool ReadDriver(DriverRecord* record);
struct PrinterRecord {
  std::wstring port, driver, processor, datatype;
  DWORD attributes = 0;
};
bool ReadPrinter(PrinterRecord* record);

// Sorted, lower-cased names of the plain files of a directory.
std::vector<std::wstring> PlainFiles(const std::wstring& dir);

// Removes everything of Orvalis from the spooler without using setup's code.
void RemoveOrvalisFromSpooler();

// Version queries the in-process runs see.
void SetReportedVersion(DWORD platform, DWORD major, DWORD minor);
BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info);

// Spooler refusals for import patching, shared by the install suites.
BOOL WINAPI RefusingAddMonitorW(LPWSTR, DWORD, LPBYTE);         // error 5
BOOL WINAPI RefusingXcvDataW(HANDLE, PCWSTR, PBYTE, DWORD, PBYTE, DWORD, PDWORD needed,
                             PDWORD status);                   // status 87
BOOL WINAPI RefusingAddPrinterDriverW(LPWSTR, DWORD, LPBYTE);  // error 5
HANDLE WINAPI RefusingAddPrinterW(LPWSTR, DWORD, LPBYTE);      // error 1801
// The spooler accepts the printer, but it is gone by the final check; set
// g_realAddPrinterW to the patched import's original first.
extern decltype(&AddPrinterW) g_realAddPrinterW;
HANDLE WINAPI VanishingAddPrinterW(LPWSTR server, DWORD level, LPBYTE info);

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts setup's state as the entry point leaves it (level 9 = Windows 7).
  void ResetState(int silent = 0, int quiet = 0);
  // Removes the stand-in INF from the prefix (as on a system without it).
  void RemoveInfFixture();
  // The real setup.exe with the command-line tail, in the package folder.
  orvltest::RunResult RunSetupExe(const std::wstring& tail);

  orvltest::ScratchDir package;  // the package files, current directory of every run
  std::vector<std::wstring> stagingBefore;

 private:
  void InstallInfFixture();
  void RemoveAddedFiles();
  wchar_t savedDir_[MAX_PATH] = L"";
  std::vector<std::wstring> infAdded_;
  std::vector<std::wstring> versionDirBefore_;
  bool monitorDllBefore_ = false;
  bool infMovedAside_ = false;
};
