// The collector's loop against a spooler double: Wine's EnumJobsW is a stub
// and Wine spools PostScript, so the queue, the job handles, the spool bytes
// and SetJob are served through the test program's imports. The converter is
// the real converter.exe of this build.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <winspool.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "collector.h"
#include "job_road.h"
#include "orvl_test.h"
#include "road_log.h"
#include "spool_builder.h"

using namespace orvltest;

namespace {

const wchar_t kMachineKey[] = L"Software\\Orvalis";
HANDLE const kPrinter = reinterpret_cast<HANDLE>(0x5150);

struct FakeJob {
  DWORD id;
  std::wstring user, datatype;
  DWORD status;
  std::wstring machine;
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
  HANDLE stopAtConverter = nullptr;  // set as the converter starts, which waits until resumed
  HANDLE suspended = nullptr;        // that converter's main thread
  int refuse = 0;                    // converter starts whose ticket is made one it refuses
  DWORD tickOffset = 0;              // how far the collector's clock is put forward
  std::vector<Converted> converted;
  int renamedWhileConverting = 0;
  int listings = 0;  // EnumJobs calls  // job folders renamed away as their converter started
  std::wstring dest;  // JobDestDir
  std::wstring user;  // the user's own folder in it
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

// Job folders and claims lying in the user's folder.
std::vector<std::wstring> DestEntries() {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((g.user + L"\\*").c_str(), &found);
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
  return g.user + name;
}

// JOB_INFO_1W records followed by their texts, as the spooler packs them.
BOOL Pack(const std::vector<FakeJob*>& list, BYTE* buffer, DWORD size, DWORD* needed) {
  DWORD need = static_cast<DWORD>(list.size() * sizeof(JOB_INFO_1W));
  for (FakeJob* job : list)
    need += static_cast<DWORD>(
        (job->user.size() + job->datatype.size() + job->machine.size() + 3) * 2);
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
    info->pMachineName = put(job->machine);
    info->Status = job->status;
    info->Submitted = SYSTEMTIME{2026, 12, 2, 8, 9, 30, 0, static_cast<WORD>(job->id)};
    ++info;
  }
  return TRUE;
}

BOOL WINAPI FakeEnumJobs(HANDLE, DWORD, DWORD, DWORD, BYTE* buffer, DWORD size, DWORD* needed,
                         DWORD* count) {
  Lock lock;
  ++g.listings;
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

// Notes what each converter start is handed, then starts it for real (the
// drawing child goes by unseen).
IatPatch* g_createProcess = nullptr;
BOOL WINAPI SeeConverter(LPCWSTR exe, LPWSTR line, SECURITY_ATTRIBUTES* pa, SECURITY_ATTRIBUTES* ta,
                         BOOL inherit, DWORD flags, void* env, LPCWSTR dir, STARTUPINFOW* si,
                         PROCESS_INFORMATION* pi) {
  if (exe && !wcsstr(exe, L"converter.exe"))
    return g_createProcess->original<decltype(&CreateProcessW)>()(exe, line, pa, ta, inherit, flags,
                                                                  env, dir, si, pi);
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
  if (g.refuse && g.refuse--)  // a ticket of another printer: the converter exits with 1
    WritePrivateProfileStringW(L"Device", L"DeviceName", L"Other", run.ticket.c_str());
  // The collector holds the job folder and the user folder: neither can be
  // renamed (swapped for another) while the converter runs.
  std::wstring folder = run.ticket.substr(0, run.ticket.rfind(L'\\'));
  for (const std::wstring& held : {folder, g.user})
    if (MoveFileW(held.c_str(), (held + L"-moved").c_str())) {
      ++g.renamedWhileConverting;
      MoveFileW((held + L"-moved").c_str(), held.c_str());
    }
  if (g.stopAtConverter) flags |= CREATE_SUSPENDED;
  BOOL started = g_createProcess->original<decltype(&CreateProcessW)>()(
      exe, line, pa, ta, inherit, flags, env, dir, si, pi);
  if (started && g.stopAtConverter) {
    DuplicateHandle(GetCurrentProcess(), pi->hThread, GetCurrentProcess(), &g.suspended, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetEvent(g.stopAtConverter);
  }
  return started;
}

DWORD WINAPI LaterTickCount() {
  static auto real = reinterpret_cast<DWORD(WINAPI*)()>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount")));
  return real() + g.tickOffset;
}

// Wine reports every file as its Unix owner's with a DACL made from the
// mode bits, whatever it was made with, and has no reparse points to speak
// of: the test says what a folder shows, as Windows would report it.
// JobDestDir shows as an administrator makes it (owned by Administrators,
// users may only make their folders in it).
const wchar_t kAdminsDest[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200A5;;;BU)(A;OICIIO;FA;;;CO)";
IatPatch* g_securityInfo = nullptr;
IatPatch* g_fileInfo = nullptr;
struct Shown {
  std::wstring sddl;  // empty: what Wine says
  bool reparse;
};
std::map<std::pair<DWORD, DWORD>, Shown> g_shown;  // by file index

std::pair<DWORD, DWORD> IdOf(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION id = {};
  g_fileInfo->original<decltype(&GetFileInformationByHandle)>()(h, &id);
  return {id.nFileIndexHigh, id.nFileIndexLow};
}

void Show(const std::wstring& folder, const std::wstring& sddl, bool reparse = false) {
  HANDLE h = CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  g_shown[IdOf(h)] = Shown{sddl, reparse};
  CloseHandle(h);
}

DWORD WINAPI ShownSecurity(HANDLE h, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID* owner,
                           PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* sd) {
  auto shown = type == SE_FILE_OBJECT ? g_shown.find(IdOf(h)) : g_shown.end();
  if (shown == g_shown.end() || shown->second.sddl.empty())
    return g_securityInfo->original<decltype(&GetSecurityInfo)>()(h, type, what, owner, group,
                                                                   dacl, sacl, sd);
  ConvertStringSecurityDescriptorToSecurityDescriptorW(shown->second.sddl.c_str(), SDDL_REVISION_1,
                                                       sd, nullptr);
  BOOL present = FALSE, defaulted = FALSE;
  GetSecurityDescriptorOwner(*sd, owner, &defaulted);
  GetSecurityDescriptorDacl(*sd, &present, dacl, &defaulted);
  return ERROR_SUCCESS;
}

BOOL WINAPI ShownInformation(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
  BOOL ok = g_fileInfo->original<decltype(&GetFileInformationByHandle)>()(h, info);
  auto shown = g_shown.find({info->nFileIndexHigh, info->nFileIndexLow});
  if (ok && shown != g_shown.end() && shown->second.reparse)
    info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return ok;
}

std::wstring UserSid() {
  HANDLE token;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  BYTE buffer[256];
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
  CloseHandle(token);
  wchar_t* text = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

std::wstring LogPath() {
  wchar_t local[MAX_PATH];
  SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local);
  return std::wstring(local) + L"\\Orvalis\\collector_log.txt";
}

bool HasValue(HKEY root, const std::wstring& subkey, const std::wstring& name) {
  return RegGetValueW(root, subkey.c_str(), name.c_str(), RRF_RT_ANY, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
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

std::wstring ThisMachine() {
  wchar_t name[260];
  DWORD units = 260;
  GetComputerNameExW(ComputerNameNetBIOS, name, &units);
  return std::wstring(L"\\\\") + name;
}

}  // namespace

class CollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeCriticalSection(&g.lock);
    DeleteTree(HKEY_LOCAL_MACHINE, kMachineKey);
    DeleteTree(HKEY_CURRENT_USER, kMachineKey);
    g.dest = dir.file(L"jobs");
    CreateDirectoryW(g.dest.c_str(), nullptr);
    g_fileInfo = &fileInfo;
    g_shown.clear();
    Show(g.dest, kAdminsDest);
    g_securityInfo = &securityInfo;
    g.user = g.dest + L"\\" + UserSid();
    DeleteFileW(LogPath().c_str());
    SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"JobDestDir", g.dest);
    SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"ConverterPath", BinDir() + L"\\converter.exe");
    g_createProcess = &createProcess;
    spool.Page(page0).MonoPage(page1);
  }
  void TearDown() override {
    DeleteTree(HKEY_LOCAL_MACHINE, kMachineKey);
    g.jobs.clear();
    g.converted.clear();
    g.stopOnRead = g.stopAtConverter = nullptr;
    g.refuse = 0;
    g.tickOffset = 0;
    g.renamedWhileConverting = 0;
    g.listings = 0;
    DeleteCriticalSection(&g.lock);
  }
  // A job of the test's user, finished and kept, of two pages.
  void AddJob(DWORD id, const std::wstring& user = User(), const wchar_t* type = L"NT EMF 1.008",
              DWORD status = JOB_STATUS_PRINTED, const std::wstring& machine = ThisMachine()) {
    Lock lock;
    g.jobs.push_back(FakeJob{id, user, type, status, machine, spool.bytes(), 0, false, {}});
  }
  // Lets the collector's clock run past every pause, and wakes it.
  void PassThePause() {
    {
      Lock lock;
      g.tickOffset += kRetryLongestMs + 1000;
    }
    SetEvent(g.change);
  }
  std::string Log() { return Utf16File(LogPath()); }
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
  IatPatch securityInfo{"advapi32.dll", "GetSecurityInfo", reinterpret_cast<void*>(ShownSecurity)};
  IatPatch fileInfo{"kernel32.dll", "GetFileInformationByHandle",
                    reinterpret_cast<void*>(ShownInformation)};
};

