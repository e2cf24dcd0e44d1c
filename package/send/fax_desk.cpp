#include "fax_desk.h"

#include <strsafe.h>

#include "fax_send.h"
#include "job_folder.h"
#include "recipient_dialog.h"
#include "road_log.h"
#include "scoped.h"
#include "send_ticket.h"

namespace {

enum : unsigned { kOfferSlots = 32, kWatchSlots = 64 };

struct Watched {
  bool used;
  unsigned jobId;
  wchar_t folder[kPathUnits];
  wchar_t server[kPathUnits];
  wchar_t number[kPathUnits];
};

struct Desk {
  HANDLE stop;
  HANDLE work;  // auto-reset: an offer is waiting
  HANDLE thread;
  CRITICAL_SECTION lock;
  wchar_t offers[kOfferSlots][kPathUnits];
  unsigned first, count;
  Watched watched[kWatchSlots];
  wchar_t base[kPathUnits];
  wchar_t user[kPathUnits];
  wchar_t password[kPathUnits];  // typed in this session, or remembered
  DWORD pollMs;
  volatile LONG rounds;
  Identity identity;
};

Desk* desk;

// A job folder and the folder that holds it, opened without share-delete and
// checked through the handles as the collector checks them, held while the
// desk reads the ticket and fax.tif and writes the ticket: the collector lets
// go of them once the job is handled, so they are taken again here, and
// nothing under them can be renamed or swapped until the desk is done.
struct HeldFolders {
  ScopedHandle parent, job;
};

bool HoldFolders(const wchar_t* folder, HeldFolders* held) {
  wchar_t parent[kPathUnits], owner[kPathUnits] = {};
  wchar_t* last = nullptr;
  if (SUCCEEDED(StringCchCopyW(parent, kPathUnits, folder))) last = wcsrchr(parent, L'\\');
  if (!last) return false;
  *last = L'\0';
  const wchar_t* paths[] = {parent, folder};
  ScopedHandle* handles[] = {&held->parent, &held->job};
  for (int i = 0; i < 2; ++i) {
    HANDLE handle = nullptr;
    DWORD error = 0;
    FolderCheck check = HoldFolder(paths[i], desk->identity, &handle, &error, owner);
    handles[i]->reset(handle);
    if (check == kFolderOk) continue;
    wchar_t why[kReportUnits];
    RefusalText(check, owner, why);
    if (error)
      LogError(error, L"Fax %s\\fax.tif: not handled: the folder %s is not used: %s", folder,
               paths[i], why);
    else
      LogLine(L"Fax %s\\fax.tif: not handled: the folder %s is not used: %s.", folder, paths[i],
              why);
    return false;
  }
  return true;
}

struct Notice {
  wchar_t text[kReportUnits];
};

DWORD WINAPI ShowNotice(void* param) {
  Notice* n = static_cast<Notice*>(param);
  MessageBoxW(nullptr, n->text, ORVL_FAX_CAPTION, MB_OK | MB_ICONINFORMATION | MB_TOPMOST);
  HeapFree(GetProcessHeap(), 0, n);
  return 0;
}

// A short notice to the user that does not hold up the desk.
void Tell(const wchar_t* format, ...) {
  Notice* n = static_cast<Notice*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Notice)));
  if (!n) return;
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(n->text, kReportUnits, format, args);
  va_end(args);
  HANDLE thread = CreateThread(nullptr, 0, ShowNotice, n, 0, nullptr);
  if (thread)
    CloseHandle(thread);
  else
    HeapFree(GetProcessHeap(), 0, n);
}

void Watch(const wchar_t* folder, const SendTicket& t, unsigned jobId, const wchar_t* number) {
  for (const Watched& w : desk->watched)
    if (w.used && lstrcmpiW(w.folder, folder) == 0) return;
  for (Watched& w : desk->watched) {
    if (w.used) continue;
    w.used = true;
    w.jobId = jobId;
    StringCchCopyW(w.folder, kPathUnits, folder);
    StringCchCopyW(w.server, kPathUnits, t.server);
    StringCchCopyW(w.number, kPathUnits, number);
    return;
  }
}

