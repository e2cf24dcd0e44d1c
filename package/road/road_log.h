// The collector's log: "collector_log.txt" in the user's local application
// data ("Orvalis" folder), UTF-16 LE with a byte-order mark, one line per
// event stamped with the UTC date and time to the millisecond, as the
// converter's log, so that one reader serves both. Past kRoadLogLimit bytes
// the file becomes "collector_log.old.txt" (replacing an older one) and a new
// file begins.
#pragma once

#include <windows.h>

enum : DWORD { kRoadLogLimit = 1024 * 1024 };

#define ORVL_ROAD_LOG_NAME L"collector_log.txt"
#define ORVL_ROAD_LOG_OLD_NAME L"collector_log.old.txt"

// Writes one line, printf-style (%s is a wide string). Failures to write are
// silent: the log must never stop the collector.
void LogLine(const wchar_t* format, ...);

// The same, followed by the system's text for error and its number:
// "<text>: <system text> (error <n>)".
void LogError(DWORD error, const wchar_t* format, ...);

// The log's full path; false when the user's application data cannot be found.
bool RoadLogPath(wchar_t* path, const wchar_t* name = ORVL_ROAD_LOG_NAME);