// The user's finished EMF job goes through the converter and then out of the
// queue, and the user's RAW job out of the queue unread; another user's job,
// the same user's job from another machine, a job still spooling and one spooling anew over its earlier end stay
// untouched until the one spooling finishes and the spooler says so.
TEST_F(CollectorTest, CollectsConvertsAndDeletesOnlyTheUsersFinishedEmfJobs) {
  AddJob(3);
  AddJob(4, L"someone else");
  AddJob(5, User(), L"RAW");
  AddJob(10, User(), L"NT EMF 1.008", JOB_STATUS_PRINTED, L"\\\\CLIENT7");
  AddJob(11, User(), L"NT EMF 1.008", JOB_STATUS_PRINTED | JOB_STATUS_SPOOLING);
  AddJob(6, User(), L"NT EMF 1.008", JOB_STATUS_SPOOLING);
  Running collector;
  ASSERT_TRUE(WaitUntil([] { return !Find(3); })) << Log();
  Sleep(1500);  // a further round of the loop
  {
    Lock lock;
    ASSERT_EQ(g.converted.size(), 1u);
    EXPECT_EQ(g.converted[0].ticket, FolderOf(3) + L"\\job.ini");
    EXPECT_EQ(g.converted[0].pages, (std::vector<std::string>{page0, page1}));
    // The converter had run to its end: it removes the page list it finished.
    EXPECT_NE(g.jobs[0].ticketAtDelete.find("DeviceName=Orvalis"), std::string::npos);
    EXPECT_EQ(g.jobs[0].ticketAtDelete.find("[EMF]"), std::string::npos);
    // The user's RAW job is never read, and leaves the queue.
    for (size_t i = 1; i < g.jobs.size(); ++i)
      EXPECT_FALSE(g.jobs[i].opens || g.jobs[i].deleted != (g.jobs[i].id == 5)) << g.jobs[i].id;
    g.jobs.back().status = JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;
    SetEvent(g.change);
  }
  ASSERT_TRUE(WaitUntil([] { return !Find(6); }));
  EXPECT_EQ(collector.Stop(), kCollectorStopped);
  EXPECT_EQ(g.converted.size(), 2u);
  EXPECT_EQ(DestEntries().size(), 2u);  // two job folders, no claim left
  EXPECT_EQ(g.renamedWhileConverting, 0);
  ASSERT_TRUE(MoveFileW(FolderOf(3).c_str(), (FolderOf(3) + L"-moved").c_str()));  // let go
  // The log tells the story of each job.
  std::string log = Log();
  EXPECT_EQ(Count(log, "Collector started: user " + Narrow(User())), 1u) << log;
  EXPECT_EQ(Count(log, "Job 3 of " + Narrow(User()) + ": 2 pages into " + Narrow(FolderOf(3))), 1u);
  EXPECT_EQ(Count(log, "Job 3: the converter exited with 0."), 1u);
  EXPECT_EQ(Count(log, "Job 3: done, deleted from the queue."), 1u);
  EXPECT_EQ(Count(log, "Collector stopped."), 1u);
  EXPECT_EQ(Count(log, "Job 4"), 0u);
  EXPECT_EQ(Count(log, "Job 5 of " + Narrow(User()) +
                           ": its data (RAW) is no EMF spool file of pages; deleted from the queue."),
            1u);
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
    int listings = g.listings;
    Sleep(2500);
    // With the change notification open, the queue is listed at most every 30 s.
    EXPECT_LE(g.listings - listings, 1);
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
    // A second collector that keeps running fails here, not at the test's timeout.
    Running second;
    EXPECT_EQ(WaitForSingleObject(second.thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(second.Stop(0), kCollectorAlreadyRunning);
  }
  // The session's name taken first by another account keeps no collector
  // from starting; the log says so.
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  std::wstring name = L"Local\\Orvalis_collector_mutex_" + std::to_wstring(session) + L"_" + UserSid();
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
  ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                       &sa.lpSecurityDescriptor, nullptr);
  HANDLE squatter = CreateMutexW(&sa, FALSE, name.c_str());
  LocalFree(sa.lpSecurityDescriptor);
  {
    Running running;
    ASSERT_TRUE(WaitUntil([] { return Count(Utf16File(LogPath()), "Collector started") == 2; }));
    EXPECT_EQ(Count(Utf16File(LogPath()), "The collector's mutex " + Narrow(name) +
                                              " belongs to another account; this collector runs "
                                              "without it."),
              1u);
    EXPECT_EQ(running.Stop(), kCollectorStopped);
  }
  CloseHandle(squatter);
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

// Stopped while the converter runs (which then finishes on its own): started
// again, the collector finishes the job's bookkeeping without a second run.
TEST_F(CollectorTest, AStopWhileTheConverterRunsNeverConvertsTwice) {
  AddJob(12);
  {
    Running collector;
    g.stopAtConverter = collector.stop;
    EXPECT_EQ(WaitForSingleObject(collector.thread, 20000), WAIT_OBJECT_0);
  }
  g.stopAtConverter = nullptr;
  ASSERT_TRUE(g.suspended);
  ResumeThread(g.suspended);
  CloseHandle(g.suspended);
  ASSERT_TRUE(WaitUntil([] { return Utf16File(FolderOf(12) + L"\\job.ini").find("[EMF]") ==
                                    std::string::npos; }));
  EXPECT_FALSE(g.jobs[0].deleted);

  Running collector;
  ASSERT_TRUE(WaitUntil([] { return g.jobs[0].deleted; }));
  EXPECT_EQ(g.converted.size(), 1u);
  EXPECT_EQ(g.jobs[0].opens, 1);
  EXPECT_EQ(Count(Log(), "Job 12: its converter was started before and its end was not seen"), 1u);
}

// A failed job rests, then is tried again once its pause has passed: a
// converter that refuses the ticket (exit code 1) leaves it queued, the next
// try finishes it. Spool data the reader refuses is tried three times,
// logged once, and then left in the queue.
TEST_F(CollectorTest, FailedJobsAreTriedAgainAfterTheirPauseAndLastingFailuresLeftQueued) {
  IatPatch clock("kernel32.dll", "GetTickCount", reinterpret_cast<void*>(LaterTickCount));
  g.refuse = 1;
  AddJob(30);
  AddJob(31);
  g.jobs[1].data = "%!PS-Adobe-3.0 not a spool file";
  Running collector;
  ASSERT_TRUE(WaitUntil([] { return g.converted.size() == 1 && g.jobs[1].opens == 1; }));
  Sleep(2500);  // rounds of the loop within the pause: nothing is tried again
  EXPECT_EQ(g.converted.size(), 1u);
  EXPECT_EQ(g.jobs[1].opens, 1);
  EXPECT_FALSE(g.jobs[0].deleted);
  // Pauses pass until both jobs have had their tries (each pass gives the
  // loop at least one round), then two more: the given-up job is not read again.
  auto tried = [] {
    Lock lock;
    return g.jobs[0].deleted && g.jobs[1].opens >= 3;
  };
  for (int pause = 0; pause < 10 && !tried(); ++pause) {
    PassThePause();
    Sleep(1500);
  }
  for (int pause = 0; pause < 2; ++pause) {
    PassThePause();
    Sleep(1500);
  }
  ASSERT_TRUE(WaitUntil([] { return g.jobs[0].deleted; }));
  EXPECT_EQ(g.converted.size(), 2u);
  EXPECT_EQ(g.jobs[1].opens, 3);
  EXPECT_FALSE(g.jobs[1].deleted);
  std::string log = Log();
  EXPECT_EQ(Count(log, "Job 30: the converter exited with 1."), 1u) << log;
  EXPECT_EQ(Count(log, "Job 31: its spool data is not an EMF spool file."), 1u) << log;
  EXPECT_EQ(Count(log, "Job 31: left in the queue for the administrator after 3 tries."), 1u);
}

// A drawing child that faults (the real child code with a fault injected,
// tests/package/fax/child_stub.cpp) ends alone: its job is logged once and
// stays queued, and the next job, whose page draws, is converted by the
// same collector. That page is a metre long: the log says it was split.
TEST_F(CollectorTest, ADrawingChildThatFaultsEndsAloneAndTheNextJobIsConverted) {
  std::wstring stub = dir.file(L"fault-child.exe");
  ASSERT_TRUE(CopyFileW((BinDir() + L"\\fax_child_stub.exe").c_str(), stub.c_str(), FALSE));
  SetDrawingChild(stub.c_str(), nullptr);
  // Header and end only: the stub faults on a page's third record.
  RECT metre = {0, 0, 20999, 99999};
  HENHMETAFILE emf = CloseEnhMetaFile(CreateEnhMetaFileW(nullptr, nullptr, &metre, nullptr));
  std::string blank(GetEnhMetaFileBits(emf, 0, nullptr), '\0');
  GetEnhMetaFileBits(emf, static_cast<UINT>(blank.size()), reinterpret_cast<BYTE*>(&blank[0]));
  DeleteEnhMetaFile(emf);
  RECTL exact = {0, 0, 20999, 99999};
  memcpy(&blank[24], &exact, sizeof(exact));
  spoolbuild::SpoolBuilder long_job;
  long_job.Page(blank);
  AddJob(32);
  AddJob(33);
  g.jobs[1].data = long_job.bytes();
  {
    Running collector;
    ASSERT_TRUE(WaitUntil([] { return g.converted.size() == 1 && !Find(33); })) << Log();
  }
  SetDrawingChild((BinDir() + L"\\package\\orvlui2.exe").c_str(), nullptr);
  EXPECT_EQ(g.converted[0].ticket, FolderOf(33) + L"\\job.ini");
  EXPECT_TRUE(Find(32));
  std::string log = Log();
  EXPECT_EQ(Count(log, "Job 32: a page cannot be drawn into the fax document."), 1u) << log;
  EXPECT_EQ(Count(log, "Job 33: pages longer than 14 inches continue on the next fax pages: 1 of "
                       "them, 3 fax pages in all."),
            1u)
      << log;
}

// Fonts past the job's bound (64 MB) are left out, a later one that fits is
// kept, and the log says once how many were left out (counted in the ticket).
TEST_F(CollectorTest, FontsPastTheJobsBoundAreLeftOutAndLoggedOnce) {
  const std::string large(22 << 20, 'f');
  spoolbuild::SpoolBuilder fonts;
  fonts.Page(spoolbuild::WithFonts(page0, {large, large, large, "tiny"}));
  AddJob(34);
  g.jobs[0].data = fonts.bytes();
  Running collector;
  // 66 MB of spool data through the double, the drawing child and the converter.
  ASSERT_TRUE(WaitUntil([] { return g.jobs[0].deleted; }, 120000)) << Log();
  std::wstring folder = FolderOf(34);
  EXPECT_EQ(ReadBytes(folder + L"\\font1.ttf").size(), large.size());
  EXPECT_EQ(ReadBytes(folder + L"\\font2.ttf"), "tiny");
  EXPECT_FALSE(FileExists(folder + L"\\font3.ttf"));
  EXPECT_EQ(Count(Log(),
                  "Job 34: 1 embedded fonts (23068672 bytes) left out: a job keeps at most "
                  "256 fonts of up to 32 MB, 64 MB in all; its pages draw them with "
                  "substitutes."),
            1u);
}

// A mark that does not reach the disk, or a Started mark that cannot be
// taken back after the converter refused the ticket, stops the job there:
// it stays queued and is never deleted unconverted, also by later
// collectors, until the mark is gone.
IatPatch* g_profile = nullptr;
bool g_failFlush = false, g_failUnmark = false, g_marksFail = true;
BOOL WINAPI MarkOnce(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR file) {
  bool mark = section && lstrcmpW(section, L"Collector") == 0 && g_marksFail;
  if (mark && !value && g_failUnmark) return SetLastError(ERROR_WRITE_FAULT), FALSE;
  if (mark && value) g_failFlush = g_failFlush || !g_failUnmark;
  return g_profile->original<decltype(&WritePrivateProfileStringW)>()(section, key, value, file);
}
BOOL WINAPI FlushAfterMark(HANDLE file) {
  if (g_failFlush) return SetLastError(ERROR_WRITE_FAULT), FALSE;
  return reinterpret_cast<decltype(&FlushFileBuffers)>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "FlushFileBuffers")))(file);
}

