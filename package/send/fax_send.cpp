// clang-format off
#include "hylafax_client.h"  // Winsock first
// clang-format on
#include "fax_send.h"

#include <strsafe.h>

#include "road_log.h"
#include "send_ticket.h"

namespace {

// How long the server may keep trying, as DDHHMM.
const char kJobLifetime[] = "010000";

// Text for a quoted protocol parameter: UTF-8, without quotes or control characters.
void Quoted(const wchar_t* text, char* out, int units) {
  wchar_t clean[kPathUnits];
  StringCchCopyW(clean, kPathUnits, text ? text : L"");
  for (wchar_t* c = clean; *c; ++c)
    if (*c == L'"' || *c < L' ') *c = L'\'';
  if (!WideCharToMultiByte(CP_UTF8, 0, clean, -1, out, units, nullptr, nullptr)) out[0] = '\0';
}

void SetReply(SendOutcome* o, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(o->reply, kReportUnits, format, args);
  va_end(args);
}

// The session's last reply as the outcome's words.
void ServerReply(SendOutcome* o, const HylaFaxSession& s, const wchar_t* what) {
  wchar_t said[kReportUnits];
  ReplyText(s.reply, said, kReportUnits);
  if (s.code)
    SetReply(o, L"%s: the server said \"%s\"", what, said);
  else if (said[0])
    SetReply(o, L"%s: %s", what, said);
  else
    SetReply(o, L"%s: the connection was lost", what);
}

// A tag no other job of any machine carries: the time to 100 ns, the
// process and the machine.
void MakeTag(wchar_t* tag) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  wchar_t machine[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD units = ARRAYSIZE(machine);
  GetComputerNameW(machine, &units);
  StringCchPrintfW(tag, kPathUnits, L"orvalis-%s-%08lx%08lx-%lx", machine, now.dwHighDateTime,
                   now.dwLowDateTime, GetCurrentProcessId());
}

struct ListedJob {
  unsigned id;
  char state;
  char reason[kReportUnits];
};

// Finds a job in the server's queues, by id (tag null) or by tag.
int FindJob(HylaFaxSession* s, unsigned id, const char* tag, ListedJob* job, bool* found) {
  *found = false;
  static char list[64 * 1024];
  static const char* const kQueues[] = {"sendq", "doneq"};
  for (const char* queue : kQueues) {
    int rc = ListJobs(s, queue, list, sizeof list);
    if (rc != kSendOk) return rc;
    for (char* line = list; line && *line;) {
      char* next = strchr(line, '\n');
      if (next) *next++ = '\0';
      // "id|state|tag|status"
      char* bar1 = strchr(line, '|');
      char* bar2 = bar1 ? strchr(bar1 + 1, '|') : nullptr;
      char* bar3 = bar2 ? strchr(bar2 + 1, '|') : nullptr;
      if (bar3) {
        *bar1 = *bar2 = *bar3 = '\0';
        unsigned lineId = strtoul(line, nullptr, 10);
        size_t length = lstrlenA(bar3 + 1);
        while (length && (bar3[length] == '\r' || bar3[length] == ' ')) bar3[length--] = '\0';
        if (tag ? lstrcmpA(bar2 + 1, tag) == 0 : lineId == id) {
          job->id = lineId;
          job->state = bar1[1];
          StringCchCopyA(job->reason, kReportUnits, bar3 + 1);
          *found = true;
          return kSendOk;
        }
      }
      line = next;
    }
  }
  return kSendOk;
}

bool RecordJob(const SendTicket& t, unsigned id) {
  wchar_t text[16];
  StringCchPrintfW(text, ARRAYSIZE(text), L"%u", id);
  return MarkSendTicket(t, L"JobId", text) && MarkSendTicket(t, L"State", L"Submitted");
}

// JNEW, the job's parameters, JSUBM. *id is the new job's id once JNEW succeeded.
int MakeJob(HylaFaxSession* s, const SendRequest& r, const SendTicket& t, const char* document,
            unsigned* id) {
  if (Command(s, "JNEW") != 200) return s->code ? kSendDocumentRefused : kSendConnectionLost;
  const char* found = strstr(s->reply, "jobid: ");
  *id = found ? strtoul(found + 7, nullptr, 10) : 0;
  if (!*id) return kSendDocumentRefused;
  char user[kPathUnits], number[kPathUnits], name[kPathUnits], note[kPathUnits], tag[kPathUnits];
  Quoted(r.user, user, sizeof user);
  Quoted(r.number, number, sizeof number);
  Quoted(r.recipient, name, sizeof name);
  Quoted(r.note, note, sizeof note);
  Quoted(t.tag, tag, sizeof tag);
  wchar_t quality[16] = {};
  GetPrivateProfileStringW(L"Fax", L"Quality", L"", quality, ARRAYSIZE(quality), t.path);
  bool ok = Command(s, "JPARM FROMUSER \"%s\"", user) == 213 &&
            Command(s, "JPARM DIALSTRING \"%s\"", number) == 213 &&
            Command(s, "JPARM JOBINFO \"%s\"", tag) == 213 &&
            Command(s, "JPARM VRES %d", lstrcmpiW(quality, L"Fine") == 0 ? 196 : 98) == 213 &&
            Command(s, "JPARM NOTIFY \"none\"") == 213 &&
            // Without it the server gives the job no time at all ("Kill time expired").
            Command(s, "JPARM LASTTIME %s", kJobLifetime) == 213 &&
            (!name[0] || Command(s, "JPARM TOUSER \"%s\"", name) == 213) &&
            (!note[0] || Command(s, "JPARM COMMENTS \"%s\"", note) == 213) &&
            Command(s, "JPARM DOCUMENT %s", document) == 200 && Command(s, "JSUBM") == 200;
  if (ok) return kSendOk;
  return s->code ? kSendDocumentRefused : kSendConnectionLost;
}

}  // namespace

