// What the collector hands back to orvlui2.exe as its exit code. The values
// stay apart from the "/extract" codes, so one table of orvlui2.exe's exit
// codes serves both ways it runs.
#pragma once

#include <windows.h>

enum CollectorResult : int {
  kCollectorStopped = 0,         // the stop event (the kill event) ended it
  kCollectorFailed = 1,          // it could not start (single-instance mutex, user name)
  kCollectorAlreadyRunning = 8,  // another collector runs in this session
};

// The mutex that keeps the collector to one instance per session of a user:
// "Local\<this>_<session id>_<user SID>".
#define ORVL_COLLECTOR_MUTEX L"Orvalis_collector_mutex"

// Waits of the collector, in milliseconds: the poll without and beside the
// spooler's change notification, and the first and longest pause before a job that
// failed is tried again.
enum : unsigned {
  kCollectorPollMs = 1000,
  kCollectorNotifiedPollMs = 30 * 1000,  // with a change notification open
  kRetryFirstMs = 30 * 1000,
  kRetryLongestMs = 30 * 60 * 1000,
};

// A job that fails this many times in a row for a reason that will not go
// away by itself (a spool file the reader refuses, a page that cannot be drawn
// into the fax document, a destination too long for its page paths) is left in the queue for the
// administrator and not tried again until the collector starts anew.
enum : unsigned { kCollectorTries = 3 };

// The kill event "Global\Orvalis_killevent", made by the port monitor as
// SYSTEM (kill_event.cpp). A collector waits on it only when its owner is
// SYSTEM or Administrators and no other account may signal it or change its
// permissions.
enum KillEventTrust {
  kKillTrusted,
  kKillMissing,          // no such object (yet)
  kKillUnopenable,       // another kind of object holds the name, or it refuses us (*error)
  kKillUnreadable,       // its security cannot be read (*error)
  kKillUserOwned,        // owned by an account that is neither SYSTEM nor Administrators
  kKillOthersMaySignal,  // its DACL lets other accounts signal it
};

// Opened for waiting (never made); null unless trusted, with *trust saying why.
HANDLE OpenKillEvent(const wchar_t* name, KillEventTrust* trust, DWORD* error);
const wchar_t* KillEventText(KillEventTrust trust);

// How often a collector looks again at a kill event it could not use.
enum : DWORD { kKillEventLookMs = 60 * 1000 };

// The watcher thread: sets stop once the kill event is pulsed, or ends when
// stop is set by anyone else.
struct KillWatch {
  const wchar_t* name;
  HANDLE stop;
};
DWORD WINAPI WatchKillEvent(void* watch);
