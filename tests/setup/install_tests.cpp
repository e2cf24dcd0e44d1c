// The whole installation in-process against Wine's spooler: what it creates,
// what it shows, the exit codes 4 to 9 and what stays in the staging folder.
#include <algorithm>

#include "setup_fixture.h"

using namespace orvltest;

namespace {

const wchar_t kInstalledShown[] =
    L"The Orvalis printer has been installed and is now available from all of your applications.";
const wchar_t kFailedShown[] =
    L"There was an error installing the printer driver. Please contact support.";
const wchar_t kAlreadyShown[] =
    L"The \"Orvalis\" printer is already installed on your computer. Please uninstall the Orvalis "
    L"application through the control panel to remove it.";

std::vector<std::wstring> Texts(const BoxCapture& boxes) {
  std::vector<std::wstring> texts;
  for (const auto& b : boxes.boxes()) texts.push_back(b.text);
  return texts;
}

// The removal pass cannot delete the printer.
BOOL WINAPI RefusingDeletePrinter(HANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// Another program writes into the staging folder while the monitor step runs.
decltype(&AddMonitorW) g_realAddMonitorW = nullptr;
BOOL WINAPI AddMonitorWhileAnotherProgramWrites(LPWSTR server, DWORD level, LPBYTE info) {
  WriteBytes(DriverDir() + L"\\meanwhile.txt", "another program's file");
  return g_realAddMonitorW(server, level, info);
}

UINT WINAPI FailingGetSystemDirectoryW(LPWSTR, UINT) {
  SetLastError(ERROR_ACCESS_DENIED);
  return 0;
}
BOOL WINAPI FailingGetPrinterDriverDirectoryW(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD) {
  SetLastError(RPC_S_SERVER_UNAVAILABLE);
  return FALSE;
}
LPVOID WINAPI FailingHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }

}  // namespace

class InstallTest : public SetupTest {};

TEST_F(InstallTest, InstallsMonitorPortDriverAndPrinter) {
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 0);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, kInstalledShown);
  EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis setup");
  EXPECT_TRUE(boxes.boxes()[0].systemModal());

  EXPECT_TRUE(MonitorRegistered(L"MONorvl"));
  EXPECT_TRUE(FileExists(SystemDir() + L"\\orvlpm.dll"));
  EXPECT_TRUE(PortListed(L"orvl"));
  DriverRecord driver;
  ASSERT_TRUE(ReadDriver(&driver));
  EXPECT_EQ(driver.version, 3u);
  EXPECT_EQ(driver.driverPath, L"UNIDRV.DLL");
  EXPECT_EQ(driver.dataFile, L"orvl.gpd");
  EXPECT_EQ(driver.configFile, L"UNIDRVUI.DLL");
  EXPECT_EQ(driver.helpFile, L"UNIDRV.HLP");
  EXPECT_EQ(driver.monitorName, L"");
  EXPECT_EQ(driver.defaultDataType, L"");
  EXPECT_EQ(driver.dependentFiles,
            (std::vector<std::wstring>{L"orvl.gpd", L"orvl.ini", L"orvlui.dll", L"orvlui2.exe",
                                       L"stdnames.gpd", L"unidrv.dll", L"unidrv.hlp",
                                       L"unidrvui.dll", L"unires.dll"}));
  PrinterRecord printer;
  ASSERT_TRUE(ReadPrinter(&printer));
  EXPECT_EQ(printer.port, L"orvl");
  EXPECT_EQ(printer.driver, L"Orvalis");
  EXPECT_EQ(printer.processor, L"WinPrint");
  EXPECT_EQ(printer.datatype, L"RAW");
  EXPECT_EQ(printer.attributes, 0x101u);
  for (const wchar_t* f : {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe", L"orvl.ini"})
    EXPECT_TRUE(FileExists(DriverDir() + L"\\3\\" + f)) << Narrow(f);
  // Nothing this run staged is left in the staging folder.
  EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);
}