// One offered job folder: the dialog, or the end of a send that was under way.
void Serve(const wchar_t* folder) {
  HeldFolders held;
  if (!HoldFolders(folder, &held)) return;  // still Asking: offered again by a later collector
  Recipient* r = static_cast<Recipient*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *r));
  if (!r) return;
  r->folder = folder;
  if (!ReadSendTicket(folder, &r->ticket) || !ReadFaxServer(r->server)) {
    HeapFree(GetProcessHeap(), 0, r);
    return;
  }
  if (r->ticket.jobId) {
    Watch(folder, r->ticket, r->ticket.jobId, r->ticket.number);
    HeapFree(GetProcessHeap(), 0, r);
    return;
  }
  // Offered twice (by a collector started again, say) and answered since:
  // the user's answer stands.
  const wchar_t* state = r->ticket.state;
  if (state[0] && lstrcmpiW(state, L"Asking") && lstrcmpiW(state, L"Submitting") &&
      lstrcmpiW(state, L"Refused")) {
    HeapFree(GetProcessHeap(), 0, r);
    return;
  }
  // Under way when the last collector stopped: the server is asked first.
  if (lstrcmpiW(r->ticket.state, L"Submitting") == 0 && r->ticket.number[0]) {
    const wchar_t* server = r->ticket.server[0] ? r->ticket.server : r->server;
    SendRequest request = {folder,
                           r->ticket.number,
                           r->ticket.name,
                           L"",
                           server,
                           desk->user,
                           desk->password[0] ? desk->password : nullptr};
    SendOutcome outcome;
    SendFax(request, &outcome);
    if (outcome.result == kSendOk || outcome.result == kSendAlreadySent) {
      LogLine(L"Fax %s\\fax.tif to %s: %s.", folder, r->ticket.number, outcome.reply);
      ReadSendTicket(folder, &r->ticket);
      Watch(folder, r->ticket, outcome.jobId, r->ticket.number);
      HeapFree(GetProcessHeap(), 0, r);
      return;
    }
  }
  r->account = {desk->stop, desk->user, desk->password};
  INT_PTR chosen = AskRecipient(r);
  if (chosen == IDOK) {
    LogLine(L"Fax %s\\fax.tif to %s sent to %s: the server has it as job %u.", folder, r->number,
            r->server, r->jobId);
    Tell(L"Your fax to %s is with the fax server (job %u).", r->number, r->jobId);
    ReadSendTicket(folder, &r->ticket);
    Watch(folder, r->ticket, r->jobId, r->number);
  } else if (chosen == IDCANCEL) {
    MarkSendTicket(r->ticket, L"State", L"Cancelled");
    LogLine(L"Fax %s\\fax.tif: cancelled by the user; the document stays.", folder);
  } else if (chosen == -1) {
    LogError(GetLastError(), L"Fax %s\\fax.tif: the recipient dialog cannot be shown", folder);
  }
  HeapFree(GetProcessHeap(), 0, r);
}

// One round of questions about the submitted jobs; a job done or failed for
// good is told once and no longer asked about.
void AskRound() {
  for (Watched& w : desk->watched) {
    if (!w.used) continue;
    JobStatus status;
    AskJobStatus(w.server, desk->user, desk->password[0] ? desk->password : nullptr, w.jobId,
                 &status);
    if (status.result != kSendOk) continue;  // asked again next round
    HeldFolders held;
    SendTicket t;
    if (!HoldFolders(w.folder, &held)) {
      w.used = false;  // logged; a later collector asks again
      continue;
    }
    if (!ReadSendTicket(w.folder, &t)) continue;
    if (status.found && status.state == L'D') {
      MarkSendTicket(t, L"State", L"Done");
      LogLine(L"Fax job %u to %s (%s): sent.", w.jobId, w.number, w.folder);
      Tell(L"Your fax to %s has been sent (job %u).", w.number, w.jobId);
    } else if (!status.found || status.state == L'F') {
      const wchar_t* reason = !status.found      ? L"the server no longer has the job"
                              : status.reason[0] ? status.reason
                                                 : L"the server gave no reason";
      MarkSendTicket(t, L"State", L"Failed");
      MarkSendTicket(t, L"Reply", reason);
      LogLine(L"Fax job %u to %s (%s): failed: %s; the document stays.", w.jobId, w.number,
              w.folder, reason);
      Tell(L"Your fax to %s was not sent (job %u): %s.", w.number, w.jobId, reason);
    } else {
      continue;
    }
    w.used = false;
  }
  InterlockedIncrement(&desk->rounds);
}

