// The collector's log. Every collector of the user (one per session) writes
// to the same file: each line is written at the file's end inside a turn
// taken, as the converter takes it, through an exclusive lock on one byte far
// beyond the end (so readers are never locked out), and the file is opened
// anew for each line, so that a file renamed away by another writer is never
// written to again.
#include "road_log.h"

#include <shlobj.h>
#include <strsafe.h>

#include "product.h"

namespace {

// Same file? Compared by volume and file index, which survive a rename.
bool SameFile(HANDLE file, const wchar_t* path) {
  HANDLE other = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = GetFileInformationByHandle(file, &a) && GetFileInformationByHandle(other, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}

bool WriteAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) && written == size;
}

void Append(const wchar_t* line) {
  wchar_t path[kPathUnits], old[kPathUnits];
  if (!RoadLogPath(path) || !RoadLogPath(old, ORVL_ROAD_LOG_OLD_NAME)) return;
  // A few rounds: another writer may rename the file between our open and our lock.
  for (int round = 0; round < 4; ++round) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    OVERLAPPED turn = {};
    turn.Offset = 0xFFFFFFF0;
    turn.OffsetHigh = 0x7FFFFFFF;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn)) {
      CloseHandle(file);
      return;
    }
    bool done = false;
    if (SameFile(file, path)) {
      DWORD high = 0;
      DWORD size = GetFileSize(file, &high);
      bool full = high || (size != INVALID_FILE_SIZE && size >= kRoadLogLimit);
      // Renamed while every writer holds it shared for deletion; the next
      // round begins a new file. A reader that holds it without share-delete
      // keeps it from being renamed: the line goes into this file all the
      // same, and a later line renames it.
      if (!full || !MoveFileExW(path, old, MOVEFILE_REPLACE_EXISTING)) {
        LARGE_INTEGER end = {};
        SetFilePointerEx(file, end, nullptr, FILE_END);
        if (size == 0) WriteAll(file, L"\xFEFF", sizeof(wchar_t));
        WriteAll(file, line, static_cast<DWORD>(lstrlenW(line) * sizeof(wchar_t)));
        done = true;
      }
    }
    UnlockFileEx(file, 0, 1, 0, &turn);
    CloseHandle(file);
    if (done) return;
  }
}

void Write(const wchar_t* text, DWORD error, bool withError) {
  SYSTEMTIME t;
  GetSystemTime(&t);
  wchar_t line[kReportUnits];
  StringCchPrintfW(line, kReportUnits, L"%d-%02d-%02d %02d:%02d:%02d.%03d:\t", t.wYear, t.wMonth,
                   t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  size_t stamp = lstrlenW(line);
  // Room is kept for the line's end: an overlong text is cut, never the CR LF.
  StringCchCopyNW(line + stamp, kReportUnits - stamp - 2, text, kReportUnits);
  if (withError) {
    wchar_t system[kSystemTextUnits] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   system, kSystemTextUnits, nullptr);
    // The system's text ends in a line break of its own; one event, one line.
    for (wchar_t* c = system; *c; ++c)
      if (*c == L'\r' || *c == L'\n') *c = L' ';
    size_t length = lstrlenW(system);
    while (length && system[length - 1] == L' ') system[--length] = L'\0';
    wchar_t tail[kSystemTextUnits + 32];
    if (length)
      StringCchPrintfW(tail, ARRAYSIZE(tail), L": %s (error %lu)", system, error);
    else
      StringCchPrintfW(tail, ARRAYSIZE(tail), L": error %lu", error);
    size_t used = lstrlenW(line);
    StringCchCopyNW(line + used, kReportUnits - used - 2, tail, ARRAYSIZE(tail));
  }
  StringCchCatW(line, kReportUnits, L"\r\n");
  Append(line);
}

}  // namespace

bool RoadLogPath(wchar_t* path, const wchar_t* name) {
  wchar_t local[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local) != S_OK)
    return false;
  wchar_t folder[kPathUnits];
  if (FAILED(StringCchPrintfW(folder, kPathUnits, L"%s\\%s", local, ORVL_PRODUCT_NAME)))
    return false;
  CreateDirectoryW(folder, nullptr);
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\%s", folder, name));
}

void LogLine(const wchar_t* format, ...) {
  wchar_t text[kReportUnits];
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(text, kReportUnits, format, args);  // cut when too long
  va_end(args);
  Write(text, 0, false);
}

void LogError(DWORD error, const wchar_t* format, ...) {
  wchar_t text[kReportUnits];
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(text, kReportUnits, format, args);
  va_end(args);
  Write(text, error, true);
}
