// The collector of the user's kept jobs: every finished EMF job of this user
// on the printer is read through the spooler into a job folder (pages and
// ticket), handed to the converter, and only then deleted from the queue.
//
// The queue is the one safe copy of a job until the end: anything that fails
// leaves the job where it is, and it is tried again after a pause.
#include "collector.h"

#include <windows.h>
#include <shlobj.h>
#include <strsafe.h>
#include <winspool.h>

#include "job_road.h"
#include "product.h"
#include "registry.h"
#include "scoped.h"

namespace {

enum JobOutcome { kJobDone, kJobLeft, kJobFailed, kJobStopped };

// A job is known by its id and the time it was spooled: ids start again after
// a spooler restart, the time does not.
struct JobKey {
  DWORD id;
  SYSTEMTIME submitted;
};

struct Retry {
  JobKey job;
  DWORD due;    // GetTickCount() value from which it may be tried again
  DWORD pause;  // the pause that led to due; doubled at each failure
  bool used;
};

enum : unsigned { kRetrySlots = 64, kUserUnits = 260, kCommandUnits = 2 * kPathUnits + 8 };

struct Collector {
  HANDLE stop;
  wchar_t user[kUserUnits];
  Retry retries[kRetrySlots];
  unsigned nextSlot;  // round robin once every slot is in use
};

// The machine values of the road, read as every machine value is read.
struct RoadSettings {
  wchar_t converter[kPathUnits + 1];  // empty: no converter
  wchar_t dest[kPathUnits + 1];       // the folder under which job folders are made
};

bool Stopped(HANDLE stop) { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
         a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

bool SameJob(const JobKey& a, const JobKey& b) {
  return a.id == b.id && SameTime(a.submitted, b.submitted);
}

Retry* FindRetry(Collector& c, const JobKey& job) {
  for (Retry& r : c.retries)
    if (r.used && SameJob(r.job, job)) return &r;
  return nullptr;
}

// Waiting for its next try? Compared as a difference, so the tick count may wrap.
bool Resting(Collector& c, const JobKey& job) {
  Retry* r = FindRetry(c, job);
  return r && static_cast<LONG>(GetTickCount() - r->due) < 0;
}

void NoteFailure(Collector& c, const JobKey& job) {
  Retry* r = FindRetry(c, job);
  if (r) {
    r->pause = r->pause >= kRetryLongestMs / 2 ? DWORD{kRetryLongestMs} : r->pause * 2;
  } else {
    unsigned slot = kRetrySlots;
    for (unsigned i = 0; i < kRetrySlots && slot == kRetrySlots; ++i)
      if (!c.retries[i].used) slot = i;
    // A full table gives up its oldest entry: that job is only tried sooner.
    if (slot == kRetrySlots) slot = c.nextSlot++ % kRetrySlots;
    r = &c.retries[slot];
    r->used = true;
    r->job = job;
    r->pause = kRetryFirstMs;
  }
  r->due = GetTickCount() + r->pause;
}

void Forget(Collector& c, const JobKey& job) {
  Retry* r = FindRetry(c, job);
  if (r) r->used = false;
}

// Finished and kept: the port has had it and the spooler neither works on it
// nor throws it away. JOB_STATUS_PRINTED is what a kept job shows once
// printed; JOB_STATUS_COMPLETE (XP and later) once it was sent to the port.
bool IsFinished(DWORD status) {
  const DWORD done = JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;
  const DWORD busy = JOB_STATUS_SPOOLING | JOB_STATUS_PRINTING | JOB_STATUS_DELETING |
                     JOB_STATUS_DELETED | JOB_STATUS_RESTART;
  return (status & done) != 0 && (status & busy) == 0;
}

// EMF spooling gives the data types "NT EMF 1.003" to "NT EMF 1.008"; any
// other data (RAW, TEXT) is no spool file of pages and stays in the queue.
bool IsEmf(const wchar_t* datatype) {
  wchar_t head[7] = {};
  if (!datatype) return false;
  lstrcpynW(head, datatype, 7);
  return lstrcmpiW(head, L"NT EMF") == 0;
}

// Windows account names ignore case. The spooler records the submitting
// account's name without its domain, so the name is what can be compared;
// the spooler's own job security stops the rest.
bool IsOwnJob(const Collector& c, const JOB_INFO_1W& job) {
  return job.pUserName && lstrcmpiW(job.pUserName, c.user) == 0;
}

// EnumJobsW and GetJobW both size their answer in a first call; the queue may
// grow in between, hence a few rounds. The buffer is HeapFree'd by the caller.
BYTE* ListJobs(HANDLE printer, DWORD* count) {
  DWORD size = 0;
  for (int round = 0; round < 4; ++round) {
    BYTE* buffer =
        size ? static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size)) : nullptr;
    if (size && !buffer) return nullptr;
    DWORD needed = 0;
    *count = 0;
    if (EnumJobsW(printer, 0, 100000, 1, buffer, size, &needed, count)) {
      if (!buffer) buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 8));
      return buffer;
    }
    if (buffer) HeapFree(GetProcessHeap(), 0, buffer);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= size) return nullptr;
    size = needed;
  }
  return nullptr;
}

