// orvlpm.dll loaded by the test and driven through the function table it
// hands the spooler, and then registered with Wine's spooler for real.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winspool.h>
#include <winsplp.h>

#include <stddef.h>

#include <algorithm>
#include <string>
#include <vector>

#include "orvl_test.h"

using namespace orvltest;

namespace {

const wchar_t kMonitorKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\MONorvl";
const wchar_t kCallbackRoot[] = L"Software\\OrvalisMonitorTest";

std::wstring MonitorDll() { return BinDir() + L"\\package\\orvlpm.dll"; }

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Called on the third enumeration of the ports key, i.e. as EnumPorts packs
// after its size pass over one port.
void (*g_onPackPass)() = nullptr;
int g_enumCalls = 0;

// Registry callbacks as a spooler that implements them would offer: handles
// are plain registry keys. Counts the calls.
int g_callbackCalls = 0;
LONG WINAPI CbCreateKey(HANDLE key, LPCWSTR sub, DWORD options, REGSAM sam, PSECURITY_ATTRIBUTES sa,
                        PHANDLE result, PDWORD disposition, HANDLE) {
  ++g_callbackCalls;
  return RegCreateKeyExW(static_cast<HKEY>(key), sub, 0, nullptr, options, sam, sa,
                         reinterpret_cast<PHKEY>(result), disposition);
}
LONG WINAPI CbOpenKey(HANDLE key, LPCWSTR sub, REGSAM sam, PHANDLE result, HANDLE) {
  ++g_callbackCalls;
  return RegOpenKeyExW(static_cast<HKEY>(key), sub, 0, sam, reinterpret_cast<PHKEY>(result));
}
LONG WINAPI CbCloseKey(HANDLE key, HANDLE) {
  ++g_callbackCalls;
  return RegCloseKey(static_cast<HKEY>(key));
}
LONG WINAPI CbDeleteKey(HANDLE key, LPCWSTR sub, HANDLE) {
  ++g_callbackCalls;
  return RegDeleteKeyW(static_cast<HKEY>(key), sub);
}
LONG WINAPI CbEnumKey(HANDLE key, DWORD index, LPWSTR name, PDWORD chars, PFILETIME time, HANDLE) {
  ++g_callbackCalls;
  if (++g_enumCalls == 3 && g_onPackPass) g_onPackPass();
  return RegEnumKeyExW(static_cast<HKEY>(key), index, name, chars, nullptr, nullptr, nullptr, time);
}

// What Wine's spooler hands over: every callback answers "not implemented".
LONG WINAPI NoCreateKey(HANDLE, LPCWSTR, DWORD, REGSAM, PSECURITY_ATTRIBUTES, PHANDLE, PDWORD,
                        HANDLE) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}
LONG WINAPI NoOpenKey(HANDLE, LPCWSTR, REGSAM, PHANDLE, HANDLE) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}
LONG WINAPI NoCloseKey(HANDLE, HANDLE) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG WINAPI NoDeleteKey(HANDLE, LPCWSTR, HANDLE) { return ERROR_CALL_NOT_IMPLEMENTED; }
LONG WINAPI NoEnumKey(HANDLE, DWORD, LPWSTR, PDWORD, PFILETIME, HANDLE) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}