TEST_F(CollectorTest, AMarkNotOnTheDiskLeavesTheJobQueued) {
  IatPatch profile("kernel32.dll", "WritePrivateProfileStringW", reinterpret_cast<void*>(MarkOnce));
  IatPatch flush("kernel32.dll", "FlushFileBuffers", reinterpret_cast<void*>(FlushAfterMark));
  g_profile = &profile;
  for (bool unmark : {false, true}) {
    SCOPED_TRACE(unmark ? "removal fails" : "flush fails");
    g_failFlush = false;
    g_failUnmark = unmark;
    g.refuse = unmark ? 1 : 0;
    AddJob(unmark ? 51 : 50);
    {
      Running collector;
      ASSERT_TRUE(WaitUntil([] { return Utf16File(LogPath()).find("cannot be removed") !=
                                        std::string::npos; }))
          << Log();
    }
    EXPECT_FALSE(g.jobs.back().deleted);
    EXPECT_EQ(g.converted.size(), unmark ? 1u : 0u);
    EXPECT_EQ(Count(Log(), unmark ? "Job 51: the converter exited with 1."
                                  : "Job 50: stays in the queue: its ticket "),
              1u)
        << Log();
    EXPECT_EQ(Count(Log(), "left in the queue for the administrator: the Started mark"), 1u);
    std::wstring folder = FolderOf(g.jobs.back().id), held = L"Software\\Orvalis\\Held jobs";
    EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, held, folder));
    if (unmark) {
      // Later collectors, with marks that work: the job stays while its
      // Started mark does; once the administrator removes it, it is converted.
      g_marksFail = g_failFlush = false;
      for (bool removed : {false, true}) {
        if (removed)
          WritePrivateProfileStringW(L"Collector", nullptr, nullptr,
                                     (folder + L"\\job.ini").c_str());
        Running later;
        ASSERT_TRUE(WaitUntil([this, removed] {
          return removed ? g.jobs.back().deleted : Count(Log(), "it is held until") == 1;
        }));
      }
      EXPECT_EQ(g.converted.size(), 2u);
      EXPECT_FALSE(HasValue(HKEY_CURRENT_USER, held, folder));
      EXPECT_EQ(Count(Log(),
                      "Job 51: its ticket no longer has the Started mark; the hold on it is "
                      "released."),
                1u);
      g_marksFail = true;
    }
    g.jobs.clear();
    g.converted.clear();
    DeleteFileW(LogPath().c_str());
  }
  g_failFlush = g_failUnmark = false;
}

