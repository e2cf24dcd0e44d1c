// Stopping and starting the spooler with the service manager, status, clock
// and sleep patched: the wait policy and the error boxes.
#include <deque>

#include "setup_fixture.h"

using namespace orvltest;

namespace {

// A scripted service: the statuses its queries return, in order (the last
// one repeats), a clock that only the patched Sleep advances.
struct FakeService {
  std::deque<SERVICE_STATUS> statuses;
  DWORD clock = 0;
  std::vector<DWORD> sleeps;
  DWORD failOpenManager = 0, failOpenService = 0, failControl = 0, failStart = 0, failQuery = 0;
  int controls = 0, starts = 0, queries = 0, closes = 0, opens = 0;
};
FakeService* g_fake = nullptr;

SERVICE_STATUS Status(DWORD state, DWORD checkPoint, DWORD waitHint) {
  SERVICE_STATUS s = {};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwCheckPoint = checkPoint;
  s.dwWaitHint = waitHint;
  return s;
}

SC_HANDLE WINAPI FakeOpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  ++g_fake->opens;
  EXPECT_EQ(machine, nullptr);
  EXPECT_EQ(database, nullptr);
  EXPECT_EQ(access, 0xA0000000u);
  if (g_fake->failOpenManager) {
    SetLastError(g_fake->failOpenManager);
    return nullptr;
  }
  return reinterpret_cast<SC_HANDLE>(0x1000);
}

SC_HANDLE WINAPI FakeOpenServiceW(SC_HANDLE, LPCWSTR name, DWORD access) {
  EXPECT_STREQ(name, L"Spooler");
  EXPECT_EQ(access, 0xA0000000u);
  if (g_fake->failOpenService) {
    SetLastError(g_fake->failOpenService);
    return nullptr;
  }
  return reinterpret_cast<SC_HANDLE>(0x2000);
}

