// The fax document is drawn, and embedded font packages merged, in a child
// process: GDI and fontsub run on whatever a spool file holds, and a fault,
// a hang or a runaway allocation there must end that child, never the
// collector. The child is orvlui2.exe itself with its own switch; it works
// on the job folder alone (no handles inherited: it never sees the spool
// data or the queue), inside a job object that bounds its memory and time
// and ends it with the collector.
#include <windows.h>
// after windows.h
#include <stdlib.h>
#include <strsafe.h>

#include "drawing_child.h"
#include "fax_document.h"
#include "job_road.h"
#include "product.h"
#include "scoped.h"
#include "spool_job.h"

namespace {

// Memory a child may commit: the page bitmap and the coded page take about
// 11 MB, the rest is GDI's and the fonts'.
const SIZE_T kChildMemory = 512 * 1024 * 1024;

wchar_t g_program[kPathUnits];  // empty: this program
DrawingLimits g_limits = {30 * 1000, 2000, 60 * 1000};

// A new job object that ends its processes when closed, and past the
// memory bound, and lets none of them start another; null if none.
HANDLE MakeChildJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  // MSDN: DIE_ON_UNHANDLED_EXCEPTION sets SEM_NOGPFAULTERRORBOX for each
  // process: a fault ends the child without an error box or a debugger.
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_PROCESS_MEMORY |
      JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION | JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
  limits.BasicLimitInformation.ActiveProcessLimit = 1;
  limits.ProcessMemoryLimit = kChildMemory;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

}  // namespace

bool DrawingProgramPath(wchar_t* path) {
  if (g_program[0]) return SUCCEEDED(StringCchCopyW(path, kPathUnits, g_program));
  DWORD n = GetModuleFileNameW(nullptr, path, kPathUnits);
  return n && n < kPathUnits;
}

bool StartChild(const wchar_t* program, wchar_t* command, const wchar_t* folder, bool inherit,
                HANDLE* job, HANDLE* process) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  // MSDN: before Windows 8 a process belongs to one job only; where the
  // collector already runs in one, the child leaves it if allowed, and is
  // otherwise watched without a job of its own (the time bound still holds).
  const DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW;
  *job = MakeChildJob();
  if (!CreateProcessW(program, command, nullptr, nullptr, inherit,
                      flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, folder, &si, &pi) &&
      !CreateProcessW(program, command, nullptr, nullptr, inherit, flags, nullptr, folder, &si,
                      &pi)) {
    if (*job) CloseHandle(*job);
    *job = nullptr;
    return false;
  }
  if (*job && !AssignProcessToJobObject(*job, pi.hProcess)) {
    CloseHandle(*job);
    *job = nullptr;
  }
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  *process = pi.hProcess;
  return true;
}

void EndChild(HANDLE job, HANDLE process) {
  if (job)
    TerminateJobObject(job, kChildFaulted);
  else
    TerminateProcess(process, kChildFaulted);
  WaitForSingleObject(process, INFINITE);
}

void SetDrawingChild(const wchar_t* program, const DrawingLimits* limits) {
  if (FAILED(StringCchCopyW(g_program, kPathUnits, program ? program : L""))) g_program[0] = 0;
  g_limits = limits ? *limits : DrawingLimits{30 * 1000, 2000, 60 * 1000};
  EndKeptChild();  // it runs the program it was started with
}

const DrawingLimits& CurrentDrawingLimits() { return g_limits; }

int RunChild(const wchar_t* arguments, const wchar_t* folder, DWORD timeoutMs, HANDLE stop,
             DWORD* exitCode) {
  wchar_t program[kPathUnits], command[2 * kPathUnits + 64];
  if (!DrawingProgramPath(program) ||
      FAILED(StringCchPrintfW(command, ARRAYSIZE(command), L"\"%s\" %s", program, arguments)))
    return kExtractFailed;
  HANDLE started = nullptr, child = nullptr;
  if (!StartChild(program, command, folder, false, &started, &child)) return kExtractFailed;
  ScopedHandle job(started), process(child);
  HANDLE waits[2] = {process.get(), stop};
  DWORD waited = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, timeoutMs);
  if (waited != WAIT_OBJECT_0) {
    // Stopped, or past its time: ended where it stands. Its files are
    // closed once it has ended, so the caller may remove them.
    EndChild(job.get(), process.get());
    return waited == WAIT_OBJECT_0 + 1 ? kExtractStopped : kExtractCannotDraw;
  }
  if (!GetExitCodeProcess(process.get(), exitCode)) return kExtractFailed;
  return kExtractOk;
}

// ---- the child's side -----------------------------------------------------------

