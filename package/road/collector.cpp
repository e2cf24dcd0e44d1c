// The collector of the user's kept jobs: every finished EMF job of this user,
// printed on this machine, is read through the spooler into a job folder
// (pages and ticket), handed to the converter, and only then deleted from the
// queue.
//
// The queue is the one safe copy of a job until the end: anything that fails
// leaves the job where it is, and it is tried again after a pause. The
// converter is started at most once for a job (see RunJobConverter), and
// everything the collector does or fails to do goes into its log.
#include "collector.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <strsafe.h>
#include <windows.h>
#include <winspool.h>

#include "collector_jobs.h"
#include "fax_desk.h"
#include "fax_document.h"
#include "fax_send.h"
#include "job_folder.h"
#include "job_road.h"
#include "product.h"
#include "registry.h"
#include "road_log.h"
#include "scoped.h"
#include "spool_job.h"

namespace {

// The longest file name the reader writes into a job folder: a page of the
// largest number a page can have.
const wchar_t kLongestItem[] = L"\\page4294967295.emf";

bool Stopped(HANDLE stop) { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }

bool ReadRoadSettings(Collector& c, RoadSettings* s) {
  s->converter[0] = L'\0';
  s->dest[0] = L'\0';
  wchar_t path[kPathUnits];
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  HKEY key = nullptr;
  // A missing key or value, or an overlong one, leaves the default.
  if (OpenKey(HKEY_LOCAL_MACHINE, path, KEY_READ, &key) == ERROR_SUCCESS) {
    ReadTextValue(key, L"ConverterPath", s->converter, kPathUnits * sizeof(wchar_t));
    ReadTextValue(key, L"JobDestDir", s->dest, kPathUnits * sizeof(wchar_t));
    RegCloseKey(key);
  }
  s->shared = s->dest[0] != L'\0';
  if (s->shared) {
    // A JobDestDir that a user could rename or swap would let that user
    // redirect everyone's pages: the user's own folder is used instead.
    DWORD error = 0;
    wchar_t owner[kPathUnits];
    FolderCheck check = CheckSharedDest(s->dest, &error, owner);
    if (check == kFolderOk) return true;
    if (c.destRefused != check) {
      wchar_t why[kReportUnits], text[kReportUnits];
      RefusalText(check, owner, why);
      StringCchPrintfW(text, kReportUnits,
                       L"The job folder JobDestDir %s is not used: %s; job folders go to the "
                       L"user's own folder instead",
                       s->dest, why);
      if (error)
        LogError(error, L"%s", text);
      else
        LogLine(L"%s.", text);
      c.destRefused = check;
    }
    s->shared = false;
  }
  wchar_t local[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local) != S_OK)
    return false;
  if (FAILED(StringCchPrintfW(s->dest, kPathUnits, L"%s\\%s", local, ORVL_PRODUCT_NAME)))
    return false;
  CreateDirectoryW(s->dest, nullptr);
  return SUCCEEDED(StringCchCatW(s->dest, kPathUnits, L"\\Jobs"));
}

// A folder of the job's way refused: the job stays queued and is tried
// again after a pause.
JobOutcome FolderRefused(Collector& c, const JobKey& key, const wchar_t* folder, FolderCheck check,
                         DWORD error, const wchar_t* owner) {
  wchar_t why[kReportUnits];
  RefusalText(check, owner, why);
  NoteFailure(c, key, kFailFolder, false, error,
              L"stays in the queue: the folder %s is not used: %s", folder, why);
  return kJobFailed;
}