TEST_F(InstallTest, WindowsTwoThousandGetsAQueuedPrinterOnly) {
  for (int level : {5, 6, 7, 8}) {
    ResetState(1);
    g_setup.windowsLevel = level;
    EXPECT_EQ(InstallPrinter(), 0);
    PrinterRecord printer;
    ASSERT_TRUE(ReadPrinter(&printer));
    EXPECT_EQ(printer.attributes, level == 5 ? 0x1u : 0x101u) << level;
  }
}

TEST_F(InstallTest, QuietAndSilentSuccessShowNothing) {
  for (int silent : {0, 1}) {
    ResetState(silent, 1 - silent);
    BoxCapture boxes;
    EXPECT_EQ(InstallPrinter(), 0);
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_TRUE(PrinterPresent(L"Orvalis"));
  }
}

TEST_F(InstallTest, SecondInstallRemovesTheFirstAndSucceedsAgain) {
  ResetState(1);
  ASSERT_EQ(InstallPrinter(), 0);
  EXPECT_EQ(InstallPrinter(), 0);
  EXPECT_TRUE(PrinterPresent(L"Orvalis"));
  EXPECT_TRUE(PortListed(L"orvl"));
  EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);
}

TEST_F(InstallTest, MissingPackageFileIsReportedAndTheInstallGoesOn) {
  DeleteFileW(package.file(L"orvl.ini").c_str());
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 0);
  EXPECT_EQ(Texts(boxes), (std::vector<std::wstring>{
                              ErrorReport(L"Failed to copy file orvl.ini", ERROR_FILE_NOT_FOUND),
                              kInstalledShown}));
  EXPECT_TRUE(PrinterPresent(L"Orvalis"));
  EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);
}

TEST_F(InstallTest, StagingFolderKeepsWhatWasThereBefore) {
  std::wstring dir = DriverDir();
  ASSERT_TRUE(WriteBytes(dir + L"\\keep.txt", "other program"));
  ASSERT_TRUE(WriteBytes(dir + L"\\orvl.ini", "was here before"));
  ASSERT_TRUE(WriteBytes(dir + L"\\UNIRES.DLL", "was here before"));
  CreateDirectoryW((dir + L"\\orvltest-sub").c_str(), nullptr);
  ASSERT_TRUE(WriteBytes(dir + L"\\orvltest-sub\\orvl.gpd", "sub"));
  ResetState(1);
  {
    IatPatch add("winspool.drv", "AddMonitorW",
                 reinterpret_cast<const void*>(AddMonitorWhileAnotherProgramWrites));
    g_realAddMonitorW = add.original<decltype(&AddMonitorW)>();
    EXPECT_EQ(InstallPrinter(), 0);
  }
  std::vector<std::wstring> left = PlainFiles(dir);
  EXPECT_TRUE(std::binary_search(left.begin(), left.end(), L"keep.txt"));
  EXPECT_TRUE(std::binary_search(left.begin(), left.end(), L"meanwhile.txt"));
  EXPECT_TRUE(std::binary_search(left.begin(), left.end(), L"orvl.ini"));
  EXPECT_TRUE(std::binary_search(left.begin(), left.end(), L"unires.dll"));
  for (const wchar_t* gone : {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe", L"unidrv.dll",
                              L"unidrvui.dll", L"unidrv.hlp", L"stdnames.gpd"})
    EXPECT_FALSE(std::binary_search(left.begin(), left.end(), gone)) << Narrow(gone);
  EXPECT_TRUE(FileExists(dir + L"\\orvltest-sub\\orvl.gpd"));
  for (const wchar_t* f :
       {L"keep.txt", L"meanwhile.txt", L"orvl.ini", L"UNIRES.DLL", L"orvltest-sub\\orvl.gpd"})
    DeleteFileW((dir + L"\\" + f).c_str());
  RemoveDirectoryW((dir + L"\\orvltest-sub").c_str());
}