bool IsValidFaxNumber(const wchar_t* number) {
  bool digit = false;
  for (const wchar_t* c = number; *c; ++c) {
    if (*c >= L'0' && *c <= L'9')
      digit = true;
    else if (*c != L' ' && *c != L'+' && *c != L'-' && *c != L'(' && *c != L')')
      return false;
  }
  return digit && lstrlenW(number) < 64;
}

void SendFax(const SendRequest& r, SendOutcome* o) {
  ZeroMemory(o, sizeof *o);
  wchar_t fax[kPathUnits];
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (SUCCEEDED(StringCchPrintfW(fax, kPathUnits, L"%s\\fax.tif", r.folder)))
    attributes = GetFileAttributesW(fax);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    o->result = kSendNoDocument;
    return SetReply(o, L"the folder holds no fax document (fax.tif)");
  }
  if (!IsValidFaxNumber(r.number)) {
    o->result = kSendBadNumber;
    return SetReply(o, L"\"%s\" is no fax number: use digits, spaces, + - ( ) only", r.number);
  }
  SendTicket t;
  if (!ReadSendTicket(r.folder, &t)) {
    o->result = kSendFailed;
    return SetReply(o, L"the folder's path is too long");
  }
  if (t.jobId) {
    o->result = kSendAlreadySent;
    o->jobId = t.jobId;
    return SetReply(o, L"already sent: the server %s has it as job %u", t.server, t.jobId);
  }
  if (!r.server || !r.server[0]) {
    o->result = kSendUnreachable;
    return SetReply(o, L"no fax server is set (FaxServer)");
  }
  HylaFaxSession s;
  o->result = OpenSession(&s, r.server);
  if (o->result != kSendOk) return ServerReply(o, s, L"the fax server cannot be reached");
  o->result = LogIn(&s, r.user, r.password);
  if (o->result != kSendOk) {
    ServerReply(o, s, L"the fax server refused the login");
    return CloseSession(&s);
  }
  // A job that was being submitted when we stopped may have reached the
  // server: look for its tag before anything is sent again.
  if (t.tag[0] && lstrcmpiW(t.state, L"Submitting") == 0) {
    char tag[kPathUnits];
    Quoted(t.tag, tag, sizeof tag);
    ListedJob job;
    bool found = false;
    o->result = FindJob(&s, 0, tag, &job, &found);
    if (o->result != kSendOk) {
      ServerReply(o, s, L"the fax server's jobs cannot be listed");
      return CloseSession(&s);
    }
    if (found) {
      // Made but never submitted ('T', suspended): submit it now.
      if (job.state == 'T' &&
          (Command(&s, "JOB %u", job.id) != 200 || Command(&s, "JSUBM") != 200)) {
        o->result = s.code ? kSendDocumentRefused : kSendConnectionLost;
        ServerReply(o, s, L"the fax server did not take the job");
        return CloseSession(&s);
      }
      o->jobId = job.id;
      if (!RecordJob(t, job.id)) o->result = kSendFailed;
      SetReply(o, L"the server had the job already, as job %u", job.id);
      Command(&s, "QUIT");
      return CloseSession(&s);
    }
  } else {
    MakeTag(t.tag);
    if (!MarkSendTicket(t, L"Number", r.number) ||
        !MarkSendTicket(t, L"Name", r.recipient ? r.recipient : L"") ||
        !MarkSendTicket(t, L"Server", r.server) || !MarkSendTicket(t, L"Tag", t.tag) ||
        !MarkSendTicket(t, L"State", L"Submitting")) {
      o->result = kSendFailed;
      SetReply(o, L"the job ticket cannot be written (error %lu)", GetLastError());
      return CloseSession(&s);
    }
  }
  char document[kPathUnits];
  o->result = Upload(&s, fax, document, sizeof document);
  if (o->result == kSendOk) o->result = MakeJob(&s, r, t, document, &o->jobId);
  if (o->result != kSendOk) {
    ServerReply(o, s,
                o->result == kSendConnectionLost ? L"the connection to the fax server broke"
                                                 : L"the fax server refused the document");
    // A refusal is final: the next try is a new job with a tag of its own.
    // A broken connection is not: the job may have reached the server.
    if (o->result == kSendDocumentRefused) MarkSendTicket(t, L"State", L"Refused");
    o->jobId = 0;
    return CloseSession(&s);
  }
  if (!RecordJob(t, o->jobId)) o->result = kSendFailed;
  SetReply(o, L"the server has it as job %u", o->jobId);
  Command(&s, "QUIT");
  CloseSession(&s);
}

