// The removal: what it takes away, what it leaves, its tolerance and its
// only boxes (failed list fetches).
#include <process.h>

#include "setup_fixture.h"

using namespace orvltest;

namespace {

BOOL WINAPI FailingEnumPortsW(LPWSTR, DWORD, LPBYTE buffer, DWORD, LPDWORD needed, LPDWORD) {
  if (!buffer) {
    *needed = 64;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL WINAPI FailingEnumMonitorsW(LPWSTR, DWORD, LPBYTE buffer, DWORD, LPDWORD needed, LPDWORD) {
  if (!buffer) {
    *needed = 64;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}
BOOL WINAPI FailingEnumPrinterDriversW(LPWSTR, LPWSTR, DWORD, LPBYTE buffer, DWORD, LPDWORD needed,
                                       LPDWORD) {
  if (!buffer) {
    *needed = 64;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  SetLastError(ERROR_INVALID_ENVIRONMENT);
  return FALSE;
}
// The size call fails outright (the spooler cannot be reached); a list with
// no monitor at all.
BOOL WINAPI UnreachableEnumMonitorsW(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD needed, LPDWORD count) {
  *needed = 0;
  *count = 0;
  SetLastError(RPC_S_SERVER_UNAVAILABLE);
  return FALSE;
}
BOOL WINAPI EmptyEnumMonitorsW(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD needed, LPDWORD count) {
  *needed = 0;
  *count = 0;
  return TRUE;
}
BOOL WINAPI RefusingDeleteMonitorW(LPWSTR, LPWSTR, LPWSTR) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// Xcv "AddPort" with another spelling of the port's name.
bool AddPortNamed(const wchar_t* name) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
  HANDLE xcv = nullptr;
  if (!OpenPrinterW(const_cast<wchar_t*>(L",XcvMonitor MONorvl"), &xcv, &defaults)) return false;
  DWORD needed = 0, status = 0;
  BYTE out[4];
  BOOL ok = XcvDataW(xcv, L"AddPort", reinterpret_cast<BYTE*>(const_cast<wchar_t*>(name)),
                     static_cast<DWORD>((lstrlenW(name) + 1) * sizeof(wchar_t)), out, 0, &needed,
                     &status);
  ClosePrinter(xcv);
  return ok && status == 0;
}

}  // namespace

class UninstallTest : public SetupTest {};

TEST(SetupNames, OnlyAsciiLettersAreFolded) {
  EXPECT_TRUE(SameNameAsciiNoCase(L"ORVL", L"orvl"));
  EXPECT_TRUE(SameNameAsciiNoCase(L"monORVL", L"MONorvl"));
  EXPECT_FALSE(SameNameAsciiNoCase(L"orvl ", L"orvl"));
  EXPECT_FALSE(SameNameAsciiNoCase(L"orv", L"orvl"));
  EXPECT_FALSE(SameNameAsciiNoCase(L"Orval\u00C9s", L"Orval\u00E9s"));
  EXPECT_FALSE(SameNameAsciiNoCase(L"orvl[", L"orvl{"));
}

TEST_F(UninstallTest, RemovesEverythingTheInstallAdded) {
  ResetState(1);
  ASSERT_EQ(InstallPrinter(), 0);
  ResetState();
  BoxCapture boxes;
  EXPECT_EQ(UninstallPrinter(), 0);
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_FALSE(PrinterPresent(L"Orvalis"));
  EXPECT_FALSE(PortListed(L"orvl"));
  EXPECT_FALSE(MonitorRegistered(L"MONorvl"));
  EXPECT_FALSE(FileExists(SystemDir() + L"\\orvlpm.dll"));
  EXPECT_FALSE(DriverRegistered(L"Orvalis"));
  for (const wchar_t* f : {L"orvl.gpd", L"orvlui.dll", L"orvlui2.exe", L"orvl.ini"})
    EXPECT_FALSE(FileExists(DriverDir() + L"\\3\\" + f)) << Narrow(f);
  // The shared Unidrv files stay.
  EXPECT_TRUE(FileExists(DriverDir() + L"\\3\\UNIDRV.DLL"));
}

TEST_F(UninstallTest, NothingToRemoveIsSilentAndZero) {
  BoxCapture boxes;
  EXPECT_EQ(UninstallPrinter(), 0);
  EXPECT_EQ(UninstallPrinter(), 0);
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(UninstallTest, HalfInstalledMonitorIsRemovedWithItsDll) {
  ResetState(1);
  ASSERT_EQ(InstallPortMonitor(), 1);
  ASSERT_TRUE(FileExists(SystemDir() + L"\\orvlpm.dll"));
  EXPECT_EQ(UninstallPrinter(), 0);
  EXPECT_FALSE(MonitorRegistered(L"MONorvl"));
  EXPECT_FALSE(FileExists(SystemDir() + L"\\orvlpm.dll"));
}

// A DLL copied by an install whose monitor registration failed is held by
// no spooler, so the removal takes it too.
TEST_F(UninstallTest, MonitorDllWithoutItsMonitorIsRemoved) {
  ResetState(1);
  ASSERT_FALSE(MonitorRegistered(L"MONorvl"));
  ASSERT_TRUE(WriteBytes(SystemDir() + L"\\orvlpm.dll", "left by a failed install"));
  BoxCapture boxes;
  EXPECT_EQ(UninstallPrinter(), 0);
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_FALSE(FileExists(SystemDir() + L"\\orvlpm.dll"));
}

// The DLL stays whenever a monitor may still name it: the list could not be
// fetched, or MONorvl is registered but not listed (it failed to load).
TEST_F(UninstallTest, MonitorDllStaysWhileAMonitorMayStillNameIt) {
  const std::wstring dll = SystemDir() + L"\\orvlpm.dll";
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\MONorvl";
  ASSERT_TRUE(WriteBytes(dll, "the monitor DLL"));
  {
    IatPatch fetch("winspool.drv", "EnumMonitorsW",
                   reinterpret_cast<const void*>(UnreachableEnumMonitorsW));
    BoxCapture boxes;
    EXPECT_EQ(UninstallPrinter(), 0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text,
              ErrorReport(L"EnumMonitors() failed.", RPC_S_SERVER_UNAVAILABLE));
  }
  EXPECT_TRUE(FileExists(dll));
  SetString(HKEY_LOCAL_MACHINE, key, L"Driver", L"orvlpm.dll");
  {
    IatPatch fetch("winspool.drv", "EnumMonitorsW",
                   reinterpret_cast<const void*>(EmptyEnumMonitorsW));
    EXPECT_EQ(UninstallPrinter(), 0);
  }
  DeleteTree(HKEY_LOCAL_MACHINE, key);
  EXPECT_TRUE(FileExists(dll));
}

TEST_F(UninstallTest, PortInOtherLetterCaseIsRemoved) {
  ResetState(1);
  ASSERT_EQ(InstallPortMonitor(), 1);
  ASSERT_TRUE(AddPortNamed(L"ORVL"));
  ASSERT_TRUE(PortListed(L"orvl"));
  EXPECT_EQ(UninstallPrinter(), 0);
  EXPECT_FALSE(PortListed(L"orvl"));
}

TEST_F(UninstallTest, MonitorThatCannotBeDeletedKeepsItsDll) {
  ResetState(1);
  ASSERT_EQ(InstallPortMonitor(), 1);
  {
    IatPatch refuse("winspool.drv", "DeleteMonitorW",
                    reinterpret_cast<const void*>(RefusingDeleteMonitorW));
    BoxCapture boxes;
    EXPECT_EQ(UninstallPrinter(), 0);
    EXPECT_TRUE(boxes.boxes().empty());
  }
  EXPECT_TRUE(MonitorRegistered(L"MONorvl"));
  EXPECT_TRUE(FileExists(SystemDir() + L"\\orvlpm.dll"));
}

TEST_F(UninstallTest, FailedListFetchesAreReportedUnlessSilent) {
  IatPatch ports("winspool.drv", "EnumPortsW", reinterpret_cast<const void*>(FailingEnumPortsW));
  IatPatch monitors("winspool.drv", "EnumMonitorsW",
                    reinterpret_cast<const void*>(FailingEnumMonitorsW));
  IatPatch drivers("winspool.drv", "EnumPrinterDriversW",
                   reinterpret_cast<const void*>(FailingEnumPrinterDriversW));
  {
    BoxCapture boxes;
    EXPECT_EQ(UninstallPrinter(), 0);
    ASSERT_EQ(boxes.boxes().size(), 3u);
    EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"EnumPorts() failed.", ERROR_ACCESS_DENIED));
    EXPECT_EQ(boxes.boxes()[1].text,
              ErrorReport(L"EnumMonitors() failed.", ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(boxes.boxes()[2].text,
              ErrorReport(L"EnumPrinterDrivers() failed.", ERROR_INVALID_ENVIRONMENT));
    for (const auto& b : boxes.boxes()) {
      EXPECT_TRUE(b.systemModal());
      EXPECT_EQ(b.caption, L"Orvalis setup");
    }
  }
  ResetState(1);
  BoxCapture boxes;
  EXPECT_EQ(UninstallPrinter(), 0);
  EXPECT_TRUE(boxes.boxes().empty());
}

namespace {
unsigned __stdcall WaitForKillEvent(void* event) {
  return WaitForSingleObject(static_cast<HANDLE>(event), 10000) == WAIT_OBJECT_0 ? 1 : 0;
}
}  // namespace

TEST_F(UninstallTest, PulsesTheKillEventForItsWaiters) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"Global\\Orvalis_killevent");
  ASSERT_NE(event, nullptr);
  HANDLE waiter =
      reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WaitForKillEvent, event, 0, nullptr));
  ASSERT_NE(waiter, nullptr);
  // Let the waiter reach its wait: a pulse releases only threads waiting then.
  for (int i = 0; i < 50; ++i) Sleep(10);
  EXPECT_EQ(UninstallPrinter(), 0);
  EXPECT_EQ(WaitForSingleObject(waiter, 10000), WAIT_OBJECT_0);
  DWORD released = 0;
  GetExitCodeThread(waiter, &released);
  EXPECT_EQ(released, 1u);
  // The event is left reset.
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(waiter);
  CloseHandle(event);
}