// With a fax server set, the desk asks for the recipient after the collector
// has let go of the job: it holds the job folder itself while it asks and
// sends, so the folder cannot be renamed (swapped) meanwhile.
int g_renamedWhileAsking = -1;
INT_PTR WINAPI RenameWhileAsking(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM) {
  std::wstring folder = FolderOf(35);
  for (int i = 0; i < 2000 && FileExists(folder + L".claim"); ++i) Sleep(10);
  g_renamedWhileAsking = MoveFileW(folder.c_str(), (folder + L"-moved").c_str());
  return IDCANCEL;
}

TEST_F(CollectorTest, TheFaxDeskHoldsTheJobFolderWhileItAsks) {
  IatPatch dialog("user32.dll", "DialogBoxParamW", reinterpret_cast<void*>(RenameWhileAsking));
  SetString(HKEY_CURRENT_USER, kMachineKey, L"FaxServer", L"127.0.0.1:1");
  AddJob(35);
  {
    Running collector;
    ASSERT_TRUE(WaitUntil([this] { return Count(Log(), "cancelled by the user") == 1; })) << Log();
  }
  EXPECT_EQ(g_renamedWhileAsking, 0);
  EXPECT_TRUE(g.jobs[0].deleted);
  EXPECT_TRUE(MoveFileW(FolderOf(35).c_str(), (FolderOf(35) + L"-moved").c_str()));  // let go
}

