// Installing the port monitor DLL and registration, and creating the port
// through the monitor's Xcv channel: real spooler, faults by import patching.
#include <deque>

#include "setup_fixture.h"

using namespace orvltest;

namespace {

decltype(&CopyFileW) g_realCopyFileW = nullptr;
decltype(&XcvDataW) g_realXcvDataW = nullptr;

// CopyFileW of the monitor DLL: scripted errors for its first copies.
const DWORD kPretendCopied = 0xFFFFFFFF;
std::deque<DWORD> g_copyErrors;
int g_monitorCopies = 0;
BOOL WINAPI ScriptedCopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  if (lstrcmpiW(from, L"orvlpm.dll") == 0) {
    ++g_monitorCopies;
    EXPECT_EQ(std::wstring(to), SystemDir() + L"\\orvlpm.dll");
    EXPECT_FALSE(failIfExists);
    if (!g_copyErrors.empty()) {
      DWORD e = g_copyErrors.front();
      g_copyErrors.pop_front();
      if (e == kPretendCopied) return TRUE;
      if (e) {
        SetLastError(e);
        return FALSE;
      }
    }
  }
  return g_realCopyFileW(from, to, failIfExists);
}

// The service manager as setup sees it: stop and start as scripted.
DWORD g_stopResultState = SERVICE_STOPPED;
DWORD g_startError = 0;
int g_stops = 0, g_starts = 0;
DWORD g_sleptMs = 0;
SC_HANDLE WINAPI FakeOpenSCManagerW(LPCWSTR, LPCWSTR, DWORD) {
  return reinterpret_cast<SC_HANDLE>(1);
}
SC_HANDLE WINAPI FakeOpenServiceW(SC_HANDLE, LPCWSTR, DWORD) {
  return reinterpret_cast<SC_HANDLE>(2);
}
BOOL WINAPI FakeCloseServiceHandle(SC_HANDLE) { return TRUE; }
DWORD g_lastControl = 0;  // 1 stop, 2 start
BOOL WINAPI FakeControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
  ++g_stops;
  g_lastControl = 1;
  if (g_stopResultState == 0) {
    SetLastError(1062);
    return FALSE;
  }
  return TRUE;
}
BOOL WINAPI FakeStartServiceW(SC_HANDLE, DWORD, LPCWSTR*) {
  ++g_starts;
  g_lastControl = 2;
  if (g_startError) {
    SetLastError(g_startError);
    return FALSE;
  }
  return TRUE;
}
BOOL WINAPI FakeQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS s) {
  ZeroMemory(s, sizeof(*s));
  s->dwCurrentState = g_lastControl == 1 ? g_stopResultState : SERVICE_RUNNING;
  return TRUE;
}
VOID WINAPI RecordingSleep(DWORD ms) { g_sleptMs += ms; }

BOOL WINAPI FailingAddMonitorW(LPWSTR, DWORD, LPBYTE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// XcvDataW: the call as setup makes it, and scripted answers.
std::wstring g_xcvCommand;
std::vector<BYTE> g_xcvInput;
DWORD g_xcvOutputSize = 99;
bool g_xcvFailCall = false;
DWORD g_xcvStatus = 0xFFFFFFFF;  // forward to the spooler
BOOL WINAPI RecordingXcvDataW(HANDLE xcv, PCWSTR command, PBYTE input, DWORD inputBytes,
                              PBYTE output, DWORD outputBytes, PDWORD needed, PDWORD status) {
  g_xcvCommand = command;
  g_xcvInput.assign(input, input + inputBytes);
  g_xcvOutputSize = outputBytes;
  EXPECT_NE(needed, nullptr);
  EXPECT_NE(status, nullptr);
  if (g_xcvFailCall) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (g_xcvStatus != 0xFFFFFFFF) {
    *status = g_xcvStatus;
    return TRUE;
  }
  return g_realXcvDataW(xcv, command, input, inputBytes, output, outputBytes, needed, status);
}

BOOL WINAPI FailingOpenPrinterW(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW) {
  SetLastError(ERROR_INVALID_PRINTER_NAME);
  return FALSE;
}

}  // namespace

