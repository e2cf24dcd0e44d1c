// Sending a job's fax.tif to the office's HylaFAX server, at most once.
//   hylafax_client.cpp  the client side of HylaFAX's protocol over Winsock;
//   send_ticket.cpp     the job ticket's [Send] section: what was sent, where, as what;
//   fax_send.cpp        one send of one job folder, and "orvlui2.exe /send";
//   fax_settings.cpp    where the fax goes (registry), the user's remembered password.
#pragma once

#include <windows.h>

#include "product.h"

// Outcomes of SendFax, and the exit codes of "orvlui2.exe /send". They stay
// apart from the collector's and "/extract"'s codes (0 to 9), so one table
// serves every way orvlui2.exe runs; 2 is the usage error of both commands.
enum SendResult : int {
  kSendOk = 0,                // the server has the job (its id is printed)
  kSendFailed = 1,            // anything else (memory, an unexpected system failure)
  kSendUsage = 2,             // unknown switch or missing argument
  kSendNoDocument = 20,       // the folder holds no fax.tif
  kSendBadNumber = 21,        // the fax number has characters a dial string cannot have
  kSendUnreachable = 22,      // no server set, or no connection to it
  kSendLoginRefused = 23,     // the server refused the login (or wants a password we lack)
  kSendDocumentRefused = 24,  // the server refused the document or the job
  kSendConnectionLost = 25,   // the connection broke off during the dialogue
  kSendAlreadySent = 26,      // the ticket says the server has this job already (its id printed)
};

// The HylaFAX server's TCP port when the setting names none.
enum : unsigned short { kFaxServerPort = 4559 };

struct SendRequest {
  const wchar_t* folder;     // the job folder: fax.tif and job.ini
  const wchar_t* number;     // the recipient's fax number
  const wchar_t* recipient;  // the recipient's name (may be empty)
  const wchar_t* note;       // a note for the server's records (may be empty)
  const wchar_t* server;     // "host" or "host:port"
  const wchar_t* user;       // the account to log in with
  const wchar_t* password;   // null: none known
};

struct SendOutcome {
  int result;                   // SendResult
  unsigned jobId;               // the server's job id, when it has the job
  wchar_t reply[kReportUnits];  // the server's last reply, or why we gave up, in plain words
};

// Digits, spaces, '+', '-', '(' and ')', with at least one digit.
bool IsValidFaxNumber(const wchar_t* number);

// Sends folder's fax.tif once: a ticket that already names the server's job
// is not sent again; a ticket marked as being submitted without a job id is
// first looked up on the server by its tag. Never deletes anything.
void SendFax(const SendRequest& request, SendOutcome* outcome);

// What the server says about a job it has (or had): its state letter as
// faxstat shows it ('D' done, 'F' failed, others still going), and the
// server's reason for the last failure. found is false when the server no
// longer knows the job.
struct JobStatus {
  int result;  // kSendOk or why the server could not be asked
  bool found;
  wchar_t state;
  wchar_t reason[kReportUnits];
};
void AskJobStatus(const wchar_t* server, const wchar_t* user, const wchar_t* password,
                  unsigned jobId, JobStatus* status);

// "orvlui2.exe /send FOLDER /to NUMBER [/server HOST[:PORT]] [/user NAME]":
// argv as CommandLineToArgvW gives it, argv[1] being "/send". Shows no box;
// prints the job id (or the usage text) on the standard output.
int SendCommand(int argc, wchar_t** argv);
// Prints orvlui2.exe's usage text on the standard error; returns kSendUsage.
int Usage();

// Where the fax goes: the user's FaxServer (HKCU\Software\Orvalis) before the
// machine's (HKLM\Software\Orvalis). false when neither is set.
bool ReadFaxServer(wchar_t* server);
// The user's fax account (HKCU FaxUser), else the Windows user name.
void ReadFaxUser(wchar_t* user);
// The user's remembered password (CryptProtectData, HKCU FaxPassword).
bool ReadFaxPassword(wchar_t* password, unsigned units);
bool RememberFaxPassword(const wchar_t* password);