// Under a shared JobDestDir, a user folder that another account made, may
// write into or read (also through entries only its files inherit), or that
// is a junction, is not used, whatever it holds (here a job folder marked
// done): the job stays queued and the log says why, with the owner. A
// JobDestDir that a user owns is not used at all: the user's own folder is.
TEST_F(CollectorTest, FoldersOthersMadeMayChangeOrReadAreNotUsed) {
  const std::wstring user = UserSid(), mine = L"(A;OICI;FA;;;" + user + L")";
  struct Case {
    std::wstring sddl;
    bool reparse;
    const char* why;
  } cases[] = {
      {L"O:BUD:P(A;OICI;FA;;;SY)", false, "it belongs to another account (owner BUILTIN\\Users"},
      {L"O:" + user + L"D:P" + mine + L"(A;OICI;FA;;;WD)", false,
       "its permissions let other accounts write into it (owner "},
      {L"O:" + user + L"D:P" + mine + L"(A;OICIIO;GR;;;WD)", false,
       "its permissions let other accounts read it (owner "},
      {L"", true, "it is a junction or link (a reparse point)"},
  };
  // The user had the SID's folder before: it is refused, never renamed.
  SetString(HKEY_CURRENT_USER, kMachineKey, L"JobFolderSuffix", L"");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ASSERT_TRUE(CreateDirectoryW(g.user.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(FolderOf(40).c_str(), nullptr));
    WritePrivateProfileStringW(L"Collector", L"Done", L"1", (FolderOf(40) + L"\\job.ini").c_str());
    Show(g.user, c.sddl, c.reparse);
    AddJob(40);
    {
      Running collector;
      ASSERT_TRUE(WaitUntil([] { return Utf16File(LogPath()).find("Job 40:") != std::string::npos; }));
    }
    EXPECT_FALSE(g.jobs.back().deleted);
    EXPECT_EQ(g.jobs.back().opens, 0);
    EXPECT_EQ(Count(Log(), "Job 40: stays in the queue: the folder " + Narrow(g.user) +
                               " is not used: " + c.why),
              1u)
        << Log();
    g.jobs.clear();
    Show(g.user, L"");  // its file index may come again with the next folder
    RemoveTree(g.user);
    DeleteFileW(LogPath().c_str());
  }
  // Made by another account before the user ever had it: the user's folders
  // go to a second name (the SID and 16 random hex digits), for good.
  DeleteTree(HKEY_CURRENT_USER, kMachineKey);
  ASSERT_TRUE(CreateDirectoryW(g.user.c_str(), nullptr));
  Show(g.user, cases[0].sddl);
  AddJob(43);
  {
    Running collector;
    ASSERT_TRUE(WaitUntil([] { return g.jobs.back().deleted; })) << Log();
  }
  wchar_t suffix[32] = {};
  DWORD size = sizeof(suffix);
  RegGetValueW(HKEY_CURRENT_USER, kMachineKey, L"JobFolderSuffix", RRF_RT_REG_SZ, nullptr, suffix,
               &size);
  std::wstring second = g.user + L"-" + suffix;
  EXPECT_TRUE(lstrlenW(suffix) == 16 && FileExists(second + L"\\Job43-20261208-093000-043"));
  EXPECT_EQ(Count(Log(), "The folder " + Narrow(g.user) +
                             " is not used: it belongs to another account (owner BUILTIN\\Users "
                             "(S-1-5-32-545)); this user's job folders go to " +
                             Narrow(second) + " from now on."),
            1u);
  Show(g.user, L"");
  RemoveTree(g.user);
  DeleteFileW(LogPath().c_str());
  // JobDestDir owned by a user: the default folder takes the job; said once.
  Show(g.dest, L"O:" + user + L"D:P(A;OICI;FA;;;SY)" + mine);
  wchar_t local[MAX_PATH];
  SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local);
  std::wstring jobs = std::wstring(local) + L"\\Orvalis\\Jobs";
  RemoveTree(jobs);
  AddJob(41);
  AddJob(42);
  {
    Running collector;
    ASSERT_TRUE(WaitUntil([] { return !Find(41) && !Find(42); })) << Log();
  }
  EXPECT_TRUE(FileExists(jobs + L"\\Job41-20261208-093000-041\\job.ini"));
  EXPECT_FALSE(FileExists(g.user));
  EXPECT_EQ(Count(Log(), "The job folder JobDestDir " + Narrow(g.dest) +
                             " is not used: its owner is neither SYSTEM nor Administrators (owner "),
            1u)
      << Log();
  RemoveTree(jobs);
}

