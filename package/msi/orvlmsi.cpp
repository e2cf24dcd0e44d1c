// orvlmsi.dll: the Windows Installer package's own custom actions. It travels
// in the package's Binary table and is never installed.
//   EndCollectorsAction: pulses the kill event and waits, for a bounded time,
//     until no collector (orvlui2.exe) runs, so that no collector holds a file
//     that the installation is about to replace or remove.
//   RefreshPrinterAction: a repair or an upgrade. Where the printer is there it
//     stays, with its queue, sharing, security and defaults: only the monitor
//     DLL and the driver's files are replaced, and what is missing registered.
//     Without the printer it installs it as setup.exe /S does. Its
//     CustomActionData is the program folder, where the package files are.
//   PrepareJobDestDirAction: makes the shared job folder (JOBDESTDIR, its
//     CustomActionData) as the collector requires it: owned by Administrators,
//     no reparse point, and no user may delete, rename or re-permit it.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <aclapi.h>
#include <strsafe.h>
#include <tlhelp32.h>

#include "setup.h"

namespace {

// A collector ends after the current step of a job; a removal that waits
// longer than this leaves the rest to Windows Installer's files-in-use handling.
const DWORD kCollectorWaitMs = 30000;
const DWORD kPulseEveryMs = 500;

void Log(MSIHANDLE install, const wchar_t* format, ...) {
  wchar_t text[kReportUnits];
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(text, kReportUnits, format, args);
  va_end(args);
  MSIHANDLE record = MsiCreateRecord(0);
  if (!record) return;
  MsiRecordSetStringW(record, 0, text);
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

bool IsCollector(const wchar_t* exeFile) {
  const wchar_t* name = exeFile;
  for (const wchar_t* p = exeFile; *p; ++p)
    if (*p == L'\\') name = p + 1;
  return lstrcmpiW(name, L"orvlui2.exe") == 0;
}

// Opens the running collectors for waiting, at most max of them; returns how many.
DWORD OpenCollectors(HANDLE* handles, DWORD max) {
  DWORD count = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more && count < max;
       more = Process32NextW(snapshot, &entry)) {
    if (!IsCollector(entry.szExeFile)) continue;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (process) handles[count++] = process;
  }
  CloseHandle(snapshot);
  return count;
}

void CloseAll(HANDLE* handles, DWORD count) {
  for (DWORD i = 0; i < count; ++i) CloseHandle(handles[i]);
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall EndCollectorsAction(MSIHANDLE install) {
  // A pulse releases only the collectors waiting at that instant, and one that
  // started a moment ago may not wait yet: pulse again until none runs.
  DWORD start = GetTickCount();
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  DWORD running = 0;
  while ((running = OpenCollectors(handles, MAXIMUM_WAIT_OBJECTS)) != 0) {
    DWORD waited = GetTickCount() - start;
    if (waited >= kCollectorWaitMs) {
      CloseAll(handles, running);
      break;
    }
    SignalKillEvent();
    DWORD slice =
        kCollectorWaitMs - waited < kPulseEveryMs ? kCollectorWaitMs - waited : kPulseEveryMs;
    WaitForMultipleObjects(running, handles, TRUE, slice);
    CloseAll(handles, running);
  }
  if (running)
    Log(install, L"Orvalis: %lu collector(s) still running after %lu ms", running,
        kCollectorWaitMs);
  else
    Log(install, L"Orvalis: no collector runs");
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RefreshPrinterAction(MSIHANDLE install) {
  wchar_t folder[kPathUnits];
  DWORD size = kPathUnits;
  if (MsiGetPropertyW(install, L"CustomActionData", folder, &size) != ERROR_SUCCESS || !folder[0] ||
      !SetCurrentDirectoryW(folder)) {
    Log(install, L"Orvalis: the program folder \"%s\" cannot be entered", folder);
    return ERROR_INSTALL_FAILURE;
  }
  // The state setup.exe /S runs with.
  ParseCommandLine(L"/S");
  StringCchPrintfW(g_setup.caption, kPathUnits, L"%s setup", ORVL_PRODUCT_NAME);
  int code = kExitUnsupportedWindows;
  if (!DetectWindowsLevel())
    code = kExitVersionQueryFailed;
  else if (g_setup.windowsLevel != 0)
    code = RefreshPrinter();
  Log(install, L"Orvalis: the printer's files refreshed in \"%s\", exit code %d", folder, code);
  return code == kExitDone ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

namespace {

// Owner Administrators; SYSTEM and Administrators all access, inherited; each
// user may only look into the folder and make a folder of their own in it
// (list, add subfolder, traverse, read attributes and permissions). No user
// holds DELETE, FILE_DELETE_CHILD, WRITE_DAC or WRITE_OWNER, so no user can
// rename, delete or replace the folder or another user's folder in it. The
// collector gives each user folder a protected DACL of its own.
const wchar_t kJobDestDirSddl[] = L"O:BAG:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200A5;;;AU)";

// Makes every missing parent with the default security, then the folder
// itself with the descriptor above.
DWORD CreateWithParents(wchar_t* path, SECURITY_ATTRIBUTES* attributes) {
  for (wchar_t* p = path + 3; *p; ++p) {  // past "C:\"
    if (*p != L'\\') continue;
    *p = L'\0';
    BOOL made = CreateDirectoryW(path, nullptr);
    DWORD error = made ? 0 : GetLastError();
    *p = L'\\';
    if (!made && error != ERROR_ALREADY_EXISTS) return error;
  }
  return CreateDirectoryW(path, attributes) ? 0 : GetLastError();
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall PrepareJobDestDirAction(MSIHANDLE install) {
  wchar_t folder[kPathUnits];
  DWORD size = kPathUnits;
  if (MsiGetPropertyW(install, L"CustomActionData", folder, &size) != ERROR_SUCCESS || !folder[0])
    return ERROR_SUCCESS;
  size_t length = 0;
  if (FAILED(StringCchLengthW(folder, kPathUnits, &length))) return ERROR_INSTALL_FAILURE;
  while (length > 3 && folder[length - 1] == L'\\') folder[--length] = L'\0';
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kJobDestDirSddl, SDDL_REVISION_1, &sd,
                                                            nullptr)) {
    Log(install, L"Orvalis: the job folder's permissions cannot be made (error %lu)",
        GetLastError());
    return ERROR_INSTALL_FAILURE;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), sd, FALSE};
  DWORD error = CreateWithParents(folder, &attributes);
  UINT result = ERROR_SUCCESS;
  if (!error || error == ERROR_ALREADY_EXISTS) {
    // Made now with the descriptor, or earlier (by an administrator, or by an
    // older collector as the first printing user): either way the folder is
    // given the owner and permissions through a handle on the folder itself,
    // so that a junction put there is refused rather than followed (MSDN:
    // FILE_FLAG_OPEN_REPARSE_POINT).
    error = 0;
    HANDLE handle = CreateFileW(folder, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE) {
      error = GetLastError();
    } else if (!GetFileInformationByHandle(handle, &info)) {
      error = GetLastError();
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      error = ERROR_REPARSE_ATTRIBUTE_CONFLICT;
    } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      error = ERROR_DIRECTORY;
    } else {
      PSID owner = nullptr;
      PACL dacl = nullptr;
      BOOL present = FALSE, defaulted = FALSE;
      GetSecurityDescriptorOwner(sd, &owner, &defaulted);
      GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
      error = SetSecurityInfo(handle, SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  PROTECTED_DACL_SECURITY_INFORMATION,
                              owner, nullptr, dacl, nullptr);
    }
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  if (error) {
    Log(install, L"Orvalis: the job folder \"%s\" cannot be made or secured (error %lu)", folder,
        error);
    result = ERROR_INSTALL_FAILURE;
  } else {
    Log(install, L"Orvalis: the job folder \"%s\" is owned by Administrators", folder);
  }
  LocalFree(sd);
  return result;
}