// The spooler's router as the monitor meets it on Windows: records what the
// monitor opens, closes and reports sent.
struct RouterCalls {
  std::vector<HANDLE> opened, closed;
  std::vector<std::pair<HANDLE, DWORD>> sent;
  std::vector<DWORD> deleted;
} g_router;
// Kept jobs 11 and 12 finished ten days ago, 13 yesterday, 14 still spooling.
BOOL WINAPI FakeEnumJobs(HANDLE, DWORD, DWORD, DWORD, LPBYTE buffer, DWORD size, LPDWORD needed,
                         LPDWORD count) {
  const DWORD kJobs = 4;
  *needed = kJobs * sizeof(JOB_INFO_1W);
  if (size < *needed) return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
  auto* jobs = reinterpret_cast<JOB_INFO_1W*>(buffer);
  for (DWORD i = 0; i < kJobs; ++i) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG at = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
                   (i < 2 || i == 3 ? 10 : 1) * 864000000000ULL;
    now = {static_cast<DWORD>(at), static_cast<DWORD>(at >> 32)};
    jobs[i] = JOB_INFO_1W{};
    jobs[i].JobId = 11 + i;
    jobs[i].Status = i == 3 ? JOB_STATUS_SPOOLING : i ? JOB_STATUS_PRINTED : JOB_STATUS_COMPLETE;
    FileTimeToSystemTime(&now, &jobs[i].Submitted);
  }
  *count = kJobs;
  return TRUE;
}
BOOL WINAPI FakeOpenPrinter(LPWSTR, LPHANDLE printer, LPPRINTER_DEFAULTSW) {
  *printer = reinterpret_cast<HANDLE>(0x100 + g_router.opened.size());
  g_router.opened.push_back(*printer);
  return TRUE;
}
BOOL WINAPI FakeSetJob(HANDLE printer, DWORD job, DWORD, LPBYTE, DWORD command) {
  if (command == JOB_CONTROL_SENT_TO_PRINTER) g_router.sent.push_back({printer, job});
  if (command == JOB_CONTROL_DELETE) g_router.deleted.push_back(job);
  return TRUE;
}
BOOL WINAPI FakeClosePrinter(HANDLE printer) {
  g_router.closed.push_back(printer);
  return TRUE;
}
// Hides Wine from the monitor, so that it takes the road it takes on Windows.
FARPROC WINAPI NoWineGetProcAddress(HMODULE module, LPCSTR name) {
  if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) && lstrcmpA(name, "wine_get_version") == 0)
    return nullptr;
  return GetProcAddress(module, name);
}
BOOL WINAPI Windows2000(LPOSVERSIONINFOW version) {
  version->dwMajorVersion = 5;
  version->dwMinorVersion = 0;
  version->dwPlatformId = VER_PLATFORM_WIN32_NT;
  return TRUE;
}

std::vector<BYTE> PortInput(const std::wstring& name, bool terminator = true) {
  const BYTE* p = reinterpret_cast<const BYTE*>(name.c_str());
  size_t bytes = (name.size() + (terminator ? 1 : 0)) * sizeof(wchar_t);
  return std::vector<BYTE>(p, p + bytes);
}

}  // namespace

class MonitorDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    monitorKeyBefore = KeyExists(HKEY_LOCAL_MACHINE, kMonitorKey);
    DeleteTree(HKEY_CURRENT_USER, kCallbackRoot);
    module = LoadLibraryW(MonitorDll().c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    init = reinterpret_cast<decltype(init)>(
        reinterpret_cast<void*>(GetProcAddress(module, "InitializePrintMonitor2")));
    ASSERT_NE(init, nullptr);
  }
  void TearDown() override {
    if (monitor && functions) functions->pfnShutdown(monitor);
    if (root) RegCloseKey(root);
    if (module) FreeLibrary(module);
    for (const wchar_t* port : {L"orvltest", L"orvltest2"})
      DeleteTree(HKEY_LOCAL_MACHINE, std::wstring(kMonitorKey) + L"\\Ports\\" + port);
    if (!monitorKeyBefore) DeleteTree(HKEY_LOCAL_MACHINE, kMonitorKey);
    DeleteTree(HKEY_CURRENT_USER, kCallbackRoot);
  }

  // Initialises the monitor as Wine's spooler does (callbacks not
  // implemented) or as one whose callbacks work.
  void Initialize(bool workingCallbacks) {
    reg = {};
    reg.cbSize = sizeof(reg);
    if (workingCallbacks) {
      ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kCallbackRoot, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &root, nullptr),
                ERROR_SUCCESS);
      reg.fpCreateKey = CbCreateKey;
      reg.fpOpenKey = CbOpenKey;
      reg.fpCloseKey = CbCloseKey;
      reg.fpDeleteKey = CbDeleteKey;
      reg.fpEnumKey = CbEnumKey;
    } else {
      reg.fpCreateKey = NoCreateKey;
      reg.fpOpenKey = NoOpenKey;
      reg.fpCloseKey = NoCloseKey;
      reg.fpDeleteKey = NoDeleteKey;
      reg.fpEnumKey = NoEnumKey;
    }
    MONITORINIT mi = {};
    mi.cbSize = sizeof(mi);
    mi.hSpooler = reinterpret_cast<HANDLE>(0x5);
    mi.hckRegistryRoot = workingCallbacks ? reinterpret_cast<HKEYMONITOR>(root)
                                          : reinterpret_cast<HKEYMONITOR>(0x77);
    mi.pMonitorReg = &reg;
    mi.bLocal = TRUE;
    functions = init(&mi, &monitor);
    ASSERT_NE(functions, nullptr);
    ASSERT_NE(monitor, nullptr);
  }

  DWORD Xcv(const wchar_t* command, const std::vector<BYTE>& input,
            ACCESS_MASK access = SERVER_ACCESS_ADMINISTER) {
    HANDLE xcv = nullptr;
    EXPECT_TRUE(functions->pfnXcvOpenPort(monitor, L"MONorvl", access, &xcv));
    DWORD needed = 123;
    BYTE out[4];
    std::vector<BYTE> in = input;
    DWORD status = functions->pfnXcvDataPort(xcv, command, in.empty() ? nullptr : in.data(),
                                             static_cast<DWORD>(in.size()), out, 0, &needed);
    EXPECT_EQ(needed, 0u);
    EXPECT_TRUE(functions->pfnXcvClosePort(xcv));
    return status;
  }

  std::vector<std::wstring> Ports(DWORD level) {
    DWORD needed = 0, count = 0;
    std::vector<std::wstring> names;
    SetLastError(0xdeadbeef);
    BOOL first = functions->pfnEnumPorts(monitor, nullptr, level, nullptr, 0, &needed, &count);
    if (needed == 0) {
      EXPECT_TRUE(first);
      return names;
    }
    EXPECT_FALSE(first);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(
        functions->pfnEnumPorts(monitor, nullptr, level, buffer.data(), needed, &needed, &count));
    for (DWORD i = 0; i < count; ++i) {
      if (level == 1) {
        names.push_back(reinterpret_cast<PORT_INFO_1W*>(buffer.data())[i].pName);
      } else {
        auto& p = reinterpret_cast<PORT_INFO_2W*>(buffer.data())[i];
        names.push_back(p.pPortName);
        EXPECT_STREQ(p.pMonitorName, L"MONorvl");
        EXPECT_STREQ(p.pDescription, L"Orvalis fax port");
        EXPECT_EQ(p.fPortType, static_cast<DWORD>(PORT_TYPE_WRITE));
      }
    }
    return names;
  }

 public:
  bool monitorKeyBefore = false;
  HMODULE module = nullptr;
  LPMONITOR2(WINAPI* init)(PMONITORINIT, PHANDLE) = nullptr;
  MONITORREG reg = {};
  HKEY root = nullptr;
  HANDLE monitor = nullptr;
  LPMONITOR2 functions = nullptr;
};

TEST_F(MonitorDllTest, HandsTheSpoolerACompleteFunctionTable) {
  Initialize(false);
  // Windows XP and later: the whole record, pfnSendRecvBidiDataFromPort null.
  EXPECT_EQ(functions->cbSize, offsetof(MONITOR2, pfnShutdown) + 2 * sizeof(void*));
  EXPECT_EQ(reinterpret_cast<void**>(&functions->pfnShutdown)[1], nullptr);
  EXPECT_NE(functions->pfnEnumPorts, nullptr);
  EXPECT_NE(functions->pfnOpenPort, nullptr);
  EXPECT_NE(functions->pfnStartDocPort, nullptr);
  EXPECT_NE(functions->pfnWritePort, nullptr);
  EXPECT_NE(functions->pfnEndDocPort, nullptr);
  EXPECT_NE(functions->pfnClosePort, nullptr);
  EXPECT_NE(functions->pfnDeletePort, nullptr);
  EXPECT_NE(functions->pfnXcvOpenPort, nullptr);
  EXPECT_NE(functions->pfnXcvDataPort, nullptr);
  EXPECT_NE(functions->pfnXcvClosePort, nullptr);
  EXPECT_NE(functions->pfnShutdown, nullptr);
  functions->pfnShutdown(monitor);
  monitor = nullptr;
  IatPatch version("kernel32.dll", "GetVersionExW", reinterpret_cast<const void*>(Windows2000),
                   module);
  Initialize(false);
  // Windows 2000: up to and with the whole of pfnShutdown (MONITOR2_SIZE_WIN2K on x86).
  EXPECT_EQ(functions->cbSize, offsetof(MONITOR2, pfnShutdown) + sizeof(void*));
}