// A collector waits only on a kill event that no user made or may signal
// (the port monitor makes it as SYSTEM); it never makes one. Wine keeps the
// owner and DACL an event is made with, so each case is a real event.
HANDLE MakeEvent(const std::wstring& sddl, const wchar_t* name) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      sddl.c_str(), SDDL_REVISION_1, &sa.lpSecurityDescriptor, nullptr));
  HANDLE event = CreateEventW(&sa, TRUE, FALSE, name);
  LocalFree(sa.lpSecurityDescriptor);
  return event;
}

TEST(KillEventTest, TrustedOnlyWhenNoUserMaySignalIt) {
  const wchar_t kName[] = L"Orvalis_test_killevent";
  const std::wstring kMonitors = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120000;;;WD)";
  struct Case {
    std::wstring sddl;  // empty: no event; "mutex": a mutex holds the name
    KillEventTrust trust;
  } cases[] = {{L"", kKillMissing},
               {L"mutex", kKillUnopenable},
               {L"O:" + UserSid() + kMonitors, kKillUserOwned},
               {L"O:SYD:P(A;;GA;;;SY)(A;;0x120002;;;WD)", kKillOthersMaySignal},
               {L"O:SYD:P(A;;GA;;;SY)(A;;0x160000;;;BU)", kKillOthersMaySignal},  // WRITE_DAC
               {L"O:SY" + kMonitors, kKillTrusted},
               {L"O:BA" + kMonitors, kKillTrusted}};
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.sddl));
    HANDLE held = c.sddl.empty()       ? nullptr
                  : c.sddl == L"mutex" ? CreateMutexW(nullptr, FALSE, kName)
                                       : MakeEvent(c.sddl, kName);
    KillEventTrust trust = kKillTrusted;
    DWORD error = 0;
    HANDLE event = OpenKillEvent(kName, &trust, &error);
    EXPECT_EQ(trust, c.trust);
    EXPECT_EQ(event != nullptr, c.trust == kKillTrusted);
    if (event) CloseHandle(event);
    if (held) CloseHandle(held);
  }
}