namespace {

// The child's last act on a fault: ending itself. Nothing it holds is
// shared with the collector.
LONG WINAPI EndOnFault(EXCEPTION_POINTERS*) {
  TerminateProcess(GetCurrentProcess(), kChildFaulted);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void AsChild() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(EndOnFault);
}

namespace {

bool ReadWhole(const wchar_t* path, BYTE** data, DWORD* size, DWORD most) {
  ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER length = {};
  if (!file || !GetFileSizeEx(file.get(), &length) || length.QuadPart > most) return false;
  *size = static_cast<DWORD>(length.QuadPart);
  *data = static_cast<BYTE*>(malloc(*size ? *size : 1));
  DWORD got = 0;
  if (*data && ReadFile(file.get(), *data, *size, &got, nullptr) && got == *size) return true;
  free(*data);
  *data = nullptr;
  return false;
}

}  // namespace

int FaxCommand(int argc, wchar_t** argv) {
  AsChild();
  if (argc != 7) return static_cast<int>(kChildDone | kExtractUsage);
  const wchar_t* folder = argv[2];
  DWORD pages = wcstoul(argv[3], nullptr, 10), fonts = wcstoul(argv[5], nullptr, 10);
  // The collector has counted the fax pages already (and refused a job past
  // what a TIFF holds); the child does not read every page's header again.
  DWORD faxPages = wcstoul(argv[6], nullptr, 10);
  bool fine = lstrcmpiW(argv[4], L"Standard") != 0;
  // The TrueType fonts the job embeds, for this process only.
  for (DWORD font = 0; font < fonts; ++font) {
    wchar_t path[kPathUnits];
    BYTE* data = nullptr;
    DWORD size = 0, count = 0;
    if (SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\font%u.ttf", folder, font)) &&
        ReadWhole(path, &data, &size, kMaxFontBytes)) {
      AddFontMemResourceEx(data, size, nullptr, &count);
      free(data);
    }
  }
  return static_cast<int>(kChildDone |
                          FaxToExtract(WriteFaxDocument(folder, pages, faxPages, fine, nullptr)));
}

int DrawingResult(DWORD exitCode) {
  switch (int code = ChildResult(exitCode)) {
    case kExtractOk:
    case kExtractFailed:
    case kExtractCannotWrite:
    case kExtractTooLarge:
      return code;
  }
  return kExtractCannotDraw;
}

int DrawFaxInChild(const wchar_t* folder, DWORD pages, bool fine, DWORD fonts, DWORD faxPages,
                   HANDLE stop) {
  const DrawingLimits& limits = CurrentDrawingLimits();
  ULONGLONG ms = limits.baseMs + static_cast<ULONGLONG>(limits.pageMs) * faxPages;
  const DWORD timeoutMs = ms < INFINITE ? static_cast<DWORD>(ms) : INFINITE - 1;
  // Fonts a job loads stay in the process that loaded them: such a job
  // gets a child of its own.
  if (!fonts) {
    int code = DrawInKeptChild(folder, pages, fine, faxPages, timeoutMs, stop);
    if (code != kUseOwnChild) return code;
  }
  wchar_t arguments[kPathUnits + 64];
  if (FAILED(StringCchPrintfW(arguments, ARRAYSIZE(arguments), L"/fax \"%s%s\" %u %s %u %u", folder,
                              folder[lstrlenW(folder) - 1] == L'\\' ? L"." : L"", pages,
                              fine ? L"Fine" : L"Standard", fonts, faxPages)))
    return kExtractCannotWrite;
  DWORD exit = kExtractCannotDraw;
  int code = RunChild(arguments, folder, timeoutMs, stop, &exit);
  return code != kExtractOk ? code : DrawingResult(exit);
}

int ChildResult(DWORD exitCode) {
  return (exitCode & 0xFFFFFF00) == kChildDone ? static_cast<int>(exitCode & 0xFF)
                                               : kExtractCannotDraw;
}

namespace {

// fontsub.dll's merge, as Microsoft documents it (mingw's header lacks it).
typedef void*(__cdecl* AllocateProc)(size_t);
typedef void*(__cdecl* ReallocateProc)(void*, size_t);
typedef void(__cdecl* FreeProc)(void*);
extern "C" ULONG __cdecl MergeFontPackage(const unsigned char* mergeFont, const ULONG mergeFontSize,
                                          const unsigned char* package, const ULONG packageSize,
                                          unsigned char** dest, ULONG* destSize, ULONG* written,
                                          const unsigned short mode, AllocateProc allocate,
                                          ReallocateProc reallocate, FreeProc release,
                                          void* reserved);

bool ItemPath(const wchar_t* folder, const wchar_t* name, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\%s", folder, name));
}

int MergeFiles(int argc, wchar_t** argv);

}  // namespace

int MergeCommand(int argc, wchar_t** argv) {
  AsChild();
  return static_cast<int>(kChildDone | MergeFiles(argc, argv));
}

namespace {

int MergeFiles(int argc, wchar_t** argv) {
  if (argc != 4) return kExtractUsage;
  const wchar_t* folder = argv[2];
  unsigned short mode = static_cast<unsigned short>(wcstoul(argv[3], nullptr, 10));
  wchar_t path[kPathUnits];
  BYTE *font = nullptr, *package = nullptr;
  DWORD fontSize = 0, packageSize = 0;
  const DWORD most = kMaxFontBytes;
  if (!ItemPath(folder, L"merge.pkg", path) || !ReadWhole(path, &package, &packageSize, most))
    return kExtractFailed;
  // A delta is merged into the working font; a subset package stands alone.
  if (ItemPath(folder, L"merge.font", path) &&
      GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES &&
      !ReadWhole(path, &font, &fontSize, most))
    return kExtractFailed;
  unsigned char* out = nullptr;
  ULONG outSize = 0, written = 0;
  ULONG status = MergeFontPackage(font, fontSize, package, packageSize, &out, &outSize, &written,
                                  mode, malloc, realloc, free, nullptr);
  if (status || !out || !written || written > most || !ItemPath(folder, L"merge.ttf", path))
    return kExtractFailed;
  ScopedHandle file(
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD done = 0;
  return file && WriteFile(file.get(), out, written, &done, nullptr) && done == written
             ? kExtractOk
             : kExtractCannotWrite;
}

}  // namespace

int FaxToExtract(int result) {
  switch (result) {
    case kFaxOk:
      return kExtractOk;
    case kFaxCannotWrite:
      return kExtractCannotWrite;
    case kFaxCannotDraw:
      return kExtractCannotDraw;
    case kFaxStopped:
      return kExtractStopped;
    case kFaxTooLarge:
      return kExtractTooLarge;
  }
  return kExtractFailed;
}
