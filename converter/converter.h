// The converter: finishes one printed job per run from its job ticket.
#pragma once
#include <windows.h>

#include "product.h"

// Report codes carried in wParam of the notify message.
enum : DWORD {
  kCodeLogOpenFailed = 0xF001,
  kCodeInvalidCommandLine = 0xF011,
  kCodeNoPages = 0xF012,
  kCodeDefaultsKeyFailed = 0xF013,
  kCodeUserKeyFailed = 0xF014,
};

// System-modal, OK button, no icon: the style of every converter box.
enum : UINT { kConverterBoxStyle = MB_OK | MB_SYSTEMMODAL };

// Process-wide run state; every run starts from these start values.
struct ConverterState {
  wchar_t caption[kPathUnits];
  DWORD logFlag;
  DWORD messageMode;
  wchar_t logDir[kPathUnits];  // at most 255 characters
  UINT notifyMessage;  // registered before the first broadcast
  wchar_t ticketPath[kPathUnits];
  DWORD pageCount;
  DWORD emfOption;
  HANDLE logFile;  // INVALID_HANDLE_VALUE while there is none
  bool logCreated;      // this run's open created the log file
  bool logMarkChecked;  // the first write has looked for an empty log
};

extern ConverterState g_converter;

// One whole run on the command-line tail; returns the exit code (0 or 1).
int RunConverter(const wchar_t* commandLine);

// Reads "EMF: Enabled", the user's value first; false after it has reported.
bool ReadEmfOption();

// Reports: logged when Log is on; broadcast in Message Mode 1 with a nonzero
// code, else shown in a message box. Return 1 after a broadcast, else the
// box's result (ReportError: 0 when there is no error number at all).
int ReportMessage(const wchar_t* text, DWORD code, HWND owner, UINT style);
int ReportError(const wchar_t* text, DWORD code, DWORD error, HWND owner, UINT style);

// Appends one stamped line to the open log; does nothing without one.
void WriteLogLine(const wchar_t* text);

// The log path for a directory: false when it would not fit a path buffer.
bool BuildLogPath(const wchar_t* dir, wchar_t* path, size_t pathUnits);
