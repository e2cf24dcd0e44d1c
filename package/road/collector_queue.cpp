// The collector's view of the print queue: which jobs are the user's own,
// finished and kept, and what the spooler says of one job.
#include <windows.h>
#include <winspool.h>

#include "collector_jobs.h"

// Finished and kept: the port has had it and the spooler neither works on it
// nor throws it away. JOB_STATUS_PRINTED is what a kept job shows once
// printed; JOB_STATUS_COMPLETE (XP and later) once it was sent to the port.
// A busy bit wins over a done bit: a job being spooled anew or restarted may
// still carry the mark of its earlier end.
bool IsFinished(DWORD status) {
  const DWORD done = JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE;
  const DWORD busy = JOB_STATUS_SPOOLING | JOB_STATUS_PRINTING | JOB_STATUS_DELETING |
                     JOB_STATUS_DELETED | JOB_STATUS_RESTART;
  return (status & done) != 0 && (status & busy) == 0;
}

bool SameName(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    // CharUpperW with a character (high word zero) upper-cases it alone.
    WCHAR x = LOWORD(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(*a))));
    WCHAR y = LOWORD(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(*b))));
    if (x != y) return false;
    if (!x) return true;
  }
}

// EMF spooling gives the data types "NT EMF 1.003" to "NT EMF 1.008"; any
// other data (RAW, TEXT) is no spool file of pages and stays in the queue.
bool IsEmf(const wchar_t* datatype) {
  wchar_t head[7] = {};
  if (!datatype) return false;
  lstrcpynW(head, datatype, 7);
  return SameName(head, L"NT EMF");
}

namespace {

// The spooler gives the submitting machine as "\\NAME" (the NetBIOS name for
// a local job); any of this computer's names counts.
bool IsThisMachine(const Collector& c, const wchar_t* machine) {
  if (!machine) return false;
  while (*machine == L'\\') ++machine;
  if (!*machine) return false;
  for (const wchar_t* name : c.computer)
    if (*name && SameName(machine, name)) return true;
  return false;
}

}  // namespace

// The user's own job, printed on this machine. Windows account names ignore
// case. The spooler records the submitting account's name without its
// domain, so a job of the same name from another machine (a client of a
// shared printer, perhaps of another domain) is left alone.
bool IsOwnJob(const Collector& c, const JOB_INFO_1W& job) {
  return job.pUserName && SameName(job.pUserName, c.user) && IsThisMachine(c, job.pMachineName);
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
bool StillThere(HANDLE printer, const JobKey& key, const wchar_t* user) {
  BYTE* buffer = QueryJob(printer, key.id);
  if (!buffer) return false;
  const JOB_INFO_1W* job = reinterpret_cast<const JOB_INFO_1W*>(buffer);
  bool there = job->JobId == key.id && IsFinished(job->Status) &&
               SameTime(job->Submitted, key.submitted) && job->pUserName &&
               SameName(job->pUserName, user);
  HeapFree(GetProcessHeap(), 0, buffer);
  return there;
}

bool ReadComputerNames(Collector& c) {
  const COMPUTER_NAME_FORMAT formats[3] = {ComputerNameNetBIOS, ComputerNameDnsHostname,
                                           ComputerNameDnsFullyQualified};
  for (int i = 0; i < 3; ++i) {
    DWORD units = kPathUnits;
    if (!GetComputerNameExW(formats[i], c.computer[i], &units)) c.computer[i][0] = L'\0';
  }
  return c.computer[0][0] != L'\0';
}