// The user's job folders that the last collector left with a send unfinished.
void Resume() {
  if (!desk->base[0]) return;
  wchar_t pattern[kPathUnits];
  if (FAILED(StringCchPrintfW(pattern, kPathUnits, L"%s\\Job*", desk->base))) return;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    wchar_t folder[kPathUnits];
    SendTicket t;
    if (FAILED(StringCchPrintfW(folder, kPathUnits, L"%s\\%s", desk->base, found.cFileName)) ||
        !ReadSendTicket(folder, &t))
      continue;
    if (t.jobId && lstrcmpiW(t.state, L"Submitted") == 0)
      Watch(folder, t, t.jobId, t.number);
    else if (!t.jobId &&
             (lstrcmpiW(t.state, L"Asking") == 0 || lstrcmpiW(t.state, L"Submitting") == 0 ||
              lstrcmpiW(t.state, L"Refused") == 0))
      OfferFax(folder);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

bool TakeOffer(wchar_t* folder) {
  EnterCriticalSection(&desk->lock);
  bool taken = desk->count > 0;
  if (taken) {
    StringCchCopyW(folder, kPathUnits, desk->offers[desk->first]);
    desk->first = (desk->first + 1) % kOfferSlots;
    --desk->count;
  }
  LeaveCriticalSection(&desk->lock);
  return taken;
}

DWORD WINAPI RunDesk(void*) {
  ReadFaxUser(desk->user);
  ReadFaxPassword(desk->password, kPathUnits);
  Resume();
  DWORD due = GetTickCount() + desk->pollMs;
  for (;;) {
    wchar_t folder[kPathUnits];
    while (WaitForSingleObject(desk->stop, 0) != WAIT_OBJECT_0 && TakeOffer(folder)) Serve(folder);
    DWORD now = GetTickCount();
    if (static_cast<LONG>(now - due) >= 0) {
      AskRound();
      due = GetTickCount() + desk->pollMs;
      continue;
    }
    HANDLE waits[2] = {desk->stop, desk->work};
    if (WaitForMultipleObjects(2, waits, FALSE, due - now) == WAIT_OBJECT_0) break;
  }
  SecureZeroMemory(desk->password, sizeof desk->password);
  return 0;
}

}  // namespace

bool StartFaxDesk(HANDLE stop, const wchar_t* base, DWORD pollMs) {
  desk = static_cast<Desk*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Desk)));
  if (!desk) return false;
  if (!ReadIdentity(&desk->identity)) return false;
  desk->stop = stop;
  desk->pollMs = pollMs;
  StringCchCopyW(desk->base, kPathUnits, base ? base : L"");
  InitializeCriticalSection(&desk->lock);
  desk->work = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  desk->thread = desk->work ? CreateThread(nullptr, 0, RunDesk, nullptr, 0, nullptr) : nullptr;
  return desk->thread != nullptr;
}

void EndFaxDesk() {
  if (!desk || !desk->thread) return;
  WaitForSingleObject(desk->thread, INFINITE);
  CloseHandle(desk->thread);
  desk->thread = nullptr;
}

void OfferFax(const wchar_t* folder) {
  if (!desk || !desk->thread) return;
  SendTicket t;
  if (!ReadSendTicket(folder, &t)) return;
  if (!t.state[0]) MarkSendTicket(t, L"State", L"Asking");
  EnterCriticalSection(&desk->lock);
  if (desk->count < kOfferSlots) {
    StringCchCopyW(desk->offers[(desk->first + desk->count) % kOfferSlots], kPathUnits, folder);
    ++desk->count;
  }
  LeaveCriticalSection(&desk->lock);
  SetEvent(desk->work);
}

LONG FaxDeskRounds() { return desk ? desk->rounds : 0; }
