// One job's steps for the collector: the marks of the at-most-once rule in
// its ticket, reading its spool data into the job folder, and the one run of
// the converter (collector.cpp decides which step a job needs).
#include <strsafe.h>
#include <windows.h>
#include <winspool.h>

#include "collector_jobs.h"
#include "job_road.h"
#include "product.h"
#include "registry.h"
#include "road_log.h"
#include "scoped.h"

namespace {

// "EMF: Enabled" as the converter reads it: the user's value first, then the
// machine's default.
bool KeepsPages() {
  wchar_t path[kPathUnits];
  DWORD keep = 0;
  HKEY key = nullptr;
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  bool read = false;
  if (OpenKey(HKEY_CURRENT_USER, path, KEY_READ, &key) == ERROR_SUCCESS) {
    read = ReadDwordValue(key, L"EMF: Enabled", &keep);
    RegCloseKey(key);
  }
  StringCchPrintfW(path, kPathUnits, L"Software\\%s\\Defaults", ORVL_PRODUCT_NAME);
  if (!read && OpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, &key) == ERROR_SUCCESS) {
    ReadDwordValue(key, L"EMF: Enabled", &keep);
    RegCloseKey(key);
  }
  return keep != 0;
}

}  // namespace

// The collector's marks in the ticket's own section (the converter leaves
// sections it does not know alone). Only tickets in a folder the user alone
// can write are read for them.
//   Started=1  written before the converter starts;
//   Done=1     the converter ended with 0 (or there is none): only deleting
//              the job from the queue is left;
//   Exit=N     the converter ended with N, neither 0 nor 1.
const wchar_t kMarkSection[] = L"Collector";

Marks ReadMarks(const wchar_t* ticket) {
  Marks m;
  m.started = GetPrivateProfileIntW(kMarkSection, L"Started", 0, ticket) == 1;
  m.done = GetPrivateProfileIntW(kMarkSection, L"Done", 0, ticket) == 1;
  wchar_t exit[16] = {};
  GetPrivateProfileStringW(kMarkSection, L"Exit", L"", exit, 16, ticket);
  m.exited = exit[0] != L'\0';
  return m;
}