// The real program facing a kill event a user owns collects all the same,
// says so once in its log, and no pulse ends it; facing the monitor's event,
// one pulse ends every waiting collector (here the program and two watchers).
TEST(KillEventTest, AUsersEventIsIgnoredAndAPulseEndsEveryWaitingCollector) {
  const wchar_t kName[] = L"Global\\Orvalis_killevent";
  const std::wstring kMonitors = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120000;;;WD)";
  std::wstring log = LogPath();
  DeleteFileW(log.c_str());
  auto start = [] {
    std::wstring command = L"\"" + BinDir() + L"\\package\\orvlui2.exe\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    EXPECT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &pi));
    CloseHandle(pi.hThread);
    return pi.hProcess;
  };
  auto logged = [&log](const std::string& what, size_t n) {
    for (int i = 0; i < 200 && Count(Utf16File(log), what) < n; ++i) Sleep(50);
    return Count(Utf16File(log), what);
  };
  HANDLE kill = MakeEvent(L"O:" + UserSid() + kMonitors, kName);
  HANDLE process = start();
  EXPECT_EQ(logged("Collector started", 1), 1u);
  EXPECT_EQ(logged("The kill event Global\\Orvalis_killevent is not used: its owner is neither "
                   "SYSTEM nor Administrators; the collector runs until the session ends and "
                   "looks at it again every 60 seconds.",
                   1),
            1u)
      << Utf16File(log);
  for (int i = 0; i < 5; ++i) PulseEvent(kill);
  EXPECT_EQ(WaitForSingleObject(process, 0), DWORD{WAIT_TIMEOUT});
  TerminateProcess(process, 0);
  WaitForSingleObject(process, 5000);
  CloseHandle(process);
  CloseHandle(kill);

  kill = MakeEvent(L"O:SY" + kMonitors, kName);
  process = start();
  EXPECT_EQ(logged("Collector started", 2), 2u);
  KillWatch watches[2] = {{kName, CreateEventW(nullptr, TRUE, FALSE, nullptr)},
                          {kName, CreateEventW(nullptr, TRUE, FALSE, nullptr)}};
  HANDLE waits[5] = {process, watches[0].stop, watches[1].stop};
  for (int i = 0; i < 2; ++i)
    waits[3 + i] = CreateThread(nullptr, 0, WatchKillEvent, &watches[i], 0, nullptr);
  // A pulse reaches only those already waiting: pulsed until all have ended.
  for (int i = 0; i < 100 && WaitForMultipleObjects(5, waits, TRUE, 100) == WAIT_TIMEOUT; ++i)
    PulseEvent(kill);
  DWORD code = 99;
  GetExitCodeProcess(process, &code);
  EXPECT_EQ(code, DWORD{kCollectorStopped});
  EXPECT_EQ(Count(Utf16File(log), "Collector stopped."), 1u);
  for (HANDLE watch : {watches[0].stop, watches[1].stop})
    EXPECT_EQ(WaitForSingleObject(watch, 0), DWORD{WAIT_OBJECT_0});
  if (code == STILL_ACTIVE) TerminateProcess(process, 0);
  for (HANDLE h : waits) CloseHandle(h);
  CloseHandle(kill);
}