// The monitor's start makes the kill event that setup pulses: owner SYSTEM;
// SYSTEM and Administrators all access, Everyone only waits and reads its
// security; manual-reset, so one pulse releases every waiting collector.
TEST_F(MonitorDllTest, StartMakesTheKillEventNoUserMaySignal) {
  Initialize(false);
  HANDLE event = OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, L"Global\\Orvalis_killevent");
  ASSERT_NE(event, nullptr) << GetLastError();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetSecurityInfo(event, SE_KERNEL_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &dacl, nullptr, &sd),
            DWORD{ERROR_SUCCESS});
  wchar_t* text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
  EXPECT_STREQ(text, L"O:SYD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120000;;;WD)");
  LocalFree(text);
  LocalFree(sd);
  struct {
    ULONG type, state;
  } info = {99, 99};
  auto query = reinterpret_cast<LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryEvent")));
  // The test runs as an administrator (Wine's user is one): it may query.
  HANDLE queried = OpenEventW(0x0001 /* EVENT_QUERY_STATE */, FALSE, L"Global\\Orvalis_killevent");
  ASSERT_NE(queried, nullptr) << GetLastError();
  ASSERT_EQ(query(queried, 0, &info, sizeof(info), nullptr), 0);
  CloseHandle(queried);
  EXPECT_EQ(info.type, 0u);  // NotificationEvent: manual reset
  EXPECT_EQ(info.state, 0u);
  CloseHandle(event);
}

TEST_F(MonitorDllTest, AddPortStoresASubkeyAndAnswers183WhenItExists) {
  Initialize(false);
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"orvltest")), 0u);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMonitorKey) + L"\\Ports\\orvltest"));
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"orvltest")), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"ORVLTEST")), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST_F(MonitorDllTest, EnumPortsListsEveryPortAtBothLevels) {
  Initialize(false);
  std::vector<std::wstring> before = Ports(2);
  EXPECT_EQ(Ports(1), before);
  ASSERT_EQ(Xcv(L"AddPort", PortInput(L"orvltest")), 0u);
  ASSERT_EQ(Xcv(L"AddPort", PortInput(L"orvltest2")), 0u);
  for (DWORD level : {1u, 2u}) {
    std::vector<std::wstring> names = Ports(level);
    EXPECT_EQ(names.size(), before.size() + 2);
    EXPECT_NE(std::find(names.begin(), names.end(), L"orvltest"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), L"orvltest2"), names.end());
  }
  DWORD needed = 0, count = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(functions->pfnEnumPorts(monitor, nullptr, 3, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(MonitorDllTest, PortsAreDeletedThroughXcvAndTheSpoolersCall) {
  Initialize(false);
  ASSERT_EQ(Xcv(L"AddPort", PortInput(L"orvltest")), 0u);
  ASSERT_EQ(Xcv(L"AddPort", PortInput(L"orvltest2")), 0u);
  EXPECT_EQ(Xcv(L"DeletePort", PortInput(L"orvltest")), 0u);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMonitorKey) + L"\\Ports\\orvltest"));
  EXPECT_EQ(Xcv(L"DeletePort", PortInput(L"orvltest")), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(
      functions->pfnDeletePort(monitor, nullptr, nullptr, const_cast<wchar_t*>(L"orvltest2")));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMonitorKey) + L"\\Ports\\orvltest2"));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(
      functions->pfnDeletePort(monitor, nullptr, nullptr, const_cast<wchar_t*>(L"orvltest2")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(MonitorDllTest, MalformedXcvRequestsAreRefused) {
  Initialize(false);
  const DWORD invalid = ERROR_INVALID_PARAMETER;
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"orvltest", false)), invalid);  // no terminator
  std::vector<BYTE> odd = PortInput(L"orvltest");
  odd.push_back(0);
  EXPECT_EQ(Xcv(L"AddPort", odd), invalid);
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"")), invalid);
  EXPECT_EQ(Xcv(L"AddPort", {}), invalid);
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"orvl\\test")), invalid);
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"orvl,test")), invalid);
  EXPECT_EQ(Xcv(L"AddPort", PortInput(std::wstring(64, L'a'))), invalid);
  EXPECT_EQ(Xcv(L"MonitorUI", {}), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"orvltest"), SERVER_ACCESS_ENUMERATE),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMonitorKey) + L"\\Ports\\orvltest"));
}