// The mark (or its removal, value null) is on the disk before the step it
// guards, or the step is not taken. MSDN: the all-null WritePrivateProfileString
// call only writes the profile cache out to the file; FlushFileBuffers puts
// the file's data on the disk, so a power cut cannot undo the mark.
bool Mark(const wchar_t* ticket, const wchar_t* key, const wchar_t* value) {
  if (!WritePrivateProfileStringW(kMarkSection, key, value, ticket)) return false;
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, ticket);
  ScopedHandle file(CreateFileW(ticket, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && FlushFileBuffers(file.get());
}

// A mark not on the disk stops the job there: it stays queued and is tried
// again after a pause.
JobOutcome MarkFailed(Collector& c, const JobKey& key, const wchar_t* ticket) {
  NoteFailure(c, key, kFailMark, false, GetLastError(),
              L"stays in the queue: its ticket %s cannot be marked on the disk", ticket);
  return kJobFailed;
}

// Jobs held for the administrator across collector runs: one value per job
// folder (named by its path) under the user's own key, which no other user
// may write. It is kept where the ticket could not be written, and flushed:
// MSDN (RegFlushKey) the key's changes are on the disk when it returns.
const wchar_t kHeldJobsKey[] = L"Software\\" ORVL_PRODUCT_NAME L"\\Held jobs";

namespace {

bool FolderOfTicket(const wchar_t* ticket, wchar_t* folder) {
  if (FAILED(StringCchCopyW(folder, kPathUnits, ticket))) return false;
  wchar_t* last = wcsrchr(folder, L'\\');
  if (!last) return false;
  *last = L'\0';
  return true;
}

bool HoldJob(const wchar_t* folder, const wchar_t* why) {
  HKEY key = nullptr;
  LONG r = RegCreateKeyExW(HKEY_CURRENT_USER, kHeldJobsKey, 0, nullptr, 0,
                           KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key, nullptr);
  if (r == ERROR_SUCCESS) {
    r = RegSetValueExW(key, folder, 0, REG_SZ, reinterpret_cast<const BYTE*>(why),
                       (lstrlenW(why) + 1) * sizeof(wchar_t));
    if (r == ERROR_SUCCESS) r = RegFlushKey(key);
    RegCloseKey(key);
  }
  SetLastError(r);
  return r == ERROR_SUCCESS;
}

}  // namespace

bool IsHeld(const wchar_t* folder) {
  HKEY key = nullptr;
  if (OpenKey(HKEY_CURRENT_USER, kHeldJobsKey, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  bool held = RegQueryValueExW(key, folder, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return held;
}

bool ReleaseHold(const wchar_t* ticket) {
  wchar_t folder[kPathUnits];
  // Only a ticket shown to have no open Started mark lets the job go: one
  // that is missing, or that opens and has none (or is Done). A ticket that
  // cannot be read keeps the hold.
  ScopedHandle file(CreateFileW(ticket, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  Marks marks = ReadMarks(ticket);
  if (file && marks.started && !marks.done) return false;
  HKEY key = nullptr;
  if (!FolderOfTicket(ticket, folder) ||
      OpenKey(HKEY_CURRENT_USER, kHeldJobsKey, KEY_SET_VALUE | KEY_QUERY_VALUE, &key) !=
          ERROR_SUCCESS)
    return false;
  bool released =
      RegDeleteValueW(key, folder) == ERROR_SUCCESS && RegFlushKey(key) == ERROR_SUCCESS;
  RegCloseKey(key);
  return released;
}

// A Started mark that cannot be taken back would make a later round take the
// job for converted: the job stays queued for the administrator, also in
// later runs of the collector (the hold above).
JobOutcome Unstarted(Collector& c, const JobKey& key, const wchar_t* ticket) {
  if (Mark(ticket, L"Started", nullptr)) return kJobFailed;
  DWORD error = GetLastError();
  wchar_t why[kReportUnits], folder[kPathUnits];
  StringCchPrintfW(why, kReportUnits,
                   L"the Started mark in its ticket %s cannot be removed (error %lu); its "
                   L"converter did not finish it, so it is not deleted.",
                   ticket, error);
  GiveUp(c, key, why);
  if (!FolderOfTicket(ticket, folder) || !HoldJob(folder, why))
    LogError(GetLastError(),
             L"Job %lu: its hold cannot be kept for later collectors (HKCU\\%s); remove the "
             L"Started mark from its ticket %s before the next logon",
             key.id, kHeldJobsKey, ticket);
  return kJobLeft;
}

// An earlier try of a job that was never handed to the converter left its
// folder. The queue still holds the job, so that copy makes way for a fresh
// one: the reader writes over pages and fonts of the same names, but a new
// try with fewer of them would leave the earlier ones beyond its count.
void ClearEarlierTry(const wchar_t* folder, const wchar_t* ticket) {
  const wchar_t* const patterns[] = {L"page*.emf", L"font*.*"};
  for (const wchar_t* pattern : patterns) {
    wchar_t path[kPathUnits];
    WIN32_FIND_DATAW found;
    if (FAILED(StringCchPrintfW(path, kPathUnits, L"%s\\%s", folder, pattern))) return;
    ScopedFind find(FindFirstFileW(path, &found));
    if (!find) continue;
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
int ExtractJob(DWORD id, const wchar_t* folder, HANDLE stop, DWORD* error) {
  wchar_t name[kPathUnits];
  StringCchPrintfW(name, kPathUnits, L"%s, Job %lu", ORVL_PRODUCT_NAME, id);
  HANDLE job = nullptr;
  *error = 0;
  if (!OpenPrinterW(name, &job, nullptr)) {
    *error = GetLastError();
    return kExtractCannotRead;
  }
  SpoolSource source = {job, ReadJobData};
  int result = ExtractSpool(source, folder, stop);
  ClosePrinter(job);
  return result;
}

const wchar_t* ExtractText(int result) {
  switch (result) {
    case kExtractCannotRead:
      return L"its spool data cannot be read.";
    case kExtractNotEmfSpool:
      return L"its spool data is not an EMF spool file.";
    case kExtractDamaged:
      return L"its spool file is damaged.";
    case kExtractCannotWrite:
      return L"its job folder cannot be written.";
    case kExtractCannotDraw:
      return L"a page cannot be drawn into the fax document.";
    case kExtractTooLarge:
      return L"it is larger than one fax document holds (65,535 fax pages, 4 GB).";
    default:
      return L"it cannot be extracted.";
  }
}

namespace {

enum : unsigned { kCommandUnits = 2 * kPathUnits + 8 };

enum ConverterEnd { kConverterExited, kConverterNotStarted, kConverterStopped };

// Starts the converter with the ticket and waits for its end. The converter
// takes the whole text behind its own name as the ticket path, quotes
// included, so only the program's path is quoted.
ConverterEnd StartConverter(const wchar_t* converter, const wchar_t* ticket, HANDLE stop,
                            DWORD* code) {
  wchar_t command[kCommandUnits];
  *code = ERROR_FILENAME_EXCED_RANGE;
  if (FAILED(StringCchPrintfW(command, kCommandUnits, L"\"%s\" %s", converter, ticket)))
    return kConverterNotStarted;
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(converter, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    *code = GetLastError();
    return kConverterNotStarted;
  }
  CloseHandle(pi.hThread);
  ScopedHandle process(pi.hProcess);
  HANDLE waits[2] = {stop, process.get()};
  // Stopped while it runs: the converter finishes on its own.
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
    return kConverterStopped;
  *code = 1;
  if (!GetExitCodeProcess(process.get(), code)) *code = GetLastError();
  return kConverterExited;
}

}  // namespace

// The converter, at most once for a job. Its exit code 1 is the one end
// before which it touches nothing (a ticket it refuses, settings it cannot
// read): the mark goes and the job is tried again later. Any other end
// counts as the one run: 0 finishes the job; any other code (a crash, say)
// leaves the job and its folder for the administrator; and an end the
// collector did not see (stopped while the converter ran) is finished
// without a second run when the job comes round again.
JobOutcome RunJobConverter(Collector& c, const JobKey& key, const RoadSettings& s,
                           const wchar_t* ticket) {
  if (!Mark(ticket, L"Started", L"1")) {
    // Half written, it could read as started later: taken back where it can be.
    JobOutcome failed = MarkFailed(c, key, ticket);
    return Unstarted(c, key, ticket) == kJobLeft ? kJobLeft : failed;
  }
  DWORD code = 0;
  switch (StartConverter(s.converter, ticket, c.stop, &code)) {
    case kConverterStopped:
      return kJobStopped;
    case kConverterNotStarted:
      NoteFailure(c, key, kFailConverterStart, false, code, L"the converter %s cannot be started",
                  s.converter);
      return Unstarted(c, key, ticket);
    case kConverterExited:
      break;
  }
  LogLine(L"Job %lu: the converter exited with %lu.", key.id, code);
  if (code == 1) {
    NoteFailure(c, key, kFailConverterRefused, false, 0,
                L"the converter refused its ticket %s; the job stays in the queue.", ticket);
    return Unstarted(c, key, ticket);
  }
  if (code != 0) {
    wchar_t text[16];
    StringCchPrintfW(text, 16, L"%lu", code);
    if (!Mark(ticket, L"Exit", text))
      LogError(GetLastError(), L"Job %lu: its ticket %s cannot be marked Exit=%s", key.id, ticket,
               text);
    GiveUp(c, key, L"the converter broke off; its folder stays as it is.");
    return kJobLeft;
  }
  // Exit code 0 also ends runs that did nothing (a log it could not open, a
  // ticket it did not find): pages still listed that the user's option would
  // have deleted say so.
  UINT listed = GetPrivateProfileIntW(L"EMF", L"Count", 0, ticket);
  if (listed && !KeepsPages())
    LogLine(
        L"Job %lu: the converter exited with 0, but its ticket %s still lists %u pages that "
        L"the EMF option would have deleted.",
        key.id, ticket, listed);
  return kJobDone;
}