void AskJobStatus(const wchar_t* server, const wchar_t* user, const wchar_t* password,
                  unsigned jobId, JobStatus* status) {
  ZeroMemory(status, sizeof *status);
  HylaFaxSession s;
  status->result = OpenSession(&s, server);
  if (status->result != kSendOk) return;
  status->result = LogIn(&s, user, password);
  ListedJob job;
  if (status->result == kSendOk) status->result = FindJob(&s, jobId, nullptr, &job, &status->found);
  if (status->result == kSendOk && status->found) {
    status->state = job.state;
    ReplyText(job.reason, status->reason, kReportUnits);
  }
  if (s.code) Command(&s, "QUIT");
  CloseSession(&s);
}

namespace {

void Print(DWORD which, const wchar_t* format, ...) {
  wchar_t text[kReportUnits];
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(text, kReportUnits, format, args);
  va_end(args);
  char bytes[kReportUnits * 3];
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
  DWORD written = 0;
  HANDLE out = GetStdHandle(which);
  if (size > 1 && out && out != INVALID_HANDLE_VALUE)
    WriteFile(out, bytes, size - 1, &written, nullptr);
}

}  // namespace

int Usage() {
  Print(STD_ERROR_HANDLE,
        L"usage: orvlui2.exe                  the collector (no switch)\r\n"
        L"       orvlui2.exe /extract SPOOLFILE FOLDER\r\n"
        L"       orvlui2.exe /send FOLDER /to NUMBER [/server HOST[:PORT]] [/user NAME]\r\n");
  return kSendUsage;
}

int SendCommand(int argc, wchar_t** argv) {
  if (argc < 3 || argv[2][0] == L'/' || !argv[2][0]) return Usage();
  const wchar_t* number = nullptr;
  const wchar_t* server = nullptr;
  const wchar_t* user = nullptr;
  for (int i = 3; i < argc; i += 2) {
    if (i + 1 >= argc || !argv[i + 1][0]) return Usage();
    if (lstrcmpiW(argv[i], L"/to") == 0)
      number = argv[i + 1];
    else if (lstrcmpiW(argv[i], L"/server") == 0)
      server = argv[i + 1];
    else if (lstrcmpiW(argv[i], L"/user") == 0)
      user = argv[i + 1];
    else
      return Usage();
  }
  if (!number) return Usage();
  wchar_t setServer[kPathUnits] = {}, setUser[kPathUnits] = {}, password[kPathUnits] = {};
  if (!server && ReadFaxServer(setServer)) server = setServer;
  if (!user) {
    ReadFaxUser(setUser);
    user = setUser;
  }
  bool remembered = ReadFaxPassword(password, kPathUnits);
  SendRequest request = {argv[2], number, L"", L"", server, user, remembered ? password : nullptr};
  SendOutcome outcome;
  SendFax(request, &outcome);
  SecureZeroMemory(password, sizeof password);
  if (outcome.jobId) Print(STD_OUTPUT_HANDLE, L"%u\r\n", outcome.jobId);
  if (outcome.result == kSendOk) {
    LogLine(L"Fax %s\\fax.tif to %s sent to %s: %s", argv[2], number, server, outcome.reply);
  } else {
    Print(STD_ERROR_HANDLE, L"%s\r\n", outcome.reply);
    LogLine(L"Fax %s\\fax.tif to %s not sent (%d): %s; the document stays", argv[2], number,
            outcome.result, outcome.reply);
  }
  return outcome.result;
}
