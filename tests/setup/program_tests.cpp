// The real setup.exe, run as an administrator's deployment runs it, with the
// package files in its current directory.
#include "setup_fixture.h"
// after windows.h
#include <sddl.h>

using namespace orvltest;

namespace {

const wchar_t kInstalledShown[] =
    L"The Orvalis printer has been installed and is now available from all of your applications.";
const wchar_t kUnsupportedShown[] =
    L"This is an unsupported version of windows, the Orvalis printer will not be installed.";

std::wstring SetupExe() { return BinDir() + L"\\setup.exe"; }

void ExpectNothingOfOrvalis() {
  EXPECT_FALSE(PrinterPresent(L"Orvalis"));
  EXPECT_FALSE(PortListed(L"orvl"));
  EXPECT_FALSE(MonitorRegistered(L"MONorvl"));
  EXPECT_FALSE(FileExists(SystemDir() + L"\\orvlpm.dll"));
  EXPECT_FALSE(DriverRegistered(L"Orvalis"));
  for (const wchar_t* f : {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe", L"orvl.ini"})
    EXPECT_FALSE(FileExists(DriverDir() + L"\\3\\" + f)) << Narrow(f);
}

}  // namespace

class SetupProgramTest : public SetupTest {};

TEST_F(SetupProgramTest, SilentInstallThenRemovalLeavesTheSpoolerAsBefore) {
  RunResult r = RunSetupExe(L"/S");
  ASSERT_TRUE(r.started);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_TRUE(MonitorRegistered(L"MONorvl"));
  EXPECT_TRUE(PortListed(L"orvl"));
  DriverRecord driver;
  ASSERT_TRUE(ReadDriver(&driver));
  EXPECT_EQ(driver.version, 3u);
  EXPECT_EQ(driver.dataFile, L"orvl.gpd");
  EXPECT_EQ(driver.configFile, L"UNIDRVUI.DLL");
  PrinterRecord printer;
  ASSERT_TRUE(ReadPrinter(&printer));
  EXPECT_EQ(printer.port, L"orvl");
  EXPECT_EQ(printer.driver, L"Orvalis");
  EXPECT_EQ(printer.processor, L"WinPrint");
  EXPECT_EQ(printer.datatype, L"RAW");
  EXPECT_EQ(printer.attributes, 0x101u);
  EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);

  // A second installation removes the first and succeeds again.
  r = RunSetupExe(L"/S");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_TRUE(PrinterPresent(L"Orvalis"));

  r = RunSetupExe(L"/S /U");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
  ExpectNothingOfOrvalis();
  EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);

  // Again, without "/S": nothing there, nothing shown.
  r = RunSetupExe(L"/U");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
}

TEST_F(SetupProgramTest, PlainInstallShowsTheSuccessBoxAndQuietDoesNot) {
  RunResult r = RunSetupExe(L"");
  EXPECT_EQ(r.exitCode, 0u);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0].text, kInstalledShown);
  EXPECT_EQ(r.boxes[0].caption, L"Orvalis setup");
  EXPECT_TRUE(r.boxes[0].systemModal());
  r = RunSetupExe(L"/Q");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
  r = RunSetupExe(L"/U /Q");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
  ExpectNothingOfOrvalis();
}

TEST_F(SetupProgramTest, MisspelledSwitchesAreIgnored) {
  // Each of these installs with every message shown.
  for (const wchar_t* tail : {L"/s", L"-S", L"/S/U", L"/S\t/U"}) {
    RunResult r = RunSetupExe(tail);
    EXPECT_EQ(r.exitCode, 0u) << Narrow(tail);
    ASSERT_EQ(r.boxes.size(), 1u) << Narrow(tail);
    EXPECT_EQ(r.boxes[0].text, kInstalledShown);
    EXPECT_TRUE(PrinterPresent(L"Orvalis"));
  }
  RunResult r = RunSetupExe(L"/S /U");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_FALSE(PrinterPresent(L"Orvalis"));
}

TEST_F(SetupProgramTest, MissingSystemInfShowsItsBoxEvenWhenSilent) {
  RemoveInfFixture();
  RunResult r = RunSetupExe(L"/S");
  EXPECT_EQ(r.exitCode, 7u);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0].text.rfind(L"InstallSystemDrivers(): SetupOpenInfFile()\nError # ", 0), 0u);
  EXPECT_EQ(r.boxes[0].caption, L"Orvalis setup");
  EXPECT_TRUE(r.boxes[0].systemModal());
  r = RunSetupExe(L"/S /U");
  EXPECT_EQ(r.exitCode, 0u);
  ExpectNothingOfOrvalis();
}