TEST_F(MonitorDllTest, UsesTheSpoolersRegistryCallbacksWhenTheyWork) {
  Initialize(true);
  g_callbackCalls = 0;
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"orvltest")), 0u);
  EXPECT_GT(g_callbackCalls, 0);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::wstring(kCallbackRoot) + L"\\Ports\\orvltest"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kMonitorKey) + L"\\Ports\\orvltest"));
  EXPECT_EQ(Ports(2), std::vector<std::wstring>{L"orvltest"});
  EXPECT_EQ(Xcv(L"AddPort", PortInput(L"orvltest")), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Xcv(L"DeletePort", PortInput(L"orvltest")), 0u);
  EXPECT_TRUE(Ports(1).empty());
}

MonitorDllTest* g_fixture = nullptr;
DWORD g_threadStatus = 0;
DWORD WINAPI AddPortOnAnotherThread(LPVOID) {
  HANDLE xcv = nullptr;
  std::vector<BYTE> in = PortInput(L"orvltest3");
  DWORD needed = 0;
  g_fixture->functions->pfnXcvOpenPort(g_fixture->monitor, L"MONorvl", SERVER_ACCESS_ADMINISTER,
                                       &xcv);
  g_threadStatus = g_fixture->functions->pfnXcvDataPort(
      xcv, L"AddPort", in.data(), static_cast<DWORD>(in.size()), nullptr, 0, &needed);
  g_fixture->functions->pfnXcvClosePort(xcv);
  return 0;
}