// A directory the system cannot name fails the step that needs it; nothing
// is copied to, or deleted from, the root of the current drive.
TEST_F(InstallTest, FailedDirectoryQueryFailsItsStep) {
  struct Case {
    const char* dll;
    const char* function;
    const void* replacement;
    int exitCode;
    std::wstring report;  // once from the removal pass, once from the step
  } cases[] = {
      {"kernel32.dll", "GetSystemDirectoryW",
       reinterpret_cast<const void*>(FailingGetSystemDirectoryW), 5,
       ErrorReport(L"GetSystemDirectory() failed.", ERROR_ACCESS_DENIED)},
      {"winspool.drv", "GetPrinterDriverDirectoryW",
       reinterpret_cast<const void*>(FailingGetPrinterDriverDirectoryW), 7,
       ErrorReport(L"GetPrinterDriverDirectory() failed.", RPC_S_SERVER_UNAVAILABLE)},
  };
  for (const auto& c : cases) {
    {
      IatPatch patch(c.dll, c.function, c.replacement);
      BoxCapture boxes;
      EXPECT_EQ(InstallPrinter(), c.exitCode) << c.function;
      EXPECT_EQ(Texts(boxes), (std::vector<std::wstring>{c.report, c.report, kFailedShown}))
          << c.function;
    }
    for (const wchar_t* f : {L"\\orvlpm.dll", L"\\orvl.gpd", L"\\orvl.ini", L"\\UNIDRV.DLL"})
      EXPECT_FALSE(FileExists(f)) << c.function << " " << Narrow(f);
    EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore) << c.function;
  }
}

// No memory for the staging folder's file lists: the Unidrv step reports it
// (even when silent, as all its failures) and setup exits with that step's code.
TEST_F(InstallTest, NoMemoryForTheFileListsFailsTheUnidrvStep) {
  ResetState(1);
  IatPatch alloc("kernel32.dll", "HeapAlloc", reinterpret_cast<const void*>(FailingHeapAlloc));
  ASSERT_TRUE(alloc.active());
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 7);
  EXPECT_EQ(Texts(boxes), std::vector<std::wstring>{ErrorReport(
                              L"InstallSystemDrivers(): HeapAlloc()", ERROR_NOT_ENOUGH_MEMORY)});
  EXPECT_FALSE(DriverRegistered(L"Orvalis"));
}

TEST_F(InstallTest, PrinterSurvivingTheRemovalPassStopsWithFour) {
  ResetState(1);
  ASSERT_EQ(InstallPrinter(), 0);
  std::vector<std::wstring> staging = PlainFiles(DriverDir());
  IatPatch keep("winspool.drv", "DeletePrinter",
                reinterpret_cast<const void*>(RefusingDeletePrinter));
  ASSERT_TRUE(WriteBytes(DriverDir() + L"\\orvl.gpd", "a stray copy"));
  for (int silent : {0, 1}) {
    ResetState(silent);
    BoxCapture boxes;
    EXPECT_EQ(InstallPrinter(), 4);
    if (silent) {
      EXPECT_TRUE(boxes.boxes().empty());
    } else {
      ASSERT_EQ(boxes.boxes().size(), 1u);
      EXPECT_EQ(boxes.boxes()[0].text, kAlreadyShown);
      EXPECT_TRUE(boxes.boxes()[0].systemModal());
    }
    // The staging folder is not touched on this path.
    EXPECT_TRUE(FileExists(DriverDir() + L"\\orvl.gpd"));
  }
  DeleteFileW((DriverDir() + L"\\orvl.gpd").c_str());
}

TEST_F(InstallTest, FailedMonitorStepExitsWithFive) {
  IatPatch add("winspool.drv", "AddMonitorW", reinterpret_cast<const void*>(RefusingAddMonitorW));
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 5);
  EXPECT_EQ(Texts(boxes),
            (std::vector<std::wstring>{ErrorReport(L"AddMonitor() failed.", 5), kFailedShown}));
  EXPECT_FALSE(PortListed(L"orvl"));
  EXPECT_FALSE(DriverRegistered(L"Orvalis"));
  EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);
}

TEST_F(InstallTest, FailedPortStepExitsWithSix) {
  IatPatch xcv("winspool.drv", "XcvDataW", reinterpret_cast<const void*>(RefusingXcvDataW));
  {
    BoxCapture boxes;
    EXPECT_EQ(InstallPrinter(), 6);
    EXPECT_EQ(Texts(boxes), (std::vector<std::wstring>{ErrorReport(L"XcvData() status error.", 87),
                                                       kFailedShown}));
  }
  ResetState(1);
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 6);
  EXPECT_TRUE(boxes.boxes().empty());
  // Nothing is rolled back: the monitor stays until the next removal.
  EXPECT_TRUE(MonitorRegistered(L"MONorvl"));
  EXPECT_FALSE(DriverRegistered(L"Orvalis"));
}