JobOutcome CollectJob(Collector& c, HANDLE printer, const JobKey& key) {
  RoadSettings s;
  if (!ReadRoadSettings(c, &s)) {
    NoteFailure(c, key, kFailSettings, false, GetLastError(),
                L"the user's application data folder cannot be found");
    return kJobFailed;
  }
  wchar_t base[kPathUnits], owner[kPathUnits];
  DWORD error = 0;
  // Both folders are held open until the job is handled (and its converter
  // has ended), so that no one renames or swaps them meanwhile.
  HANDLE heldBase = nullptr;
  FolderCheck check =
      PrepareUserFolder(s.dest, s.shared, c.identity, base, &heldBase, &error, owner);
  ScopedHandle baseHandle(heldBase);
  if (check != kFolderOk) return FolderRefused(c, key, base, check, error, owner);
  const SYSTEMTIME& t = key.submitted;
  wchar_t folder[kPathUnits], claim[kPathUnits], ticket[kPathUnits];
  // Every page path must fit the converter's 260-unit buffer; checked before
  // anything is read, since the failure lasts.
  if (FAILED(StringCchPrintfW(folder, kPathUnits, L"%s\\Job%lu-%04u%02u%02u-%02u%02u%02u-%03u",
                              base, key.id, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                              t.wSecond, t.wMilliseconds)) ||
      lstrlenW(folder) + lstrlenW(kLongestItem) >= static_cast<int>(kPathUnits) ||
      FAILED(StringCchPrintfW(claim, kPathUnits, L"%s.claim", folder)) ||
      FAILED(StringCchPrintfW(ticket, kPathUnits, L"%s\\job.ini", folder))) {
    NoteFailure(c, key, kFailPathTooLong, true, 0,
                L"the job folder's page paths under %s would pass %u characters.", base,
                kPathUnits - 1);
    return kJobFailed;
  }

  // The claim: a file beside the job folder that only one process can hold
  // open. It goes away when closed, also when its holder is killed.
  ScopedHandle held(CreateFileW(claim, GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  // Refused while the file is there: another collector holds it, or is just
  // letting go of it (Windows refuses a file pending deletion as access denied).
  if (!held) {
    error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || GetFileAttributesW(claim) != INVALID_FILE_ATTRIBUTES)
      return kJobLeft;
    NoteFailure(c, key, kFailClaim, false, error, L"its claim %s cannot be made", claim);
    return kJobFailed;
  }
  if (!StillThere(printer, key, c.user)) return kJobLeft;

  // The job folder, made here or by an earlier try: it holds marks only if
  // it is the user's alone.
  HANDLE heldFolder = nullptr;
  check = HoldUserFolder(folder, c.identity, &heldFolder, &error, owner);
  ScopedHandle folderHandle(heldFolder);
  if (check != kFolderOk) return FolderRefused(c, key, folder, check, error, owner);
  // Held by an earlier collector that could not remove its Started mark:
  // left as it is until the mark is gone (the administrator's step).
  if (IsHeld(folder)) {
    if (!ReleaseHold(ticket)) {
      GiveUp(c, key,
             L"an earlier collector could not remove the Started mark from its ticket, "
             L"and it is held until that mark is gone; its folder stays as it is.");
      return kJobLeft;
    }
    LogLine(L"Job %lu: its ticket no longer has the Started mark; the hold on it is released.",
            key.id);
  }
  Marks marks = ReadMarks(ticket);
  if (marks.started && marks.exited && !marks.done) {
    GiveUp(c, key, L"its converter broke off in an earlier run; its folder stays as it is.");
    return kJobLeft;
  }
  if (marks.started && !marks.done) {
    LogLine(
        L"Job %lu: its converter was started before and its end was not seen; it is not "
        L"started again, and the folder %s stays as it is.",
        key.id, folder);
    if (c.faxDesk) OfferFax(folder);
    if (!Mark(ticket, L"Done", L"1")) return MarkFailed(c, key, ticket);
  } else if (!marks.done) {
    ClearEarlierTry(folder, ticket);
    int extracted = ExtractJob(key.id, folder, c.stop, &error);
    if (extracted != kExtractOk) {
      // The reader has removed what it wrote and left no ticket; the folder
      // goes too when nothing else is in it.
      folderHandle.reset();
      RemoveDirectoryW(folder);
      if (extracted == kExtractStopped) return kJobStopped;
      bool lasting = extracted == kExtractNotEmfSpool || extracted == kExtractDamaged ||
                     extracted == kExtractCannotDraw || extracted == kExtractTooLarge;
      NoteFailure(c, key, static_cast<Failure>(extracted), lasting, error, L"%s",
                  ExtractText(extracted));
      return kJobFailed;
    }
    LogLine(L"Job %lu of %s: %u pages into %s.", key.id, c.user,
            GetPrivateProfileIntW(L"EMF", L"Count", 0, ticket), folder);
    UINT leftOut = GetPrivateProfileIntW(L"Fonts", L"LeftOut", 0, ticket);
    if (leftOut) {
      wchar_t bytes[24] = {};
      GetPrivateProfileStringW(L"Fonts", L"LeftOutBytes", L"", bytes, ARRAYSIZE(bytes), ticket);
      LogLine(
          L"Job %lu: %u embedded fonts (%s bytes) left out: a job keeps at most %u fonts of up "
          L"to %u MB, %u MB in all; its pages draw them with substitutes.",
          key.id, leftOut, bytes, kMaxFonts, kMaxFontBytes >> 20, kMaxJobFontBytes >> 20);
    }
    UINT split = GetPrivateProfileIntW(L"Fax", L"Split", 0, ticket);
    if (split)
      LogLine(
          L"Job %lu: pages longer than %d inches continue on the next fax pages: %u of them, "
          L"%u fax pages in all.",
          key.id, kFaxLongestInches, split, GetPrivateProfileIntW(L"Fax", L"Pages", 0, ticket));
    if (Stopped(c.stop)) return kJobStopped;  // a whole folder; the job stays
    if (s.converter[0]) {
      JobOutcome converted = RunJobConverter(c, key, s, ticket);
      if (converted != kJobDone) return converted;
    } else {
      LogLine(L"Job %lu: no converter is set (ConverterPath); the folder stays as it is.", key.id);
    }
    // With a fax server set, the desk asks the user for the recipient. The
    // offer is on the disk (State=Asking) before the job counts as done, so a
    // collector stopped in between offers it again when it starts.
    if (c.faxDesk) OfferFax(folder);
    if (!Mark(ticket, L"Done", L"1")) return MarkFailed(c, key, ticket);
  }
  // Without a converter the folder and its ticket stay for the administrator;
  // the job is deleted all the same, since its pages are on disk. Ids are
  // reused after a spooler restart, and a converter may run long: the job
  // must still be this one.
  if (!StillThere(printer, key, c.user)) return kJobLeft;
  if (!SetJobW(printer, key.id, 0, nullptr, JOB_CONTROL_DELETE)) {
    NoteFailure(c, key, kFailDelete, false, GetLastError(), L"it cannot be deleted from the queue");
    return kJobFailed;
  }
  LogLine(L"Job %lu: done, deleted from the queue.", key.id);
  return kJobDone;
}

// The printer keeps every printed job; one whose data is no EMF spool file
// (RAW, TEXT) can never become pages, and kept, it would fill the spool
// folder. The user's own goes, said in the log; identity checked again first.
void RemoveUnreadableJob(Collector& c, HANDLE printer, const JobKey& key, const wchar_t* type) {
  if (!StillThere(printer, key, c.user)) return;
  if (!SetJobW(printer, key.id, 0, nullptr, JOB_CONTROL_DELETE)) {
    NoteFailure(c, key, kFailDelete, false, GetLastError(), L"it cannot be deleted from the queue");
    return;
  }
  LogLine(L"Job %lu of %s: its data (%s) is no EMF spool file of pages; deleted from the queue.",
          key.id, c.user, type ? type : L"");
}

// One pass over the queue. False once stopped.
bool CollectJobs(Collector& c, HANDLE printer, bool* listed) {
  DWORD count = 0;
  BYTE* buffer = ListJobs(printer, &count);
  *listed = buffer != nullptr;
  if (!buffer) return true;
  const JOB_INFO_1W* jobs = reinterpret_cast<const JOB_INFO_1W*>(buffer);
  bool running = true;
  for (DWORD i = 0; i < count && running; ++i) {
    running = !Stopped(c.stop);
    const JOB_INFO_1W& job = jobs[i];
    JobKey key = {job.JobId, job.Submitted};
    if (!running || !IsFinished(job.Status) || !IsOwnJob(c, job) || Resting(c, key)) continue;
    if (!IsEmf(job.pDatatype)) {
      RemoveUnreadableJob(c, printer, key, job.pDatatype);
      continue;
    }
    switch (CollectJob(c, printer, key)) {
      case kJobDone:
        Forget(c, key);
        break;
      case kJobStopped:
        running = false;
        break;
      case kJobFailed:  // noted where it failed
      case kJobLeft:
        break;
    }
  }
  HeapFree(GetProcessHeap(), 0, buffer);
  return running;
}

// The mutex that keeps one collector per session of the user. Named in the
// session's namespace with the session id and the user's SID, and made for
// the user alone: on Windows XP x64 and Server 2003 without Terminal
// Services every session's Local\ namespace is the global one, so a name
// without them could be taken by another session's user. One that another
// account made first is no reason to stop: the claims keep two collectors
// off one job; it is logged.
enum MutexResult { kMutexOurs, kMutexRunning, kMutexSquatted, kMutexFailed };

MutexResult TakeInstanceMutex(const Identity& id, DWORD session, ScopedHandle* held) {
  wchar_t name[kPathUnits], sddl[3 * kPathUnits];
  StringCchPrintfW(name, kPathUnits, L"Local\\%s_%lu_%s", ORVL_COLLECTOR_MUTEX, session,
                   id.userSid);
  StringCchPrintfW(sddl, ARRAYSIZE(sddl), L"O:%sD:P(A;;GA;;;%s)(A;;GA;;;SY)", id.userSid,
                   id.userSid);
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                            &sa.lpSecurityDescriptor, nullptr))
    return kMutexFailed;
  held->reset(CreateMutexW(&sa, FALSE, name));
  DWORD error = GetLastError();
  LocalFree(sa.lpSecurityDescriptor);
  if (!*held) {
    if (error != ERROR_ACCESS_DENIED) return SetLastError(error), kMutexFailed;
    LogLine(
        L"The collector's mutex %s is held by another account; this collector runs without "
        L"it.",
        name);
    return kMutexSquatted;
  }
  if (error != ERROR_ALREADY_EXISTS) return kMutexOurs;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  bool ours = GetSecurityInfo(held->get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &sd) == ERROR_SUCCESS &&
              owner && EqualSid(owner, const_cast<BYTE*>(id.user));
  LocalFree(sd);
  if (ours) return kMutexRunning;
  held->reset();
  LogLine(L"The collector's mutex %s belongs to another account; this collector runs without it.",
          name);
  return kMutexSquatted;
}

}  // namespace

