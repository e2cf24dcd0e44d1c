// The collector's state and its retry table: which jobs failed, how, and
// when each may be tried again (collector_retry.cpp).
#pragma once

#include <windows.h>
#include <winspool.h>

#include "job_folder.h"
#include "product.h"

// What went wrong with a job, so that each failure is logged once, not at
// every try. Values below 100 are the reader's results.
enum Failure : int {
  kFailNone = 0,
  kFailSettings = 100,
  kFailFolder,
  kFailPathTooLong,
  kFailClaim,
  kFailConverterStart,
  kFailConverterRefused,
  kFailConverterBroke,
  kFailDelete,
  kFailMark,
};

// A job is known by its id and the time it was spooled: ids start again after
// a spooler restart, the time does not.
struct JobKey {
  DWORD id;
  SYSTEMTIME submitted;
};

struct Retry {
  JobKey job;
  DWORD due;     // GetTickCount() value from which it may be tried again
  DWORD pause;   // the pause that led to due; doubled at each failure
  int logged;    // the failure last written to the log
  DWORD tries;   // failures in a row that will not go away by themselves
  bool givenUp;  // left for the administrator until the collector starts anew
  bool used;
};

enum : unsigned { kRetrySlots = 64, kUserUnits = 260 };

struct Collector {
  HANDLE stop;
  wchar_t user[kUserUnits];
  Identity identity;
  wchar_t computer[3][kPathUnits];  // NetBIOS, DNS host and full DNS names
  Retry retries[kRetrySlots];
  unsigned nextSlot;        // round robin once every slot is in use
  bool faxDesk;             // a fax server is set and the desk runs (package/send)
  FolderCheck destRefused;  // why JobDestDir was last refused, logged once
};

// The queue (collector_queue.cpp).
// Finished and kept, neither busy nor being deleted.
bool IsFinished(DWORD status);
// EMF spool data ("NT EMF 1.00x").
bool IsEmf(const wchar_t* datatype);
// The user's own job, printed on this machine.
bool IsOwnJob(const Collector& c, const JOB_INFO_1W& job);
// The printer's jobs at level 1 (HeapFree the result), or null.
BYTE* ListJobs(HANDLE printer, DWORD* count);
// One job at level 2 (HeapFree the result), or null.
BYTE* QueryJob(HANDLE printer, DWORD id);
// The job is still in the queue, finished, and the same job: its id, the
// time it was spooled and its user.
bool StillThere(HANDLE printer, const JobKey& key, const wchar_t* user);
// Windows account and computer names ignore case; compared ordinally, case
// folded by the system's upper-case table, never by a locale's rules.
bool SameName(const wchar_t* a, const wchar_t* b);
// This computer's names; false without its NetBIOS name.
bool ReadComputerNames(Collector& c);

// The retry table (collector_retry.cpp).
bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b);
// Waiting for its next try, or given up?
bool Resting(Collector& c, const JobKey& job);
// A failed try: logged when it differs from the job's last logged failure,
// then the pause before the next try. A lasting failure ends the tries after
// kCollectorTries.
void NoteFailure(Collector& c, const JobKey& job, Failure failure, bool lasting, DWORD error,
                 const wchar_t* format, ...);
// Not tried again in this run of the collector; logged once.
void GiveUp(Collector& c, const JobKey& job, const wchar_t* why);
// Done with the job: its entry is freed.
void Forget(Collector& c, const JobKey& job);

// One job's steps (collector_run.cpp).
enum JobOutcome { kJobDone, kJobLeft, kJobFailed, kJobStopped };

// The machine values of the road, read as every machine value is read.
struct RoadSettings {
  wchar_t converter[kPathUnits + 1];  // empty: no converter
  wchar_t dest[kPathUnits + 1];       // the folder under which job folders are made
  bool shared;                        // dest is the machine's JobDestDir
};

// The collector's marks in the ticket (see collector_run.cpp).
struct Marks {
  bool started, done, exited;
};
Marks ReadMarks(const wchar_t* ticket);
// The mark (value null: its removal) on the disk; false when it is not.
bool Mark(const wchar_t* ticket, const wchar_t* key, const wchar_t* value);
JobOutcome MarkFailed(Collector& c, const JobKey& key, const wchar_t* ticket);
// The Started mark cannot be removed: given up, and held on the disk for
// later collectors.
JobOutcome Unstarted(Collector& c, const JobKey& key, const wchar_t* ticket);
// Held by an earlier collector (kHeldJobsKey)?
extern const wchar_t kHeldJobsKey[];
bool IsHeld(const wchar_t* folder);
// Lets a held job go once its ticket has no open Started mark; false while
// it has one, or cannot be read.
bool ReleaseHold(const wchar_t* ticket);
void ClearEarlierTry(const wchar_t* folder, const wchar_t* ticket);
// The job's spool data, read through a job handle, becomes the job folder.
int ExtractJob(DWORD id, const wchar_t* folder, HANDLE stop, DWORD* error);
const wchar_t* ExtractText(int result);
JobOutcome RunJobConverter(Collector& c, const JobKey& key, const RoadSettings& s,
                           const wchar_t* ticket);