class MonitorPortTest : public SetupTest {
 protected:
  void SetUp() override {
    g_realCopyFileW = copy.original<decltype(&CopyFileW)>();
    SetupTest::SetUp();
    g_copyErrors.clear();
    g_monitorCopies = g_stops = g_starts = 0;
    g_sleptMs = 0;
    g_stopResultState = SERVICE_STOPPED;
    g_startError = 0;
    g_lastControl = 0;
    g_xcvFailCall = false;
    g_xcvStatus = 0xFFFFFFFF;
    g_xcvCommand.clear();
    g_xcvInput.clear();
  }
  IatPatch copy{"kernel32.dll", "CopyFileW", reinterpret_cast<const void*>(ScriptedCopyFileW)};
  IatPatch s1{"advapi32.dll", "OpenSCManagerW", reinterpret_cast<const void*>(FakeOpenSCManagerW)};
  IatPatch s2{"advapi32.dll", "OpenServiceW", reinterpret_cast<const void*>(FakeOpenServiceW)};
  IatPatch s3{"advapi32.dll", "ControlService", reinterpret_cast<const void*>(FakeControlService)};
  IatPatch s4{"advapi32.dll", "StartServiceW", reinterpret_cast<const void*>(FakeStartServiceW)};
  IatPatch s5{"advapi32.dll", "QueryServiceStatus",
              reinterpret_cast<const void*>(FakeQueryServiceStatus)};
  IatPatch s6{"advapi32.dll", "CloseServiceHandle",
              reinterpret_cast<const void*>(FakeCloseServiceHandle)};
  IatPatch sl{"kernel32.dll", "Sleep", reinterpret_cast<const void*>(RecordingSleep)};
};

TEST_F(MonitorPortTest, FirstCopySucceedsWithoutTouchingTheSpooler) {
  BoxCapture boxes;
  EXPECT_EQ(InstallPortMonitor(), 1);
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_EQ(g_monitorCopies, 1);
  EXPECT_EQ(g_stops + g_starts, 0);
  EXPECT_TRUE(FileExists(SystemDir() + L"\\orvlpm.dll"));
  EXPECT_TRUE(MonitorRegistered(L"MONorvl"));
}

TEST_F(MonitorPortTest, LockedDllIsCopiedAgainWhileTheSpoolerIsStopped) {
  g_copyErrors = {ERROR_SHARING_VIOLATION};
  BoxCapture boxes;
  EXPECT_EQ(InstallPortMonitor(), 1);
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_EQ(g_monitorCopies, 2);
  EXPECT_EQ(g_stops, 1);
  EXPECT_EQ(g_starts, 1);
  EXPECT_EQ(g_sleptMs, 1500u);
  EXPECT_TRUE(MonitorRegistered(L"MONorvl"));
}

TEST_F(MonitorPortTest, FailedSecondCopyReportsItsOwnError) {
  g_copyErrors = {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED};
  BoxCapture boxes;
  EXPECT_EQ(InstallPortMonitor(), 0);
  EXPECT_EQ(g_starts, 1);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"Failed to copy the port monitor DLL.", 5));
  EXPECT_TRUE(boxes.boxes()[0].systemModal());
  EXPECT_FALSE(MonitorRegistered(L"MONorvl"));
}

TEST_F(MonitorPortTest, FailedRestartHidesTheFailedCopy) {
  g_copyErrors = {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED};
  g_startError = 1058;
  BoxCapture boxes;
  EXPECT_EQ(InstallPortMonitor(), 0);
  ASSERT_EQ(boxes.boxes().size(), 2u);
  EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"Failed to start service!", 1058));
  EXPECT_EQ(boxes.boxes()[1].text, L"Failed to restart the spooler service.");
  EXPECT_TRUE(boxes.boxes()[1].systemModal());
  EXPECT_EQ(boxes.boxes()[1].caption, L"Orvalis setup");
}

TEST_F(MonitorPortTest, RefusedStopEndsTheStep) {
  g_copyErrors = {ERROR_SHARING_VIOLATION};
  g_stopResultState = 0;
  BoxCapture boxes;
  EXPECT_EQ(InstallPortMonitor(), 0);
  EXPECT_EQ(g_monitorCopies, 1);
  EXPECT_EQ(g_starts, 0);
  EXPECT_EQ(g_sleptMs, 0u);
  ASSERT_EQ(boxes.boxes().size(), 2u);
  EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"Failed to control spooler!", 1062));
  EXPECT_EQ(boxes.boxes()[1].text, L"Failed to stop the spooler service.");
}

TEST_F(MonitorPortTest, StopThatStaysPendingCountsAsFailure) {
  g_copyErrors = {ERROR_SHARING_VIOLATION};
  g_stopResultState = SERVICE_STOP_PENDING;
  ResetState(1);
  BoxCapture boxes;
  EXPECT_EQ(InstallPortMonitor(), 0);
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_EQ(g_starts, 0);
}