TEST_F(InstallTest, MissingSystemInfExitsWithSevenAndShowsItsBoxEvenWhenSilent) {
  RemoveInfFixture();
  SetLastError(0);
  {
    BoxCapture boxes;
    EXPECT_EQ(InstallPrinter(), 7);
    ASSERT_EQ(boxes.boxes().size(), 2u);
    EXPECT_EQ(
        boxes.boxes()[0].text.rfind(L"InstallSystemDrivers(): SetupOpenInfFile()\nError # ", 0),
        0u);
    EXPECT_TRUE(boxes.boxes()[0].systemModal());
    EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis setup");
    EXPECT_EQ(boxes.boxes()[1].text, kFailedShown);
  }
  ResetState(1);
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 7);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text.rfind(L"InstallSystemDrivers(): SetupOpenInfFile()\nError # ", 0),
            0u);
  EXPECT_FALSE(DriverRegistered(L"Orvalis"));
  EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);
}

TEST_F(InstallTest, RefusedDriverExitsWithEight) {
  IatPatch add("winspool.drv", "AddPrinterDriverW",
               reinterpret_cast<const void*>(RefusingAddPrinterDriverW));
  {
    BoxCapture boxes;
    EXPECT_EQ(InstallPrinter(), 8);
    EXPECT_EQ(Texts(boxes),
              std::vector<std::wstring>{ErrorReport(L"Failed to add printer driver.", 5)});
    EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);
  }
  ResetState(1);
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 8);
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_FALSE(PrinterPresent(L"Orvalis"));
}

TEST_F(InstallTest, RefusedPrinterExitsWithNine) {
  IatPatch add("winspool.drv", "AddPrinterW", reinterpret_cast<const void*>(RefusingAddPrinterW));
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 9);
  EXPECT_EQ(Texts(boxes), std::vector<std::wstring>{
                              ErrorReport(L"Failed to add printer!", ERROR_INVALID_PRINTER_NAME)});
  EXPECT_TRUE(DriverRegistered(L"Orvalis"));
  EXPECT_EQ(PlainFiles(DriverDir()), stagingBefore);
}

TEST_F(InstallTest, PrinterMissingAfterCreationIsAFailureWithNine) {
  IatPatch add("winspool.drv", "AddPrinterW", reinterpret_cast<const void*>(VanishingAddPrinterW));
  g_realAddPrinterW = add.original<decltype(&AddPrinterW)>();
  {
    BoxCapture boxes;
    EXPECT_EQ(InstallPrinter(), 9);
    EXPECT_EQ(Texts(boxes), std::vector<std::wstring>{kFailedShown});
  }
  for (int quiet : {0, 1}) {
    ResetState(1, quiet);
    BoxCapture boxes;
    EXPECT_EQ(InstallPrinter(), 9);
    EXPECT_TRUE(boxes.boxes().empty());
  }
  ResetState(0, 1);
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 9);
  EXPECT_EQ(Texts(boxes), std::vector<std::wstring>{kFailedShown});
}

TEST_F(InstallTest, PrinterExistsOnlyForAnOpenablePrinter) {
  EXPECT_EQ(PrinterExists(L"Orvalis"), 0);
  ResetState(1);
  ASSERT_EQ(InstallPrinter(), 0);
  EXPECT_NE(PrinterExists(L"Orvalis"), 0);
  EXPECT_EQ(PrinterExists(L"Orvalis2"), 0);
}

