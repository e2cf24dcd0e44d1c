#include "converter.h"

#include <strsafe.h>

#include "registry.h"
#include "report_error.h"
#include "scoped.h"
#include "ticket.h"

ConverterState g_converter;

namespace {

const wchar_t kLogFileName[] = L"vp_log.txt";
// LogDestDir is read into 512 bytes: 255 characters and the terminator.
const DWORD kLogDirBytes = 512;

void ResetState() {
  ZeroMemory(&g_converter, sizeof(g_converter));
  g_converter.logFile = INVALID_HANDLE_VALUE;
}

void CloseLog() {
  if (g_converter.logFile != INVALID_HANDLE_VALUE) CloseHandle(g_converter.logFile);
  g_converter.logFile = INVALID_HANDLE_VALUE;
}

void ReadMachineSettings() {
  wchar_t path[kPathUnits];
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  ScopedKey key;
  if (OpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, key.put()) != ERROR_SUCCESS) return;
  ReadDwordValue(key.get(), L"Log", &g_converter.logFlag);
  ReadDwordValue(key.get(), L"Message Mode", &g_converter.messageMode);
  ReadTextValue(key.get(), L"LogDestDir", g_converter.logDir, kLogDirBytes);
}

bool TicketExists(const wchar_t* path) {
  WIN32_FIND_DATAW data;
  ScopedFind find(FindFirstFileW(path, &data));
  return find.valid();
}

// Opens the log for appending only: every write then goes to the end of the
// file in one step, so lines of concurrent converters do not overwrite each
// other. Returns false with the thread's last error set.
bool OpenLog(const wchar_t* path) {
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  g_converter.logFile = file;
  if (created) {
    static const BYTE kBom[2] = {0xFF, 0xFE};
    DWORD written;
    WriteFile(file, kBom, sizeof(kBom), &written, nullptr);
  }
  return true;
}

void DeletePage(const wchar_t* path, void*) {
  if (*path) DeleteFileW(path);
}

}  // namespace

bool BuildLogPath(const wchar_t* dir, wchar_t* path, size_t pathUnits) {
  size_t length = lstrlenW(dir);
  const wchar_t* separator = (length > 0 && dir[length - 1] == L'\\') ? L"" : L"\\";
  return SUCCEEDED(StringCchPrintfW(path, pathUnits, L"%s%s%s", dir, separator, kLogFileName));
}

void WriteLogLine(const wchar_t* text) {
  if (g_converter.logFile == INVALID_HANDLE_VALUE) return;
  SYSTEMTIME t;
  GetSystemTime(&t);
  wchar_t line[kReportUnits];
  // The stamp, then as much of the text as fits: the line always ends in CR LF.
  StringCchPrintfW(line, kReportUnits, L"%d-%02d-%02d %02d:%02d:%02d.%03d:\t", t.wYear, t.wMonth,
                   t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  size_t stamp = lstrlenW(line);
  StringCchCopyNW(line + stamp, kReportUnits - stamp - 2, text, kReportUnits);
  StringCchCatW(line, kReportUnits, L"\r\n");
  LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(g_converter.logFile, zero, nullptr, FILE_END)) return;
  DWORD written;
  WriteFile(g_converter.logFile, line, static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t)),
            &written, nullptr);
}

int ReportMessage(const wchar_t* text, DWORD code, HWND owner, UINT style) {
  if (g_converter.logFlag) WriteLogLine(text);
  if (g_converter.messageMode == 1 && code != 0) {
    SendNotifyMessageW(HWND_BROADCAST, g_converter.notifyMessage, code, 0);
    return 1;
  }
  return MessageBoxW(owner, text, g_converter.caption, style);
}

int ReportError(const wchar_t* text, DWORD code, DWORD error, HWND owner, UINT style) {
  static wchar_t report[kReportUnits];
  error = FormatErrorReport(text, error, 0, report, kReportUnits);
  if (error == 0) return 0;
  if (g_converter.logFlag) WriteLogLine(report);
  if (g_converter.messageMode == 1 && code != 0) {
    SendNotifyMessageW(HWND_BROADCAST, g_converter.notifyMessage, code, static_cast<LPARAM>(error));
    return 1;
  }
  return MessageBoxW(owner, report, g_converter.caption, style);
}