BYTE* QueryJob(HANDLE printer, DWORD id) {
  DWORD size = 0;
  for (int round = 0; round < 4; ++round) {
    BYTE* buffer =
        size ? static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size)) : nullptr;
    if (size && !buffer) return nullptr;
    DWORD needed = 0;
    if (size && GetJobW(printer, id, 1, buffer, size, &needed)) return buffer;
    if (!size) GetJobW(printer, id, 1, nullptr, 0, &needed);
    if (buffer) HeapFree(GetProcessHeap(), 0, buffer);
    if (needed <= size) return nullptr;
    size = needed;
  }
  return nullptr;
}

// After a claim the job must still be the one listed, still finished: another
// collector may have taken and deleted it between our listing and our claim.
bool StillThere(HANDLE printer, const JobKey& key) {
  BYTE* buffer = QueryJob(printer, key.id);
  if (!buffer) return false;
  const JOB_INFO_1W* job = reinterpret_cast<const JOB_INFO_1W*>(buffer);
  bool there =
      job->JobId == key.id && IsFinished(job->Status) && SameTime(job->Submitted, key.submitted);
  HeapFree(GetProcessHeap(), 0, buffer);
  return there;
}

bool ReadRoadSettings(RoadSettings* s) {
  s->converter[0] = L'\0';
  s->dest[0] = L'\0';
  wchar_t path[kPathUnits];
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  HKEY key = nullptr;
  // A missing key or value, or an overlong one, leaves the default.
  if (OpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, &key) == ERROR_SUCCESS) {
    ReadTextValue(key, L"ConverterPath", s->converter, kPathUnits * sizeof(wchar_t));
    ReadTextValue(key, L"JobDestDir", s->dest, kPathUnits * sizeof(wchar_t));
    RegCloseKey(key);
  }
  if (s->dest[0]) {
    CreateDirectoryW(s->dest, nullptr);  // its parent must exist
    return true;
  }
  wchar_t local[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local) != S_OK)
    return false;
  if (FAILED(StringCchPrintfW(s->dest, kPathUnits, L"%s\\%s", local, ORVL_PRODUCT_NAME)))
    return false;
  CreateDirectoryW(s->dest, nullptr);
  if (FAILED(StringCchCatW(s->dest, kPathUnits, L"\\Jobs"))) return false;
  CreateDirectoryW(s->dest, nullptr);
  return true;
}

// The ticket of a job whose converter has run (or that has none) carries
// this mark, so that a later try only deletes the job and never converts it
// twice. The converter leaves sections it does not know alone.
const wchar_t kMarkSection[] = L"Collector";
const wchar_t kMarkKey[] = L"Done";

bool IsMarkedDone(const wchar_t* ticket) {
  wchar_t value[4] = {};
  GetPrivateProfileStringW(kMarkSection, kMarkKey, L"", value, 4, ticket);
  return lstrcmpW(value, L"1") == 0;
}

void MarkDone(const wchar_t* ticket) {
  WritePrivateProfileStringW(kMarkSection, kMarkKey, L"1", ticket);
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, ticket);  // writes out a cached copy
}

