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

// The session-local mutex that keeps the collector to one instance per session.
#define ORVL_COLLECTOR_MUTEX L"Orvalis_collector_mutex"

// Waits of the collector, in milliseconds: the poll beside the spooler's
// change notification, and the first and longest pause before a job that
// failed is tried again.
enum : unsigned {
  kCollectorPollMs = 1000,
  kRetryFirstMs = 30 * 1000,
  kRetryLongestMs = 30 * 60 * 1000,
};

// A job that fails this many times in a row for a reason that will not go
// away by itself (a spool file the reader refuses, a destination too long for
// its page paths) is left in the queue for the administrator and not tried
// again until the collector starts anew.
enum : unsigned { kCollectorTries = 3 };

// The kill event, opened (or made, where it does not exist yet) for waiting
// only. Null, with *error, when the name cannot be had: another kind of object
// holds it, or its owner does not let us wait on it.
HANDLE OpenKillEvent(const wchar_t* name, DWORD* error);