BOOL WINAPI FakeControlService(SC_HANDLE, DWORD control, LPSERVICE_STATUS) {
  ++g_fake->controls;
  EXPECT_EQ(control, static_cast<DWORD>(SERVICE_CONTROL_STOP));
  if (g_fake->failControl) {
    SetLastError(g_fake->failControl);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI FakeStartServiceW(SC_HANDLE, DWORD argc, LPCWSTR* argv) {
  ++g_fake->starts;
  EXPECT_EQ(argc, 0u);
  EXPECT_EQ(argv, nullptr);
  if (g_fake->failStart) {
    SetLastError(g_fake->failStart);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI FakeQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS status) {
  ++g_fake->queries;
  if (g_fake->failQuery && g_fake->queries >= static_cast<int>(g_fake->failQuery)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *status = g_fake->statuses.front();
  if (g_fake->statuses.size() > 1) g_fake->statuses.pop_front();
  return TRUE;
}

BOOL WINAPI FakeCloseServiceHandle(SC_HANDLE) {
  ++g_fake->closes;
  return TRUE;
}

VOID WINAPI FakeSleep(DWORD ms) {
  g_fake->sleeps.push_back(ms);
  g_fake->clock += ms;
}

DWORD WINAPI FakeGetTickCount() { return g_fake->clock; }

}  // namespace

// Installs the fake for the test's lifetime.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake = &fake;
    g_setup = SetupState{};
    lstrcpyW(g_setup.caption, L"Orvalis setup");
  }
  void TearDown() override { g_fake = nullptr; }
  FakeService fake;
  IatPatch p1{"advapi32.dll", "OpenSCManagerW", reinterpret_cast<const void*>(FakeOpenSCManagerW)};
  IatPatch p2{"advapi32.dll", "OpenServiceW", reinterpret_cast<const void*>(FakeOpenServiceW)};
  IatPatch p3{"advapi32.dll", "ControlService", reinterpret_cast<const void*>(FakeControlService)};
  IatPatch p4{"advapi32.dll", "StartServiceW", reinterpret_cast<const void*>(FakeStartServiceW)};
  IatPatch p5{"advapi32.dll", "QueryServiceStatus",
              reinterpret_cast<const void*>(FakeQueryServiceStatus)};
  IatPatch p6{"advapi32.dll", "CloseServiceHandle",
              reinterpret_cast<const void*>(FakeCloseServiceHandle)};
  IatPatch p7{"kernel32.dll", "Sleep", reinterpret_cast<const void*>(FakeSleep)};
  IatPatch p8{"kernel32.dll", "GetTickCount", reinterpret_cast<const void*>(FakeGetTickCount)};
};

TEST_F(ServiceTest, AlreadyStoppedReturnsAtOnceWithoutWaiting) {
  fake.statuses = {Status(SERVICE_STOPPED, 0, 0)};
  BoxCapture boxes;
  EXPECT_EQ(StopSpooler(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(fake.sleeps.empty());
  EXPECT_EQ(fake.queries, 1);
  EXPECT_EQ(fake.closes, 2);
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(ServiceTest, WaitHintZeroPollsOnceForASecondThenGivesUp) {
  fake.statuses = {Status(SERVICE_STOP_PENDING, 0, 0)};
  EXPECT_EQ(StopSpooler(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(fake.sleeps, std::vector<DWORD>{1000});
}

TEST_F(ServiceTest, LongWaitHintPollsAtMostTenSeconds) {
  fake.statuses = {Status(SERVICE_STOP_PENDING, 0, 200000), Status(SERVICE_STOPPED, 0, 0)};
  EXPECT_EQ(StopSpooler(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(fake.sleeps, std::vector<DWORD>{10000});
}

TEST_F(ServiceTest, PollIsATenthOfTheHintWithinOneToTenSeconds) {
  fake.statuses = {Status(SERVICE_START_PENDING, 0, 35000), Status(SERVICE_START_PENDING, 1, 35000),
                   Status(SERVICE_RUNNING, 1, 0)};
  EXPECT_EQ(StartSpooler(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(fake.sleeps, (std::vector<DWORD>{3500, 3500}));
  EXPECT_EQ(fake.starts, 1);
  EXPECT_EQ(fake.controls, 0);
}

TEST_F(ServiceTest, RisingCheckPointsKeepTheWaitAlive) {
  SERVICE_STATUS first = Status(SERVICE_STOP_PENDING, 0, 500);
  fake.statuses = {first};
  for (DWORD cp = 1; cp <= 40; ++cp) fake.statuses.push_back(Status(SERVICE_STOP_PENDING, cp, 500));
  fake.statuses.push_back(Status(SERVICE_STOPPED, 40, 0));
  EXPECT_EQ(StopSpooler(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(fake.sleeps.size(), 41u);
}

TEST_F(ServiceTest, NoProgressForLongerThanTheHintEndsTheWait) {
  // Progress twice, then none: 5 s hint, 1 s polls, given up after 6 s without progress.
  fake.statuses = {Status(SERVICE_STOP_PENDING, 0, 5000), Status(SERVICE_STOP_PENDING, 1, 5000),
                   Status(SERVICE_STOP_PENDING, 2, 5000), Status(SERVICE_STOP_PENDING, 2, 5000)};
  EXPECT_EQ(StopSpooler(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(fake.sleeps.size(), 2u + 6u);
}

TEST_F(ServiceTest, TickCountWrapIsMeasuredIn32Bits) {
  fake.clock = 0xFFFFF000u;  // wraps after 4096 ms
  fake.statuses = {Status(SERVICE_STOP_PENDING, 0, 5000)};
  EXPECT_EQ(StopSpooler(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(fake.sleeps.size(), 6u);
}

TEST_F(ServiceTest, FailedQueryInsideTheWaitReturnsTheLastStateSeen) {
  fake.statuses = {Status(SERVICE_START_PENDING, 0, 20000)};
  fake.failQuery = 2;
  BoxCapture boxes;
  EXPECT_EQ(StartSpooler(), static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(fake.sleeps, std::vector<DWORD>{2000});
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(ServiceTest, EachFailedCallShowsItsBoxAndReturnsZero) {
  struct Case {
    DWORD FakeService::*field;
    bool stop;
    const wchar_t* text;
  } cases[] = {
      {&FakeService::failOpenManager, true, L"Failed to open SC manager!"},
      {&FakeService::failOpenService, false, L"Failed to open spooler service!"},
      {&FakeService::failControl, true, L"Failed to control spooler!"},
      {&FakeService::failStart, false, L"Failed to start service!"},
      {&FakeService::failQuery, true, L"Failed to query service status!"},
  };
  for (const auto& c : cases) {
    for (int silent : {0, 1}) {
      fake = FakeService{};
      fake.statuses = {Status(SERVICE_RUNNING, 0, 0)};
      fake.*(c.field) = c.field == &FakeService::failQuery ? 1 : 1062;
      g_setup.silentMode = silent;
      BoxCapture boxes;
      EXPECT_EQ(c.stop ? StopSpooler() : StartSpooler(), 0u) << Narrow(c.text);
      if (silent) {
        EXPECT_TRUE(boxes.boxes().empty());
        continue;
      }
      ASSERT_EQ(boxes.boxes().size(), 1u) << Narrow(c.text);
      DWORD error = c.field == &FakeService::failQuery ? ERROR_INVALID_HANDLE : 1062;
      EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(c.text, error));
      EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis setup");
      EXPECT_TRUE(boxes.boxes()[0].systemModal());
      EXPECT_TRUE(fake.sleeps.empty());
    }
  }
}
