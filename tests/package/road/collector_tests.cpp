// The collector's loop against a spooler double: Wine's EnumJobsW is a stub
// and Wine spools PostScript, so the queue, the job handles, the spool bytes
// and SetJob are served through the test program's imports. The converter is
// the real converter.exe of this build.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "collector.h"
#include "job_road.h"
#include "orvl_test.h"
#include "spool_builder.h"

using namespace orvltest;

namespace {

const wchar_t kMachineKey[] = L"Software\\Orvalis";
HANDLE const kPrinter = reinterpret_cast<HANDLE>(0x5150);

struct FakeJob {
  DWORD id;
  std::wstring user, datatype;
  DWORD status;
  std::string data;
  int opens = 0;  // job handles opened on it, that is reads of its data
  bool deleted = false;
  std::string ticketAtDelete;  // the job's ticket (UTF-8) when SetJob deleted it
};

struct Converted {
  std::wstring ticket;
  std::vector<std::string> pages;  // the bytes of the files the ticket lists
};

// The double's state, guarded by one lock: collectors call in from threads.
struct Spooler {
  CRITICAL_SECTION lock;
  std::vector<FakeJob> jobs;
  std::map<HANDLE, std::pair<DWORD, size_t>> reads;  // job handle: job id, offset
  size_t nextHandle = 0x7000;
  HANDLE change = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE stopOnRead = nullptr;  // set on the first read of spool data
  std::vector<Converted> converted;
  std::wstring dest;
} g;

struct Lock {
  Lock() { EnterCriticalSection(&g.lock); }
  ~Lock() { LeaveCriticalSection(&g.lock); }
};

FakeJob* Find(DWORD id) {
  for (FakeJob& job : g.jobs)
    if (job.id == id && !job.deleted) return &job;
  return nullptr;
}

std::string Utf16File(const std::wstring& path) {
  std::string bytes = ReadBytes(path);
  if (bytes.size() < 2) return bytes;
  return Narrow(
      std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), bytes.size() / 2 - 1));
}