TEST_F(SetupProgramTest, MissingMonitorDllExitsWithFive) {
  DeleteFileW(package.file(L"orvlpm.dll").c_str());
  // The copy fails, so setup stops the spooler, which Wine allows, and
  // starts it again; the second copy fails as well.
  RunResult r = RunSetupExe(L"/S");
  EXPECT_EQ(r.exitCode, 5u);
  EXPECT_TRUE(r.boxes.empty());
  EXPECT_FALSE(MonitorRegistered(L"MONorvl"));
}

TEST_F(SetupProgramTest, SupportedVersionsInstallWithTheirAttributes) {
  struct Case {
    const wchar_t* version;
    DWORD attributes;
  } cases[] = {
      {L"win2k", 0x1}, {L"winxp", 0x101}, {L"win2003", 0x101}, {L"vista", 0x101}, {L"win7", 0x101}};
  for (const auto& c : cases) {
    WineVersion version(L"setup.exe", c.version);
    RunResult r = RunSetupExe(L"/S");
    EXPECT_EQ(r.exitCode, 0u) << Narrow(c.version);
    EXPECT_TRUE(r.boxes.empty());
    PrinterRecord printer;
    ASSERT_TRUE(ReadPrinter(&printer)) << Narrow(c.version);
    EXPECT_EQ(printer.attributes, c.attributes) << Narrow(c.version);
    r = RunSetupExe(L"/S /U");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_FALSE(PrinterPresent(L"Orvalis"));
  }
}

TEST_F(SetupProgramTest, RefusedVersionsExitWithTwo) {
  for (const wchar_t* name : {L"nt40", L"win95", L"win98", L"win8"}) {
    WineVersion version(L"setup.exe", name);
    RunResult r = RunSetupExe(L"");
    EXPECT_EQ(r.exitCode, 2u) << Narrow(name);
    ASSERT_EQ(r.boxes.size(), 1u) << Narrow(name);
    EXPECT_EQ(r.boxes[0].text, kUnsupportedShown);
    EXPECT_EQ(r.boxes[0].caption, L"Orvalis setup");
    EXPECT_TRUE(r.boxes[0].systemModal());
    r = RunSetupExe(L"/S");
    EXPECT_EQ(r.exitCode, 2u) << Narrow(name);
    EXPECT_TRUE(r.boxes.empty());
    r = RunSetupExe(L"/S /U");
    EXPECT_EQ(r.exitCode, 2u) << Narrow(name);
    EXPECT_FALSE(PrinterPresent(L"Orvalis"));
  }
}

TEST_F(SetupProgramTest, RemovalEndsTheKillEventHolder) {
  ASSERT_EQ(RunSetupExe(L"/S").exitCode, 0u);
  // The port monitor makes the event as SYSTEM in the spooler, which holds
  // it; Wine's spooler lives in each caller, so the test holds it here.
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"O:SYD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120000;;;WD)", SDDL_REVISION_1,
      &sa.lpSecurityDescriptor, nullptr));
  HANDLE monitors = CreateEventW(&sa, TRUE, FALSE, L"Global\\Orvalis_killevent");
  LocalFree(sa.lpSecurityDescriptor);
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::wstring holder = PackageBuildDir() + L"\\orvlui2.exe";
  ASSERT_TRUE(CreateProcessW(holder.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &si, &pi));
  CloseHandle(pi.hThread);
  // Wait until it holds the event and is waiting on it.
  HANDLE event = nullptr;
  for (int i = 0; i < 500 && !event; ++i) {
    event = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\Orvalis_killevent");
    if (!event) Sleep(10);
  }
  ASSERT_NE(event, nullptr);
  CloseHandle(event);
  Sleep(500);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  RunResult r = RunSetupExe(L"/S /U");
  EXPECT_EQ(r.exitCode, 0u);
  DWORD ended = WaitForSingleObject(pi.hProcess, 10000);
  if (ended != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  EXPECT_EQ(ended, WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(pi.hProcess);
  CloseHandle(monitors);
}

TEST(SetupExecutable, CarriesVersionBlockAndAsInvokerManifest) {
  std::wstring exe = SetupExe();
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  wchar_t* text = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\OriginalFilename",
                             reinterpret_cast<void**>(&text), &len));
  EXPECT_STREQ(text, L"setup.exe");

  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(res, nullptr);
  std::string manifest(static_cast<const char*>(LockResource(LoadResource(module, res))),
                       SizeofResource(module, res));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  FreeLibrary(module);
}