// The collector's log is UTF-16 with its byte-order mark; past 1 MB it
// becomes collector_log.old.txt and a new file begins. A reader that holds
// the log without share-delete keeps it from being renamed: the lines go on
// into the same file until it lets go.
TEST(CollectorLogTest, StartsWithItsMarkAndRotatesPastOneMegabyte) {
  std::wstring log = LogPath(), old = log.substr(0, log.size() - 4) + L".old.txt";
  DeleteFileW(log.c_str());
  DeleteFileW(old.c_str());
  LogLine(L"first line");
  EXPECT_EQ(ReadBytes(log).substr(0, 2), "\xFF\xFE");
  std::wstring filler(kRoadLogLimit / 2, L'x');
  filler += L"earlier line\r\n";
  ASSERT_TRUE(WriteBytes(log, ReadBytes(log) + std::string(reinterpret_cast<const char*>(filler.data()),
                                                         filler.size() * 2)));
  HANDLE reader = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  LogLine(L"held line");
  CloseHandle(reader);
  EXPECT_EQ(Count(Utf16File(log), "held line"), 1u);
  EXPECT_FALSE(FileExists(old));
  LogLine(L"next line");
  std::string now = ReadBytes(log);
  EXPECT_EQ(now.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(Count(Utf16File(log), "next line"), 1u);
  EXPECT_EQ(Count(Utf16File(log), "held line"), 0u);
  std::string earlier = Utf16File(old);
  EXPECT_EQ(Count(earlier, "first line"), 1u);
  EXPECT_EQ(Count(earlier, "earlier line\r\n"), 1u);
  EXPECT_EQ(Count(earlier, "held line"), 1u);
}
