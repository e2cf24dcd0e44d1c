// The drawing child kept for a collector's session. Under Wine 8 starting a
// child that loads GDI (which loads user32 and reads the font list) takes
// 40 to 60 ms, as long as drawing 50 text pages, and a fresh child draws
// its first pages with cold font caches. The collector therefore keeps one
// drawing child and hands it each job as an order: a small section shared
// with it holds the order, one event says an order is out, another that it
// is done.
//
// What a child of its own gives is kept. The kept child is orvlui2.exe
// "/draw" in the same job object (memory bound, ended with the collector),
// draws one job at a time, sees only the four handles it inherits (the
// section, the two events, a wait-only handle to the collector's process),
// and is ended past a job's time, on a stop, when it faults or fails, after
// kJobsPerChild jobs (so that what it leaks or fragments stays bounded) and
// when the collector stops. Its working folder is the system folder, so it
// holds no job folder between jobs. A job that embeds fonts gets a child of
// its own (drawing_child.cpp): fonts stay in the process that loaded them.
#include <windows.h>
// after windows.h
#include <stdlib.h>
#include <strsafe.h>

#include "drawing_child.h"
#include "fax_document.h"
#include "job_road.h"
#include "product.h"
#include "scoped.h"

namespace {

enum : LONG { kOrderIdle, kOrderOut };

struct DrawOrder {
  volatile LONG state;  // kOrderOut from the order until its result is in
  DWORD pages, faxPages;
  BOOL fine;
  DWORD result;  // the child's exit code for the job: kChildDone | ExtractResult
  wchar_t folder[kPathUnits];
};

const DWORD kJobsPerChild = 64;

struct Kept {
  HANDLE job, process, section, order, done;
  DrawOrder* view;
  DWORD jobs;
};
Kept g_kept;
bool g_keep;
// One caller at a time; another (none today) gets a child of its own.
volatile LONG g_busy;

bool TakeKept(bool wait) {
  while (InterlockedCompareExchange(&g_busy, 1, 0) != 0) {
    if (!wait) return false;
    Sleep(1);
  }
  return true;
}

void LeaveKept() { InterlockedExchange(&g_busy, 0); }

void EndKept() {
  Kept& k = g_kept;
  if (k.process) {
    // Between jobs it holds nothing: ended where it stands, and waited for,
    // so that no child outlives the collector's files.
    EndChild(k.job, k.process);
  }
  if (k.view) UnmapViewOfFile(k.view);
  const HANDLE held[] = {k.job, k.process, k.section, k.order, k.done};
  for (HANDLE h : held)
    if (h) CloseHandle(h);
  k = Kept();
}

// The section and the events have no name and the user's default DACL: no
// other account can open them, nor take them from the collector without
// PROCESS_DUP_HANDLE on it. Every other handle of the collector is made not
// inheritable (the default), and no other process it starts inherits
// handles: the child gets these inheritable copies only, which live just
// across CreateProcess, each with the least access it needs.
bool StartKept() {
  Kept& k = g_kept;
  wchar_t program[kPathUnits], system[MAX_PATH], command[kPathUnits + 128];
  UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (!DrawingProgramPath(program) || !n || n >= MAX_PATH) return false;
  k.section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                 sizeof(DrawOrder), nullptr);
  k.order = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  k.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!k.section || !k.order || !k.done) return false;
  k.view = static_cast<DrawOrder*>(MapViewOfFile(k.section, FILE_MAP_WRITE, 0, 0, 0));
  if (!k.view) return false;
  k.view->state = kOrderIdle;
  HANDLE self = GetCurrentProcess();
  const HANDLE mine[4] = {k.section, k.order, k.done, self};
  const DWORD rights[4] = {FILE_MAP_READ | FILE_MAP_WRITE, SYNCHRONIZE, EVENT_MODIFY_STATE,
                           SYNCHRONIZE};
  HANDLE passed[4] = {};
  bool ok = true;
  for (int i = 0; i < 4 && ok; ++i)
    ok = DuplicateHandle(self, mine[i], self, &passed[i], rights[i], TRUE, 0) != FALSE;
  // MSDN: 64-bit Windows keeps handles to 32 significant bits, so that
  // they may be truncated and sign-extended again.
  ok =
      ok && SUCCEEDED(StringCchPrintfW(command, ARRAYSIZE(command), L"\"%s\" /draw %lu %lu %lu %lu",
                                       program, HandleToULong(passed[0]), HandleToULong(passed[1]),
                                       HandleToULong(passed[2]), HandleToULong(passed[3])));
  ok = ok && StartChild(program, command, system, true, &k.job, &k.process);
  for (HANDLE h : passed)
    if (h) CloseHandle(h);
  return ok;
}

}  // namespace