// Job folders and claims lying in the destination.
std::vector<std::wstring> DestEntries() {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((g.dest + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (found.cFileName[0] != L'.') names.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

// A job's folder: its id and the time it was spooled (Pack's time, UTC).
std::wstring FolderOf(DWORD id) {
  wchar_t name[64];
  wsprintfW(name, L"\\Job%lu-20261208-093000-%03lu", id, id);
  return g.dest + name;
}

// JOB_INFO_1W records followed by their texts, as the spooler packs them.
BOOL Pack(const std::vector<FakeJob*>& list, BYTE* buffer, DWORD size, DWORD* needed) {
  DWORD need = static_cast<DWORD>(list.size() * sizeof(JOB_INFO_1W));
  for (FakeJob* job : list)
    need += static_cast<DWORD>((job->user.size() + job->datatype.size() + 2) * 2);
  *needed = need;
  if (!buffer || size < need) return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
  auto* info = reinterpret_cast<JOB_INFO_1W*>(buffer);
  auto* text = reinterpret_cast<wchar_t*>(buffer + list.size() * sizeof(JOB_INFO_1W));
  auto put = [&text](const std::wstring& s) {
    wchar_t* at = lstrcpyW(text, s.c_str());
    text += s.size() + 1;
    return at;
  };
  for (FakeJob* job : list) {
    *info = JOB_INFO_1W{};
    info->JobId = job->id;
    info->pUserName = put(job->user);
    info->pDatatype = put(job->datatype);
    info->Status = job->status;
    info->Submitted = SYSTEMTIME{2026, 12, 2, 8, 9, 30, 0, static_cast<WORD>(job->id)};
    ++info;
  }
  return TRUE;
}

BOOL WINAPI FakeEnumJobs(HANDLE, DWORD, DWORD, DWORD, BYTE* buffer, DWORD size, DWORD* needed,
                         DWORD* count) {
  Lock lock;
  std::vector<FakeJob*> list;
  for (FakeJob& job : g.jobs)
    if (!job.deleted) list.push_back(&job);
  *count = Pack(list, buffer, size, needed) ? static_cast<DWORD>(list.size()) : 0;
  return *count == list.size();
}

BOOL WINAPI FakeGetJob(HANDLE, DWORD id, DWORD, BYTE* buffer, DWORD size, DWORD* needed) {
  Lock lock;
  FakeJob* job = Find(id);
  if (!job) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  return Pack({job}, buffer, size, needed);
}

BOOL WINAPI FakeOpenPrinter(LPWSTR name, HANDLE* handle, PRINTER_DEFAULTSW*) {
  Lock lock;
  DWORD id = 0;
  if (lstrcmpW(name, L"Orvalis") == 0) return *handle = kPrinter, TRUE;
  FakeJob* job = swscanf(name, L"Orvalis, Job %lu", &id) == 1 ? Find(id) : nullptr;
  if (!job) return SetLastError(ERROR_INVALID_PRINTER_NAME), FALSE;
  ++job->opens;
  *handle = reinterpret_cast<HANDLE>(g.nextHandle++);
  g.reads[*handle] = {id, 0};
  return TRUE;
}

BOOL WINAPI FakeReadPrinter(HANDLE handle, void* buffer, DWORD size, DWORD* got) {
  Lock lock;
  if (g.stopOnRead) SetEvent(g.stopOnRead);
  auto& read = g.reads.at(handle);
  const std::string& data = Find(read.first)->data;
  *got = static_cast<DWORD>(std::min<size_t>({size, 4096, data.size() - read.second}));
  memcpy(buffer, data.data() + read.second, *got);
  read.second += *got;
  return TRUE;
}

BOOL WINAPI FakeSetJob(HANDLE, DWORD id, DWORD, BYTE*, DWORD command) {
  Lock lock;
  FakeJob* job = Find(id);
  if (!job || command != JOB_CONTROL_DELETE) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  job->ticketAtDelete = Utf16File(FolderOf(id) + L"\\job.ini");
  job->deleted = true;
  return TRUE;
}

BOOL WINAPI FakeClosePrinter(HANDLE handle) {
  Lock lock;
  g.reads.erase(handle);
  return TRUE;
}

HANDLE WINAPI FakeFindFirstChange(HANDLE, DWORD, DWORD, void*) { return g.change; }
BOOL WINAPI FakeFindNextChange(HANDLE change, DWORD* what, void*, void*) {
  *what = PRINTER_CHANGE_ADD_JOB;
  return ResetEvent(change);
}
BOOL WINAPI FakeFindCloseChange(HANDLE) { return TRUE; }

// Notes what each converter start is handed, then starts it for real.
IatPatch* g_createProcess = nullptr;
BOOL WINAPI SeeConverter(LPCWSTR exe, LPWSTR line, SECURITY_ATTRIBUTES* pa, SECURITY_ATTRIBUTES* ta,
                         BOOL inherit, DWORD flags, void* env, LPCWSTR dir, STARTUPINFOW* si,
                         PROCESS_INFORMATION* pi) {
  Converted run;
  std::wstring command = line;
  run.ticket = command.substr(command.find(L"\" ", 1) + 2);
  UINT count = GetPrivateProfileIntW(L"EMF", L"Count", 0, run.ticket.c_str());
  for (UINT i = 0; i < count && i < 100; ++i) {
    wchar_t page[MAX_PATH] = {};
    GetPrivateProfileStringW(L"EMF", (L"File" + std::to_wstring(i)).c_str(), L"", page, MAX_PATH,
                             run.ticket.c_str());
    run.pages.push_back(ReadBytes(page));
  }
  {
    Lock lock;
    g.converted.push_back(run);
  }
  return g_createProcess->original<decltype(&CreateProcessW)>()(exe, line, pa, ta, inherit, flags,
                                                                env, dir, si, pi);
}

// Each collector as if in a session of its own: a fresh object, no name.
HANDLE WINAPI UnnamedMutex(SECURITY_ATTRIBUTES*, BOOL, LPCWSTR) {
  HANDLE fresh = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetLastError(ERROR_SUCCESS);
  return fresh;
}

struct Running {
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0, [](void* stop) -> DWORD { return RunCollector(static_cast<HANDLE>(stop)); }, stop,
      0, nullptr);
  // Stops it; the exit code, or -1 when it did not end in time.
  int Stop(DWORD ms = 5000) {
    SetEvent(stop);
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(thread, ms) == WAIT_OBJECT_0) GetExitCodeThread(thread, &code);
    return static_cast<int>(code);
  }
  ~Running() {
    Stop(30000);
    CloseHandle(thread);
    CloseHandle(stop);
  }
};

bool WaitUntil(const std::function<bool()>& done, DWORD ms = 20000) {
  for (DWORD waited = 0; waited < ms; waited += 25, Sleep(25)) {
    Lock lock;
    if (done()) return true;
  }
  return false;
}

std::wstring User() {
  wchar_t name[260];
  DWORD units = 260;
  GetUserNameW(name, &units);
  return name;
}

}  // namespace

class CollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeCriticalSection(&g.lock);
    DeleteTree(HKEY_LOCAL_MACHINE, kMachineKey);
    DeleteTree(HKEY_CURRENT_USER, kMachineKey);
    g.dest = dir.path();
    SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"JobDestDir", g.dest);
    SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"ConverterPath", BinDir() + L"\\converter.exe");
    g_createProcess = &createProcess;
    spool.Page(page0).MonoPage(page1);
  }
  void TearDown() override {
    DeleteTree(HKEY_LOCAL_MACHINE, kMachineKey);
    g.jobs.clear();
    g.converted.clear();
    g.stopOnRead = nullptr;
    DeleteCriticalSection(&g.lock);
  }
  // A job of the test's user, finished and kept, of two pages.
  void AddJob(DWORD id, const std::wstring& user = User(), const wchar_t* type = L"NT EMF 1.008",
              DWORD status = JOB_STATUS_PRINTED) {
    Lock lock;
    g.jobs.push_back(FakeJob{id, user, type, status, spool.bytes(), 0, false, {}});
  }
  ScratchDir dir;
  std::string page0 = spoolbuild::SamplePage(0, 2), page1 = spoolbuild::SamplePage(1, 2, true);
  spoolbuild::SpoolBuilder spool;
  IatPatch enumJobs{"winspool.drv", "EnumJobsW", reinterpret_cast<void*>(FakeEnumJobs)};
  IatPatch getJob{"winspool.drv", "GetJobW", reinterpret_cast<void*>(FakeGetJob)};
  IatPatch open{"winspool.drv", "OpenPrinterW", reinterpret_cast<void*>(FakeOpenPrinter)};
  IatPatch read{"winspool.drv", "ReadPrinter", reinterpret_cast<void*>(FakeReadPrinter)};
  IatPatch setJob{"winspool.drv", "SetJobW", reinterpret_cast<void*>(FakeSetJob)};
  IatPatch close{"winspool.drv", "ClosePrinter", reinterpret_cast<void*>(FakeClosePrinter)};
  IatPatch first{"winspool.drv", "FindFirstPrinterChangeNotification",
                 reinterpret_cast<void*>(FakeFindFirstChange)};
  IatPatch next{"winspool.drv", "FindNextPrinterChangeNotification",
                reinterpret_cast<void*>(FakeFindNextChange)};
  IatPatch closeChange{"winspool.drv", "FindClosePrinterChangeNotification",
                       reinterpret_cast<void*>(FakeFindCloseChange)};
  IatPatch createProcess{"kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(SeeConverter)};
};

// The user's finished EMF job goes through the converter and then out of the
// queue; another user's job, a RAW job and a job still spooling stay untouched
// until the last one finishes and the spooler says so.
TEST_F(CollectorTest, CollectsConvertsAndDeletesOnlyTheUsersFinishedEmfJobs) {
  AddJob(3);
  AddJob(4, L"someone else");
  AddJob(5, User(), L"RAW");
  AddJob(6, User(), L"NT EMF 1.008", JOB_STATUS_SPOOLING);
  Running collector;
  ASSERT_TRUE(WaitUntil([] { return !Find(3); }));
  Sleep(1500);  // a further round of the loop
  {
    Lock lock;
    ASSERT_EQ(g.converted.size(), 1u);
    EXPECT_EQ(g.converted[0].ticket, FolderOf(3) + L"\\job.ini");
    EXPECT_EQ(g.converted[0].pages, (std::vector<std::string>{page0, page1}));
    // The converter had run to its end: it removes the page list it finished.
    EXPECT_NE(g.jobs[0].ticketAtDelete.find("DeviceName=Orvalis"), std::string::npos);
    EXPECT_EQ(g.jobs[0].ticketAtDelete.find("[EMF]"), std::string::npos);
    for (int i = 1; i < 4; ++i) EXPECT_FALSE(g.jobs[i].opens || g.jobs[i].deleted) << i;
    g.jobs[3].status = JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;
    SetEvent(g.change);
  }
  ASSERT_TRUE(WaitUntil([] { return !Find(6); }));
  EXPECT_EQ(collector.Stop(), kCollectorStopped);
  EXPECT_EQ(g.converted.size(), 2u);
  EXPECT_EQ(DestEntries().size(), 2u);  // two job folders, no claim left
}

