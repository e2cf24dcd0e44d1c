// The crash guard: work on a thread of its own, watched by a vectored
// exception handler.
#include "fax_guard.h"

namespace {

const DWORD kDrawCrashed = 0xFA1;  // exit code of a drawing thread that faulted

volatile DWORD g_guardedThread = 0;
PVOID g_handler = nullptr;
CRITICAL_SECTION g_guardLock;
volatile LONG g_guardInit = 0;

void EndFaultedThread() { ExitThread(kDrawCrashed); }

// A fault on the guarded thread resumes that thread in EndFaultedThread: its
// stack is abandoned, the process goes on. Other threads' faults go on to
// whatever handles them.
LONG CALLBACK OnFault(EXCEPTION_POINTERS* info) {
  DWORD code = info->ExceptionRecord->ExceptionCode;
  if (!(code & 0x80000000) || GetCurrentThreadId() != g_guardedThread)
    return EXCEPTION_CONTINUE_SEARCH;
  g_guardedThread = 0;
  CONTEXT* c = info->ContextRecord;
#ifdef _WIN64
  c->Rsp = (c->Rsp & ~DWORD64(15)) - 8;  // as if called: 16-byte alignment after the return address
  c->Rip = reinterpret_cast<DWORD64>(&EndFaultedThread);
#else
  c->Esp = (c->Esp & ~DWORD(15)) - 4;
  c->Eip = reinterpret_cast<DWORD>(&EndFaultedThread);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

struct GuardedCall {
  DWORD (*work)(void*);
  void* context;
};

DWORD WINAPI GuardedThread(void* param) {
  GuardedCall* call = static_cast<GuardedCall*>(param);
  g_guardedThread = GetCurrentThreadId();
  DWORD result = call->work(call->context);
  g_guardedThread = 0;
  return result;
}

}  // namespace

bool RunGuarded(DWORD (*work)(void* context), void* context, DWORD* result, DWORD timeoutMs) {
  if (InterlockedCompareExchange(&g_guardInit, 1, 0) == 0) {
    InitializeCriticalSection(&g_guardLock);
    g_guardInit = 2;
  }
  while (g_guardInit != 2) Sleep(0);
  // One guarded thread at a time: the handler knows it by its id.
  EnterCriticalSection(&g_guardLock);
  if (!g_handler) g_handler = AddVectoredExceptionHandler(1, OnFault);
  GuardedCall call = {work, context};
  HANDLE thread = g_handler ? CreateThread(nullptr, 0, GuardedThread, &call, 0, nullptr) : nullptr;
  bool done = false;
  if (thread) {
    // Work that keeps GDI busy far beyond its time is given up: a collector
    // must not hang.
    if (WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0) {
      TerminateThread(thread, kDrawCrashed);
      WaitForSingleObject(thread, INFINITE);
    }
    DWORD code = kDrawCrashed;
    done = GetExitCodeThread(thread, &code) && code != kDrawCrashed;
    if (result) *result = code;
    CloseHandle(thread);
  }
  g_guardedThread = 0;
  LeaveCriticalSection(&g_guardLock);
  return done;
}