TEST_F(MonitorPortTest, MonitorStillRegisteredIsReported) {
  BoxCapture boxes;
  ASSERT_EQ(InstallPortMonitor(), 1);
  g_copyErrors = {kPretendCopied};
  EXPECT_EQ(InstallPortMonitor(), 0);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"AddMonitor() failed.", 3006));
}

TEST_F(MonitorPortTest, DllLoadedByTheSpoolerIsLockedForBothCopies) {
  // Wine's spooler runs in this process and keeps the registered monitor's
  // DLL loaded: overwriting it fails with a sharing violation.
  BoxCapture boxes;
  ASSERT_EQ(InstallPortMonitor(), 1);
  EXPECT_EQ(InstallPortMonitor(), 0);
  EXPECT_EQ(g_monitorCopies, 3);
  EXPECT_EQ(g_stops, 1);
  EXPECT_EQ(g_starts, 1);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text,
            ErrorReport(L"Failed to copy the port monitor DLL.", ERROR_SHARING_VIOLATION));
}

TEST_F(MonitorPortTest, PortIsCreatedThroughXcvWithTheExactInput) {
  IatPatch xcv("winspool.drv", "XcvDataW", reinterpret_cast<const void*>(RecordingXcvDataW));
  g_realXcvDataW = xcv.original<decltype(&XcvDataW)>();
  BoxCapture boxes;
  ASSERT_EQ(InstallPortMonitor(), 1);
  EXPECT_EQ(AddPrinterPort(), 1);
  EXPECT_EQ(g_xcvCommand, L"AddPort");
  EXPECT_EQ(g_xcvInput, (std::vector<BYTE>{'o', 0, 'r', 0, 'v', 0, 'l', 0, 0, 0}));
  EXPECT_EQ(g_xcvOutputSize, 0u);
  EXPECT_TRUE(PortListed(L"orvl"));
  // The port exists now: status 183, still success, no box.
  EXPECT_EQ(AddPrinterPort(), 1);
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(MonitorPortTest, XcvStatusOtherThanSuccessIsReportedWithThatNumber) {
  IatPatch xcv("winspool.drv", "XcvDataW", reinterpret_cast<const void*>(RecordingXcvDataW));
  g_realXcvDataW = xcv.original<decltype(&XcvDataW)>();
  ASSERT_EQ(InstallPortMonitor(), 1);
  g_xcvStatus = ERROR_ACCESS_DENIED;
  {
    BoxCapture boxes;
    EXPECT_EQ(AddPrinterPort(), 0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"XcvData() status error.", 5));
  }
  g_xcvStatus = ERROR_ALREADY_EXISTS;
  {
    BoxCapture boxes;
    EXPECT_EQ(AddPrinterPort(), 1);
    EXPECT_TRUE(boxes.boxes().empty());
  }
  g_xcvStatus = 0xFFFFFFFF;
  g_xcvFailCall = true;
  {
    BoxCapture boxes;
    EXPECT_EQ(AddPrinterPort(), 0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"XcvData() failed.", ERROR_INVALID_HANDLE));
  }
  ResetState(1);
  {
    BoxCapture boxes;
    EXPECT_EQ(AddPrinterPort(), 0);
    EXPECT_TRUE(boxes.boxes().empty());
  }
}

TEST_F(MonitorPortTest, UnopenableXcvChannelIsReported) {
  IatPatch open("winspool.drv", "OpenPrinterW", reinterpret_cast<const void*>(FailingOpenPrinterW));
  BoxCapture boxes;
  EXPECT_EQ(AddPrinterPort(), 0);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text,
            ErrorReport(L"Failed to get Xcv handle.", ERROR_INVALID_PRINTER_NAME));
}

TEST_F(MonitorPortTest, FailedRegistrationIsReportedUnlessSilent) {
  IatPatch add("winspool.drv", "AddMonitorW", reinterpret_cast<const void*>(FailingAddMonitorW));
  {
    BoxCapture boxes;
    EXPECT_EQ(InstallPortMonitor(), 0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"AddMonitor() failed.", 5));
  }
  ResetState(1);
  BoxCapture boxes;
  EXPECT_EQ(InstallPortMonitor(), 0);
  EXPECT_TRUE(boxes.boxes().empty());
}