void EndKeptChild() {
  TakeKept(true);
  EndKept();
  LeaveKept();
}

void KeepDrawingChild(bool keep) {
  TakeKept(true);
  g_keep = keep;
  if (!keep) EndKept();
  LeaveKept();
}

int DrawInKeptChild(const wchar_t* folder, DWORD pages, bool fine, DWORD faxPages, DWORD timeoutMs,
                    HANDLE stop) {
  if (!TakeKept(false)) return kUseOwnChild;
  Kept& k = g_kept;
  int code = kUseOwnChild;
  if (g_keep) {
    // A child that has ended (by a fault between jobs, say) or has drawn
    // its share is replaced.
    if (k.process && (k.jobs >= kJobsPerChild || WaitForSingleObject(k.process, 0) != WAIT_TIMEOUT))
      EndKept();
    if (!k.process && !StartKept()) EndKept();
  }
  if (g_keep && k.process) {
    DrawOrder& o = *k.view;
    if (FAILED(StringCchCopyW(o.folder, kPathUnits, folder))) {
      LeaveKept();
      return kExtractCannotWrite;
    }
    o.pages = pages;
    o.faxPages = faxPages;
    o.fine = fine;
    o.result = 0;
    InterlockedExchange(&o.state, kOrderOut);
    ++k.jobs;
    SetEvent(k.order);
    HANDLE waits[3] = {k.done, k.process, stop};
    DWORD waited = WaitForMultipleObjects(stop ? 3 : 2, waits, FALSE, timeoutMs);
    if (waited == WAIT_OBJECT_0 && o.state == kOrderIdle) {
      code = DrawingResult(o.result);
      // A child that failed may hold something broken: the next job gets
      // a new one.
      if (code != kExtractOk) EndKept();
    } else {
      // Faulted, past its time or stopped: ended where it stands. Its files
      // are closed once it has ended, so the caller may remove them.
      EndKept();
      code = waited == WAIT_OBJECT_0 + 2 ? kExtractStopped : kExtractCannotDraw;
    }
  }
  LeaveKept();
  return code;
}

int DrawCommand(int argc, wchar_t** argv) {
  AsChild();
  if (argc != 6) return static_cast<int>(kChildDone | kExtractUsage);
  HANDLE h[4];
  for (int i = 0; i < 4; ++i)
    h[i] = LongToHandle(static_cast<LONG>(wcstoul(argv[2 + i], nullptr, 10)));
  DrawOrder* o = static_cast<DrawOrder*>(MapViewOfFile(h[0], FILE_MAP_WRITE, 0, 0, 0));
  if (!o) return static_cast<int>(kChildDone | kExtractFailed);
  // An order, or the collector gone (then the child goes too).
  HANDLE waits[2] = {h[1], h[3]};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
    if (o->state != kOrderOut) continue;
    wchar_t folder[kPathUnits];
    CopyMemory(folder, o->folder, sizeof(folder));
    folder[kPathUnits - 1] = L'\0';
    int result =
        FaxToExtract(WriteFaxDocument(folder, o->pages, o->faxPages, o->fine != FALSE, nullptr));
    o->result = kChildDone | static_cast<DWORD>(result);
    InterlockedExchange(&o->state, kOrderIdle);
    SetEvent(h[2]);
  }
  return static_cast<int>(kChildDone | kExtractOk);
}