bool ReadEmfOption() {
  wchar_t path[kPathUnits];
  wchar_t text[kPathUnits];
  ScopedKey defaults;
  StringCchPrintfW(path, kPathUnits, L"Software\\%s\\Defaults", ORVL_PRODUCT_NAME);
  LONG rc = OpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, defaults.put());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    StringCchPrintfW(text, kPathUnits, L"Failed to open registry key\nHKLM\\Software\\%s\\Defaults",
                     ORVL_PRODUCT_NAME);
    ReportError(text, kCodeDefaultsKeyFailed, static_cast<DWORD>(rc), nullptr, kConverterBoxStyle);
    return false;
  }
  ScopedKey user;
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  rc = OpenKey(HKEY_CURRENT_USER, path, KEY_READ, user.put());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    StringCchPrintfW(text, kPathUnits, L"Failed to open registry key\nHKCU\\Software\\%s",
                     ORVL_PRODUCT_NAME);
    ReportError(text, kCodeUserKeyFailed, static_cast<DWORD>(rc), nullptr, kConverterBoxStyle);
    return false;
  }
  if (ReadDwordValue(user.get(), L"EMF: Enabled", &g_converter.emfOption)) return true;
  ReadDwordValue(defaults.get(), L"EMF: Enabled", &g_converter.emfOption);
  return true;
}

namespace {

int Run(const wchar_t* commandLine) {
  wchar_t text[kReportUnits];
  StringCchPrintfW(g_converter.caption, kPathUnits, L"%s converter", ORVL_PRODUCT_NAME);
  ReadMachineSettings();
  StringCchPrintfW(text, kPathUnits, L"%s_notify_message", ORVL_PRODUCT_NAME);
  g_converter.notifyMessage = RegisterWindowMessageW(text);

  // A path too long for the buffer is refused rather than cut: a cut path
  // could name another ticket.
  if (FAILED(StringCchCopyW(g_converter.ticketPath, kPathUnits, commandLine ? commandLine : L"")) ||
      !TicketExists(g_converter.ticketPath)) {
    ReportMessage(L"Invalid command line parameter.", kCodeInvalidCommandLine, nullptr,
                  kConverterBoxStyle);
    return 0;
  }
  const wchar_t* ticket = g_converter.ticketPath;

  wchar_t device[kPathUnits];
  GetPrivateProfileStringW(L"Device", L"DeviceName", L"", device, kPathUnits, ticket);
  if (lstrcmpW(device, ORVL_PRODUCT_NAME) != 0) return 1;

  if (g_converter.logFlag) {
    // Composed in a larger buffer first: a path beyond the path buffer is
    // treated as a log file that can't be opened, and shown whole.
    wchar_t logPath[kReportUnits];
    BuildLogPath(g_converter.logDir, logPath, kReportUnits);
    bool fits = lstrlenW(logPath) < static_cast<int>(kPathUnits);
    if (!fits || !OpenLog(logPath)) {
      DWORD error = fits ? GetLastError() : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE);
      StringCchPrintfW(text, kReportUnits, L"Failed to open the log file:\n%s", logPath);
      ReportError(text, kCodeLogOpenFailed, error, nullptr, kConverterBoxStyle);
      return 0;
    }
    WriteLogLine(L"Converter started.");
  }

  g_converter.pageCount = ReadPageCount(ticket);
  if (g_converter.pageCount == 0) {
    ReportMessage(L"No pages to process.", kCodeNoPages, nullptr, kConverterBoxStyle);
    return 0;
  }

  StringCchPrintfW(text, 256, L"%s progress message", ORVL_PRODUCT_NAME);
  g_converter.progressMessage = RegisterWindowMessageW(text);

  if (!ReadEmfOption()) return 1;

  if (g_converter.emfOption == 0) {
    if (g_converter.logFlag) WriteLogLine(L"Delete EMF files.");
    // A section too large to read stays as it is, with its files: nothing is lost.
    if (ForEachPageFile(ticket, g_converter.pageCount, DeletePage, nullptr))
      WritePrivateProfileStringW(L"EMF", nullptr, nullptr, ticket);
  }

  WritePrivateProfileStringW(nullptr, nullptr, nullptr, ticket);

  if (g_converter.logFlag) WriteLogLine(L"Converter exits.");
  return 0;
}

}  // namespace

int RunConverter(const wchar_t* commandLine) {
  ResetState();
  int code = Run(commandLine);
  // The process ends right after; closing here too lets a caller run again.
  CloseLog();
  return code;
}