// Without a converter the job folder stays and the job leaves the queue; a
// converter that cannot start loses nothing: the folder stays, the job stays,
// and it is not read again at once, only by a later start.
TEST_F(CollectorTest, NoConverterOrAFailedStartLosesNothing) {
  for (bool configured : {false, true}) {
    SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"ConverterPath",
              configured ? dir.file(L"missing\\converter.exe") : L"");
    AddJob(configured ? 8 : 7);
    Running collector;
    ASSERT_TRUE(
        WaitUntil([] { return DestEntries().size() == g.jobs.size() && g.jobs.back().opens; }));
    Sleep(2500);
    EXPECT_EQ(collector.Stop(), kCollectorStopped);
    const FakeJob& job = g.jobs.back();
    EXPECT_EQ(job.deleted, !configured);
    EXPECT_EQ(job.opens, 1);
    std::wstring folder = FolderOf(job.id);
    std::string ticket = Utf16File(folder + L"\\job.ini");
    EXPECT_NE(ticket.find("Count=2"), std::string::npos) << ticket;
    EXPECT_EQ(ReadBytes(folder + L"\\page1.emf"), page1);
  }
  // Started again with the converter in place, it finishes the job afresh.
  SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"ConverterPath", BinDir() + L"\\converter.exe");
  Running collector;
  ASSERT_TRUE(WaitUntil([] { return g.jobs.back().deleted; }));
  EXPECT_EQ(g.jobs.back().opens, 2);
  ASSERT_EQ(g.converted.size(), 2u);  // the failed start, and this one
  EXPECT_EQ(g.converted[1].pages, (std::vector<std::string>{page0, page1}));
}

// The stop event arrives while the job's data is read: the collector ends
// at once, no folder is left, and the job stays for the next start.
TEST_F(CollectorTest, StopDuringAJobLeavesNoFolderAndTheJob) {
  for (int i = 0; i < 8; ++i) spool.Page(spoolbuild::SamplePage(i + 2, 10));
  Running collector;
  g.stopOnRead = collector.stop;
  AddJob(9);
  SetEvent(g.change);
  EXPECT_EQ(WaitForSingleObject(collector.thread, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(DestEntries().empty());
  EXPECT_FALSE(g.jobs[0].deleted);
  EXPECT_TRUE(g.converted.empty());
}

// One collector per session; collectors of two sessions of one user never
// both take a job.
TEST_F(CollectorTest, OneCollectorPerSessionAndEachJobTakenOnce) {
  {
    Running first;
    Sleep(200);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(RunCollector(stop), kCollectorAlreadyRunning);
    CloseHandle(stop);
  }
  IatPatch sessions("kernel32.dll", "CreateMutexW", reinterpret_cast<void*>(UnnamedMutex));
  for (DWORD id = 20; id < 26; ++id) AddJob(id);
  auto a = std::make_unique<Running>(), b = std::make_unique<Running>();
  ASSERT_TRUE(WaitUntil([] {
    for (const FakeJob& job : g.jobs)
      if (!job.deleted) return false;
    return true;
  }));
  EXPECT_EQ(a->Stop(), kCollectorStopped);
  EXPECT_EQ(b->Stop(), kCollectorStopped);
  EXPECT_EQ(g.converted.size(), 6u);
  for (const FakeJob& job : g.jobs) EXPECT_EQ(job.opens, 1) << job.id;
}