// An earlier try of a job that is not done (its converter did not start or
// did not finish) left its folder. The queue still holds the job, so that
// copy makes way for a fresh one: the reader never writes over a file.
void ClearEarlierTry(const wchar_t* folder, const wchar_t* ticket) {
  wchar_t path[kPathUnits];
  WIN32_FIND_DATAW found;
  if (FAILED(StringCchPrintfW(path, kPathUnits, L"%s\\page*.emf", folder))) return;
  ScopedFind find(FindFirstFileW(path, &found));
  if (find) {
    do {
      if (SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\%s", folder, found.cFileName)))
        DeleteFileW(path);
    } while (FindNextFileW(find.get(), &found));
  }
  DeleteFileW(ticket);
}

BOOL ReadJobData(void* context, void* buffer, DWORD size, DWORD* got) {
  return ReadPrinter(static_cast<HANDLE>(context), buffer, size, got);
}

// The job's spool data, read through a job handle, becomes the job folder.
int ExtractJob(DWORD id, const wchar_t* folder, HANDLE stop) {
  wchar_t name[kPathUnits];
  StringCchPrintfW(name, kPathUnits, L"%s, Job %lu", ORVL_PRODUCT_NAME, id);
  HANDLE job = nullptr;
  if (!OpenPrinterW(name, &job, nullptr)) return kExtractCannotRead;
  SpoolSource source = {job, ReadJobData};
  int result = ExtractSpool(source, folder, stop);
  ClosePrinter(job);
  return result;
}

// Starts the converter with the ticket and waits for its end. The converter
// takes the whole text behind its own name as the ticket path, quotes
// included, so only the program's path is quoted.
JobOutcome RunConverter(const wchar_t* converter, const wchar_t* ticket, HANDLE stop) {
  wchar_t command[kCommandUnits];
  if (FAILED(StringCchPrintfW(command, kCommandUnits, L"\"%s\" %s", converter, ticket)))
    return kJobFailed;
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(converter, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return kJobFailed;
  CloseHandle(pi.hThread);
  ScopedHandle process(pi.hProcess);
  HANDLE waits[2] = {stop, process.get()};
  // Stopped while it runs: the converter finishes on its own, and the job,
  // not seen to the end, stays in the queue.
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return kJobStopped;
  DWORD code = 1;
  if (!GetExitCodeProcess(process.get(), &code)) return kJobFailed;
  // 0 is the converter's end of a run; anything else (it did not take the
  // ticket, or it broke off) leaves the job for a later try.
  return code == 0 ? kJobDone : kJobFailed;
}

JobOutcome CollectJob(Collector& c, HANDLE printer, const JobKey& key) {
  RoadSettings s;
  if (!ReadRoadSettings(&s)) return kJobFailed;
  const SYSTEMTIME& t = key.submitted;
  wchar_t folder[kPathUnits], claim[kPathUnits], ticket[kPathUnits];
  // The ticket's path must fit the converter's 260-unit buffer.
  if (FAILED(StringCchPrintfW(folder, kPathUnits, L"%s\\Job%lu-%04u%02u%02u-%02u%02u%02u-%03u",
                              s.dest, key.id, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                              t.wSecond, t.wMilliseconds)) ||
      FAILED(StringCchPrintfW(claim, kPathUnits, L"%s.claim", folder)) ||
      FAILED(StringCchPrintfW(ticket, kPathUnits, L"%s\\job.ini", folder)))
    return kJobFailed;

  // The claim: a file beside the job folder that only one process can hold
  // open. It goes away when closed, also when its holder is killed.
  ScopedHandle held(CreateFileW(claim, GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  // Refused while the file is there: another collector holds it, or is just
  // letting go of it (Windows refuses a file pending deletion as access denied).
  if (!held)
    return GetLastError() == ERROR_SHARING_VIOLATION ||
                   GetFileAttributesW(claim) != INVALID_FILE_ATTRIBUTES
               ? kJobLeft
               : kJobFailed;
  if (!StillThere(printer, key)) return kJobLeft;

  if (!IsMarkedDone(ticket)) {
    ClearEarlierTry(folder, ticket);
    int extracted = ExtractJob(key.id, folder, c.stop);
    if (extracted != kExtractOk) {
      // The reader has removed its pages and left no ticket; the folder goes
      // too when nothing else is in it.
      RemoveDirectoryW(folder);
      return extracted == kExtractStopped ? kJobStopped : kJobFailed;
    }
    if (Stopped(c.stop)) return kJobStopped;  // a whole folder; the job stays
    if (s.converter[0]) {
      JobOutcome converted = RunConverter(s.converter, ticket, c.stop);
      if (converted != kJobDone) return converted;
    }
    MarkDone(ticket);
  }
  // Without a converter the folder and its ticket stay for the administrator;
  // the job is deleted all the same, since its pages are on disk.
  if (!SetJobW(printer, key.id, 0, nullptr, JOB_CONTROL_DELETE)) return kJobFailed;
  return kJobDone;
}

// One pass over the queue. False once stopped.
bool CollectJobs(Collector& c, HANDLE printer, bool* listed) {
  DWORD count = 0;
  BYTE* buffer = ListJobs(printer, &count);
  *listed = buffer != nullptr;
  if (!buffer) return true;
  const JOB_INFO_1W* jobs = reinterpret_cast<const JOB_INFO_1W*>(buffer);
  bool running = true;
  for (DWORD i = 0; i < count && running; ++i) {
    running = !Stopped(c.stop);
    const JOB_INFO_1W& job = jobs[i];
    JobKey key = {job.JobId, job.Submitted};
    if (!running || !IsFinished(job.Status) || !IsOwnJob(c, job) || !IsEmf(job.pDatatype) ||
        Resting(c, key))
      continue;
    switch (CollectJob(c, printer, key)) {
      case kJobDone:
        Forget(c, key);
        break;
      case kJobFailed:
        NoteFailure(c, key);
        break;
      case kJobStopped:
        running = false;
        break;
      case kJobLeft:
        break;
    }
  }
  HeapFree(GetProcessHeap(), 0, buffer);
  return running;
}

}  // namespace

int RunCollector(HANDLE stop) {
  // A name without a "Global\" prefix is local to the session: one collector
  // per session, and one in each session of a user with several.
  ScopedHandle instance(CreateMutexW(nullptr, FALSE, ORVL_COLLECTOR_MUTEX));
  if (!instance) return kCollectorFailed;
  if (GetLastError() == ERROR_ALREADY_EXISTS) return kCollectorAlreadyRunning;

  Collector* c =
      static_cast<Collector*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Collector)));
  if (!c) return kCollectorFailed;
  c->stop = stop;
  DWORD units = kUserUnits;
  if (!GetUserNameW(c->user, &units)) {
    HeapFree(GetProcessHeap(), 0, c);
    return kCollectorFailed;
  }

  HANDLE printer = nullptr;
  HANDLE change = INVALID_HANDLE_VALUE;
  while (!Stopped(stop)) {
    if (!printer && OpenPrinterW(const_cast<wchar_t*>(ORVL_PRODUCT_NAME), &printer, nullptr))
      change = FindFirstPrinterChangeNotification(printer, PRINTER_CHANGE_JOB, 0, nullptr);
    if (printer) {
      bool listed = false;
      if (!CollectJobs(*c, printer, &listed)) break;
      // A printer handle that no longer lists (the printer was removed and
      // set up again, say) is opened afresh on the next round.
      if (!listed) {
        if (change != INVALID_HANDLE_VALUE) FindClosePrinterChangeNotification(change);
        change = INVALID_HANDLE_VALUE;
        ClosePrinter(printer);
        printer = nullptr;
      }
    }
    // The notification brings a new job at once; the poll covers a spooler
    // that gives no notification, and the jobs whose pause has run out.
    HANDLE waits[2] = {stop, change};
    DWORD woke = WaitForMultipleObjects(change != INVALID_HANDLE_VALUE ? 2 : 1, waits, FALSE,
                                        kCollectorPollMs);
    if (woke == WAIT_FAILED && change != INVALID_HANDLE_VALUE) {
      // A notification that cannot be waited on: the poll alone, no spinning.
      FindClosePrinterChangeNotification(change);
      change = INVALID_HANDLE_VALUE;
    } else if (woke == WAIT_OBJECT_0 + 1) {
      DWORD what = 0;
      if (!FindNextPrinterChangeNotification(change, &what, nullptr, nullptr)) {
        FindClosePrinterChangeNotification(change);
        change = INVALID_HANDLE_VALUE;
      }
    }
  }
  if (change != INVALID_HANDLE_VALUE) FindClosePrinterChangeNotification(change);
  if (printer) ClosePrinter(printer);
  HeapFree(GetProcessHeap(), 0, c);
  return kCollectorStopped;
}
