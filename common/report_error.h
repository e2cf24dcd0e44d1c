// The one error report of every program: "%s\nError # %d: %s".
#pragma once
#include <windows.h>
#include <stddef.h>

// Resolves the error number (0 means the thread's last error) and formats the
// report into out (kReportUnits). Returns the number reported, or 0 when there
// is none; out is then left empty. language is the FormatMessageW language
// (0 for the platform's own order, 0x0400 for the user's default).
DWORD FormatErrorReport(const wchar_t* context, DWORD error, DWORD language, wchar_t* out,
                        size_t outUnits);

// The system's text for an error number into out (at most outUnits - 1
// characters); empty when the platform has none.
void SystemErrorText(DWORD error, DWORD language, wchar_t* out, size_t outUnits);