int RunCollector(HANDLE stop) {
  Collector* c =
      static_cast<Collector*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Collector)));
  if (!c) return kCollectorFailed;
  c->stop = stop;
  DWORD units = kUserUnits;
  if (!GetUserNameW(c->user, &units) || !ReadIdentity(&c->identity) || !ReadComputerNames(*c)) {
    LogError(GetLastError(), L"The collector cannot start: the user or the computer is unknown");
    HeapFree(GetProcessHeap(), 0, c);
    return kCollectorFailed;
  }
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  ScopedHandle instance;
  switch (TakeInstanceMutex(c->identity, session, &instance)) {
    case kMutexFailed:
      LogError(GetLastError(), L"The collector cannot start: its mutex cannot be made");
      HeapFree(GetProcessHeap(), 0, c);
      return kCollectorFailed;
    case kMutexRunning:
      HeapFree(GetProcessHeap(), 0, c);
      return kCollectorAlreadyRunning;
    case kMutexOurs:
    case kMutexSquatted:
      break;
  }
  LogLine(L"Collector started: user %s (%s), computer %s, session %lu.", c->user,
          c->identity.userSid, c->computer[0], session);

  // With no FaxServer the road ends at fax.tif, as it always did.
  wchar_t server[kPathUnits];
  if (ReadFaxServer(server)) {
    RoadSettings s;
    wchar_t base[kPathUnits] = {}, owner[kPathUnits];
    DWORD error = 0;
    HANDLE held = nullptr;
    if (!ReadRoadSettings(*c, &s) ||
        PrepareUserFolder(s.dest, s.shared, c->identity, base, &held, &error, owner) != kFolderOk)
      base[0] = L'\0';
    if (held) CloseHandle(held);
    c->faxDesk = StartFaxDesk(stop, base, kFaxStatusPollMs);
    if (c->faxDesk)
      LogLine(L"Fax server %s: each fax document goes to it once the user names the recipient.",
              server);
    else
      LogError(GetLastError(), L"The fax desk cannot start; fax documents stay in their folders");
  }

  KeepDrawingChild(true);
  HANDLE printer = nullptr;
  HANDLE change = INVALID_HANDLE_VALUE;
  while (!Stopped(stop)) {
    if (!printer && OpenPrinterW(const_cast<wchar_t*>(ORVL_PRODUCT_NAME), &printer, nullptr))
      change = FindFirstPrinterChangeNotification(printer, PRINTER_CHANGE_JOB, 0, nullptr);
    if (printer) {
      bool listed = false;
      if (!CollectJobs(*c, printer, &listed)) break;
      // A printer handle that no longer lists (the printer was removed and
      // set up again, say) is opened afresh on the next round.
      if (!listed) {
        if (change != INVALID_HANDLE_VALUE) FindClosePrinterChangeNotification(change);
        change = INVALID_HANDLE_VALUE;
        ClosePrinter(printer);
        printer = nullptr;
      }
    }
    // The notification brings a new job at once; the poll covers a spooler
    // that gives no notification, and the jobs whose pause has run out.
    HANDLE waits[2] = {stop, change};
    bool notified = change != INVALID_HANDLE_VALUE;
    DWORD woke = WaitForMultipleObjects(notified ? 2 : 1, waits, FALSE,
                                        notified ? kCollectorNotifiedPollMs : kCollectorPollMs);
    if (woke == WAIT_FAILED && change != INVALID_HANDLE_VALUE) {
      // A notification that cannot be waited on: the poll alone, no spinning.
      FindClosePrinterChangeNotification(change);
      change = INVALID_HANDLE_VALUE;
    } else if (woke == WAIT_OBJECT_0 + 1) {
      DWORD what = 0;
      if (!FindNextPrinterChangeNotification(change, &what, nullptr, nullptr)) {
        FindClosePrinterChangeNotification(change);
        change = INVALID_HANDLE_VALUE;
      }
    }
  }
  if (change != INVALID_HANDLE_VALUE) FindClosePrinterChangeNotification(change);
  if (printer) ClosePrinter(printer);
  if (c->faxDesk) EndFaxDesk();
  KeepDrawingChild(false);
  HeapFree(GetProcessHeap(), 0, c);
  LogLine(L"Collector stopped.");
  return kCollectorStopped;
}
