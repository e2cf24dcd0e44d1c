// The collector's retry table: each failure of a job logged once, then a
// pause that doubles at every failure, and a job given up after the tries a
// lasting failure is allowed.
#include <strsafe.h>
#include <windows.h>

#include "collector.h"
#include "collector_jobs.h"
#include "road_log.h"

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
         a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

namespace {

bool SameJob(const JobKey& a, const JobKey& b) {
  return a.id == b.id && SameTime(a.submitted, b.submitted);
}

Retry* FindRetry(Collector& c, const JobKey& job) {
  for (Retry& r : c.retries)
    if (r.used && SameJob(r.job, job)) return &r;
  return nullptr;
}

Retry& RetryOf(Collector& c, const JobKey& job) {
  Retry* r = FindRetry(c, job);
  if (r) return *r;
  unsigned slot = kRetrySlots;
  for (unsigned i = 0; i < kRetrySlots && slot == kRetrySlots; ++i)
    if (!c.retries[i].used) slot = i;
  // A full table gives up its oldest entry: that job is only tried sooner.
  if (slot == kRetrySlots) slot = c.nextSlot++ % kRetrySlots;
  r = &c.retries[slot];
  *r = Retry{job, GetTickCount(), 0, kFailNone, 0, false, true};
  return *r;
}

}  // namespace

// Waiting for its next try, or given up? Compared as a difference, so the
// tick count may wrap.
bool Resting(Collector& c, const JobKey& job) {
  Retry* r = FindRetry(c, job);
  return r && (r->givenUp || static_cast<LONG>(GetTickCount() - r->due) < 0);
}

void NoteFailure(Collector& c, const JobKey& job, Failure failure, bool lasting, DWORD error,
                 const wchar_t* format, ...) {
  Retry& r = RetryOf(c, job);
  if (r.logged != failure) {
    wchar_t text[kReportUnits];
    va_list args;
    va_start(args, format);
    StringCchVPrintfW(text, kReportUnits, format, args);
    va_end(args);
    if (error)
      LogError(error, L"Job %lu: %s", job.id, text);
    else
      LogLine(L"Job %lu: %s", job.id, text);
    r.logged = failure;
  }
  r.tries = lasting ? r.tries + 1 : 0;
  if (lasting && r.tries >= kCollectorTries) {
    r.givenUp = true;
    LogLine(L"Job %lu: left in the queue for the administrator after %u tries.", job.id, r.tries);
    return;
  }
  r.pause = !r.pause                         ? DWORD{kRetryFirstMs}
            : r.pause >= kRetryLongestMs / 2 ? DWORD{kRetryLongestMs}
                                             : r.pause * 2;
  r.due = GetTickCount() + r.pause;
}

void GiveUp(Collector& c, const JobKey& job, const wchar_t* why) {
  Retry& r = RetryOf(c, job);
  r.givenUp = true;
  LogLine(L"Job %lu: left in the queue for the administrator: %s", job.id, why);
}

void Forget(Collector& c, const JobKey& job) {
  Retry* r = FindRetry(c, job);
  if (r) r->used = false;
}