TEST_F(MonitorDllTest, EnumPortsStaysInsideTheBufferWhileThePortListChanges) {
  Initialize(true);
  ASSERT_EQ(Xcv(L"AddPort", PortInput(L"orvltest")), 0u);
  DWORD needed = 0, count = 0;
  EXPECT_FALSE(functions->pfnEnumPorts(monitor, nullptr, 2, nullptr, 0, &needed, &count));
  const DWORD sized = needed;
  // While the records are packed: a port added behind the monitor's back,
  // and one added through the monitor on another thread, which must wait.
  static HANDLE thread;
  static DWORD waited;
  g_fixture = this;
  g_onPackPass = [] {
    SetString(HKEY_CURRENT_USER, std::wstring(kCallbackRoot) + L"\\Ports\\orvltest2", L"v", L"1");
    thread = CreateThread(nullptr, 0, AddPortOnAnotherThread, nullptr, 0, nullptr);
    waited = WaitForSingleObject(thread, 300);
  };
  g_enumCalls = 0;
  std::vector<BYTE> buffer(sized + 64, 0xCD);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(functions->pfnEnumPorts(monitor, nullptr, 2, buffer.data(), sized, &needed, &count));
  g_onPackPass = nullptr;
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(count, 0u);
  EXPECT_GT(needed, sized);
  EXPECT_EQ(std::count(buffer.begin() + sized, buffer.end(), 0xCD), 64);
  EXPECT_EQ(waited, static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_EQ(WaitForSingleObject(thread, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(thread);
  EXPECT_EQ(g_threadStatus, 0u);
  EXPECT_EQ(Ports(2).size(), 3u);
}

TEST_F(MonitorDllTest, ListsManyPortsAndSkipsForeignLongNames) {
  Initialize(true);
  for (int i = 0; i < 80; ++i)
    ASSERT_EQ(Xcv(L"AddPort", PortInput(L"orvltest" + std::to_wstring(i))), 0u);
  // A subkey no port of ours could have made.
  SetString(HKEY_CURRENT_USER, std::wstring(kCallbackRoot) + L"\\Ports\\" + std::wstring(100, L'x'),
            L"v", L"1");
  for (DWORD level : {1u, 2u}) {
    std::vector<std::wstring> names = Ports(level);
    EXPECT_EQ(names.size(), 80u);
    EXPECT_NE(std::find(names.begin(), names.end(), L"orvltest79"), names.end());
  }
}

TEST_F(MonitorDllTest, AcceptsAWholeJobAndDiscardsIt) {
  Initialize(false);
  HANDLE port = nullptr;
  ASSERT_TRUE(functions->pfnOpenPort(monitor, const_cast<wchar_t*>(L"orvltest"), &port));
  DOC_INFO_1W doc = {const_cast<wchar_t*>(L"job"), nullptr, const_cast<wchar_t*>(L"RAW")};
  EXPECT_TRUE(functions->pfnStartDocPort(port, const_cast<wchar_t*>(L"No such printer"), 7, 1,
                                         reinterpret_cast<BYTE*>(&doc)));
  std::vector<BYTE> data(65536, 0x5A);
  for (int i = 0; i < 4; ++i) {
    DWORD written = 0;
    EXPECT_TRUE(
        functions->pfnWritePort(port, data.data(), static_cast<DWORD>(data.size()), &written));
    EXPECT_EQ(written, data.size());
  }
  DWORD read = 99;
  BYTE buffer[16];
  EXPECT_TRUE(functions->pfnReadPort(port, buffer, sizeof(buffer), &read));
  EXPECT_EQ(read, 0u);
  EXPECT_TRUE(functions->pfnEndDocPort(port));
  EXPECT_TRUE(functions->pfnClosePort(port));
}

TEST_F(MonitorDllTest, JobEndsGoThroughTheRouterAndLeaveNoPrinterOpen) {
  g_router = {};
  IatPatch notWine("kernel32.dll", "GetProcAddress",
                   reinterpret_cast<const void*>(NoWineGetProcAddress), module);
  IatPatch open("spoolss.dll", "OpenPrinterW", reinterpret_cast<const void*>(FakeOpenPrinter),
                module);
  IatPatch set("spoolss.dll", "SetJobW", reinterpret_cast<const void*>(FakeSetJob), module);
  IatPatch close("spoolss.dll", "ClosePrinter", reinterpret_cast<const void*>(FakeClosePrinter),
                 module);
  IatPatch list("spoolss.dll", "EnumJobsW", reinterpret_cast<const void*>(FakeEnumJobs), module);
  DeleteTree(HKEY_LOCAL_MACHINE, L"Software\\Orvalis");
  Initialize(false);
  HANDLE port = nullptr;
  ASSERT_TRUE(functions->pfnOpenPort(monitor, const_cast<wchar_t*>(L"orvl"), &port));
  wchar_t printer[] = L"Orvalis";
  // Job 7 never gets EndDocPort; job 8 ends; job 9 is cut off by ClosePort.
  for (DWORD job : {7u, 8u})
    EXPECT_TRUE(functions->pfnStartDocPort(port, printer, job, 1, nullptr));
  EXPECT_TRUE(functions->pfnEndDocPort(port));
  EXPECT_TRUE(functions->pfnStartDocPort(port, printer, 9, 1, nullptr));
  EXPECT_TRUE(functions->pfnClosePort(port));
  ASSERT_EQ(g_router.opened.size(), 3u);
  EXPECT_EQ(g_router.closed, g_router.opened);
  EXPECT_EQ(g_router.sent, (std::vector<std::pair<HANDLE, DWORD>>{{g_router.opened[1], 8}}));
  // At the job's end, kept jobs finished more than KeepJobsDays (7 by default) ago went.
  EXPECT_EQ(g_router.deleted, (std::vector<DWORD>{11, 12}));
  // 0: kept for good.
  g_router.deleted.clear();
  HKEY key = nullptr;
  DWORD never = 0;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Orvalis", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                  &key, nullptr);
  RegSetValueExW(key, L"KeepJobsDays", 0, REG_DWORD, reinterpret_cast<BYTE*>(&never), 4);
  RegCloseKey(key);
  ASSERT_TRUE(functions->pfnOpenPort(monitor, const_cast<wchar_t*>(L"orvl"), &port));
  EXPECT_TRUE(functions->pfnStartDocPort(port, printer, 10, 1, nullptr));
  EXPECT_TRUE(functions->pfnEndDocPort(port));
  EXPECT_TRUE(functions->pfnClosePort(port));
  EXPECT_TRUE(g_router.deleted.empty());
  DeleteTree(HKEY_LOCAL_MACHINE, L"Software\\Orvalis");
}

// Registered with Wine's spooler, which loads it from the system folder.
class MonitorSpoolerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    target = std::wstring(dir) + L"\\orvlpm.dll";
    Clean();
    ASSERT_TRUE(CopyFileW(MonitorDll().c_str(), target.c_str(), FALSE)) << GetLastError();
  }
  void TearDown() override {
    Clean();
    DeleteFileW(target.c_str());
  }
  void Clean() {
    DeletePortW(nullptr, nullptr, const_cast<wchar_t*>(L"orvltest"));
    DeleteMonitorW(nullptr, nullptr, const_cast<wchar_t*>(L"MONorvl"));
    DeleteTree(HKEY_LOCAL_MACHINE, kMonitorKey);
  }
  bool PortListed(const wchar_t* name) {
    DWORD needed = 0, count = 0;
    EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> b(needed ? needed : 1);
    if (!EnumPortsW(nullptr, 2, b.data(), needed, &needed, &count)) return false;
    for (DWORD i = 0; i < count; ++i) {
      auto& p = reinterpret_cast<PORT_INFO_2W*>(b.data())[i];
      if (lstrcmpiW(p.pPortName, name) == 0) return true;
    }
    return false;
  }
  std::wstring target;
};

TEST_F(MonitorSpoolerTest, SpoolerCreatesListsAndDeletesThePort) {
  MONITOR_INFO_2W info = {const_cast<wchar_t*>(L"MONorvl"), nullptr,
                          const_cast<wchar_t*>(L"orvlpm.dll")};
  ASSERT_TRUE(AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info))) << GetLastError();
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
  HANDLE xcv = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<wchar_t*>(L",XcvMonitor MONorvl"), &xcv, &defaults));
  std::vector<BYTE> in = PortInput(L"orvltest");
  BYTE out[4];
  DWORD needed = 0, status = 0xdeadbeef;
  EXPECT_TRUE(XcvDataW(xcv, L"AddPort", in.data(), static_cast<DWORD>(in.size()), out, 0, &needed,
                       &status));
  EXPECT_EQ(status, 0u);
  status = 0xdeadbeef;
  EXPECT_TRUE(XcvDataW(xcv, L"AddPort", in.data(), static_cast<DWORD>(in.size()), out, 0, &needed,
                       &status));
  EXPECT_EQ(status, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ClosePrinter(xcv);
  EXPECT_TRUE(PortListed(L"orvltest"));
  EXPECT_TRUE(DeletePortW(nullptr, nullptr, const_cast<wchar_t*>(L"orvltest"))) << GetLastError();
  EXPECT_FALSE(PortListed(L"orvltest"));
  EXPECT_TRUE(DeleteMonitorW(nullptr, nullptr, const_cast<wchar_t*>(L"MONorvl")));
}