// Every failing exit through the entry point: "/Q" shows the same boxes as
// no switch, "/S" none (the Unidrv-file step's box aside).
TEST_F(InstallTest, FailureBoxesAreTheSameWithQuietAndGoneWithSilent) {
  struct Case {
    int exitCode;
    const char* dll;
    const char* function;
    const void* replacement;
    std::vector<std::wstring> boxes;
  } cases[] = {
      {5,
       "winspool.drv",
       "AddMonitorW",
       reinterpret_cast<const void*>(RefusingAddMonitorW),
       {ErrorReport(L"AddMonitor() failed.", 5), kFailedShown}},
      {6,
       "winspool.drv",
       "XcvDataW",
       reinterpret_cast<const void*>(RefusingXcvDataW),
       {ErrorReport(L"XcvData() status error.", 87), kFailedShown}},
      {8,
       "winspool.drv",
       "AddPrinterDriverW",
       reinterpret_cast<const void*>(RefusingAddPrinterDriverW),
       {ErrorReport(L"Failed to add printer driver.", 5)}},
      {9,
       "winspool.drv",
       "AddPrinterW",
       reinterpret_cast<const void*>(RefusingAddPrinterW),
       {ErrorReport(L"Failed to add printer!", ERROR_INVALID_PRINTER_NAME)}},
  };
  for (const auto& c : cases) {
    IatPatch patch(c.dll, c.function, c.replacement);
    for (const wchar_t* tail : {L"", L"/Q", L"/S", L"/Q /S"}) {
      BoxCapture boxes;
      EXPECT_EQ(RunSetup(tail), c.exitCode) << c.function << " " << Narrow(tail);
      bool silent = wcsstr(tail, L"/S") != nullptr;
      EXPECT_EQ(Texts(boxes), silent ? std::vector<std::wstring>{} : c.boxes)
          << c.function << " " << Narrow(tail);
      for (const auto& b : boxes.boxes()) {
        EXPECT_EQ(b.caption, L"Orvalis setup");
        EXPECT_TRUE(b.systemModal());
      }
    }
  }
  RemoveInfFixture();
  for (const wchar_t* tail : {L"", L"/Q", L"/S"}) {
    BoxCapture boxes;
    EXPECT_EQ(RunSetup(tail), 7) << Narrow(tail);
    size_t expected = wcsstr(tail, L"/S") ? 1u : 2u;
    ASSERT_EQ(boxes.boxes().size(), expected) << Narrow(tail);
    EXPECT_EQ(
        boxes.boxes()[0].text.rfind(L"InstallSystemDrivers(): SetupOpenInfFile()\nError # ", 0),
        0u);
    EXPECT_TRUE(boxes.boxes()[0].systemModal());
    if (expected == 2) {
      EXPECT_EQ(boxes.boxes()[1].text, kFailedShown);
    }
  }
}

// A window station nobody sees: a service, session 0, a start-up script.
BOOL WINAPI InvisibleStationFlags(HANDLE, int index, PVOID info, DWORD size, LPDWORD needed) {
  if (index != UOI_FLAGS || size < sizeof(USEROBJECTFLAGS)) return FALSE;
  *static_cast<USEROBJECTFLAGS*>(info) = USEROBJECTFLAGS{FALSE, FALSE, 0};
  if (needed) *needed = sizeof(USEROBJECTFLAGS);
  return TRUE;
}

// Where nobody can answer, no box is shown in any mode and a missing Unidrv
// source ends the copy with its exit code instead of asking for the disk.
TEST_F(InstallTest, NobodyToAnswerGetsNoBoxAndNoPrompt) {
  IatPatch station("user32.dll", "GetUserObjectInformationW",
                   reinterpret_cast<const void*>(InvisibleStationFlags));
  ASSERT_TRUE(station.active());
  std::wstring source = InfDir() + L"\\UNIRES.DLL";
  std::wstring aside = package.file(L"UNIRES.DLL.saved");
  ASSERT_TRUE(MoveFileW(source.c_str(), aside.c_str()));
  for (int silent : {0, 1}) {
    ResetState(silent);
    BoxCapture boxes;
    EXPECT_EQ(InstallPrinter(), 7) << silent;
    EXPECT_TRUE(boxes.boxes().empty()) << silent;
    EXPECT_FALSE(DriverRegistered(L"Orvalis"));
  }
  ASSERT_TRUE(MoveFileW(aside.c_str(), source.c_str()));
  IatPatch add("winspool.drv", "AddMonitorW", reinterpret_cast<const void*>(RefusingAddMonitorW));
  ResetState();
  BoxCapture boxes;
  EXPECT_EQ(InstallPrinter(), 5);
  EXPECT_TRUE(boxes.boxes().empty());
}
