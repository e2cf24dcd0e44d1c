#include "converter.h"

#include <strsafe.h>
#include <wchar.h>

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

// Appends bytes to the log as one turn among concurrent converters. The log
// is opened for writing, so a write lands where the file position stands: the
// position is moved to the end and the bytes written while this writer holds
// an exclusive lock of one byte far beyond any real file size, which every
// converter takes before it writes (LockFileEx asks only for read or write
// access). A writer that dies releases its lock with its handle; if locking
// is refused, the move and the write alone go ahead.
//
// The byte-order mark is written in the same turn by whoever writes first into
// the empty file, so it stands first even when another converter opened the
// new log a moment after its creator.
void AppendToLog(const void* bytes, DWORD size) {
  HANDLE file = g_converter.logFile;
  OVERLAPPED turn = {};
  turn.Offset = 0xFFFFFFF0u;
  turn.OffsetHigh = 0x7FFFFFFFu;
  bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn) != FALSE;
  LARGE_INTEGER end = {};
  bool ok = SetFilePointerEx(file, end, &end, FILE_END) != FALSE;
  DWORD written;
  if (ok && !g_converter.logMarkChecked) {
    g_converter.logMarkChecked = true;
    if (end.QuadPart == 0 && (locked || g_converter.logCreated)) {
      static const BYTE kBom[2] = {0xFF, 0xFE};
      WriteFile(file, kBom, sizeof(kBom), &written, nullptr);
    }
  }
  if (ok && size) WriteFile(file, bytes, size, &written, nullptr);
  if (locked) UnlockFileEx(file, 0, 1, 0, &turn);
}

// Opens (or creates) the log; false with the thread's last error set. Write
// access only: an account that may write the log but not read it can log,
// and so can a converter while a reader shares the file for writing only.
bool OpenLog(const wchar_t* path) {
  HANDLE file =
      CreateFileW(path, GENERIC_WRITE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  g_converter.logCreated = GetLastError() != ERROR_ALREADY_EXISTS;
  g_converter.logFile = file;
  if (g_converter.logCreated) AppendToLog(nullptr, 0);
  return true;
}

void DeletePage(const wchar_t* path, void*) {
  if (*path) DeleteFileW(path);
}

// Called once the page list is known, right before the first deletion.
void StartDeleting(void*) {
  if (g_converter.logFlag) WriteLogLine(L"Delete EMF files.");
}

// user32 is bound on first use: a run that reports nothing never loads it,
// which is most of what a one-page job costs to start under Wine. A listener
// registers the message names itself and gets the same numbers whoever
// registered them first.
struct User32 {
  bool loaded;
  UINT(WINAPI* registerWindowMessage)(LPCWSTR);
  BOOL(WINAPI* sendNotifyMessage)(HWND, UINT, WPARAM, LPARAM);
  int(WINAPI* messageBox)(HWND, LPCWSTR, LPCWSTR, UINT);
};
User32 g_user32;

template <typename F>
void Bind(HMODULE module, const char* name, F* function) {
  *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const User32& LoadUser32() {
  if (!g_user32.loaded) {
    g_user32.loaded = true;
    if (HMODULE user32 = LoadLibraryW(L"user32.dll")) {
      Bind(user32, "RegisterWindowMessageW", &g_user32.registerWindowMessage);
      Bind(user32, "SendNotifyMessageW", &g_user32.sendNotifyMessage);
      Bind(user32, "MessageBoxW", &g_user32.messageBox);
    }
  }
  return g_user32;
}

UINT RegisterMessageName(const wchar_t* format) {
  wchar_t name[kPathUnits];
  StringCchPrintfW(name, kPathUnits, format, ORVL_PRODUCT_NAME);
  const User32& user32 = LoadUser32();
  return user32.registerWindowMessage ? user32.registerWindowMessage(name) : 0;
}

void Broadcast(WPARAM code, LPARAM error) {
  if (!g_converter.notifyMessage) g_converter.notifyMessage = RegisterMessageName(L"%s_notify_message");
  const User32& user32 = LoadUser32();
  if (user32.sendNotifyMessage && g_converter.notifyMessage)
    user32.sendNotifyMessage(HWND_BROADCAST, g_converter.notifyMessage, code, error);
}

int ShowBox(HWND owner, const wchar_t* text, UINT style) {
  const User32& user32 = LoadUser32();
  return user32.messageBox ? user32.messageBox(owner, text, g_converter.caption, style) : 0;
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
  AppendToLog(line, static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t)));
}

int ReportMessage(const wchar_t* text, DWORD code, HWND owner, UINT style) {
  if (g_converter.logFlag) WriteLogLine(text);
  if (g_converter.messageMode == 1 && code != 0) {
    Broadcast(code, 0);
    return 1;
  }
  return ShowBox(owner, text, style);
}

int ReportError(const wchar_t* text, DWORD code, DWORD error, HWND owner, UINT style) {
  static wchar_t report[kReportUnits];
  error = FormatErrorReport(text, error, 0, report, kReportUnits);
  if (error == 0) return 0;
  if (g_converter.logFlag) WriteLogLine(report);
  if (g_converter.messageMode == 1 && code != 0) {
    Broadcast(code, static_cast<LPARAM>(error));
    return 1;
  }
  return ShowBox(owner, report, style);
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
  // Code unit by code unit: lstrcmpW would let locale-ignorable characters pass.
  if (wcscmp(device, ORVL_PRODUCT_NAME) != 0) return 1;

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

  // The progress message ("%s progress message") is never sent by the
  // converter, so it is not registered here (see User32 above).

  if (!ReadEmfOption()) return 1;

  if (g_converter.emfOption == 0) {
    // A list that could not be read at all stays as it is, with its files and
    // without a log line: nothing is lost and no deletion is claimed.
    if (ForEachPageFile(ticket, g_converter.pageCount, StartDeleting, DeletePage, nullptr) !=
        kPagesNotRead)
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
