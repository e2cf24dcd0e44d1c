// The client side of HylaFAX's client-server protocol (hfaxd(8)): an FTP-like
// dialogue of text commands and numbered replies on one TCP connection, with
// documents and listings on a second, passive-mode connection.
#pragma once

// winsock2.h before windows.h, which would bring the old winsock.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include "fax_send.h"

struct HylaFaxSession {
  SOCKET control;
  char buffer[4096];  // received, not yet taken as reply lines
  int buffered;
  int code;                  // the last reply's number; 0 when the connection broke
  char reply[kReportUnits];  // the last reply's text (its last line, without the number)
};

// Connects to "host[:port]" and reads the greeting. kSendOk, kSendUnreachable
// or kSendConnectionLost; the session is closed again on failure.
int OpenSession(HylaFaxSession* s, const wchar_t* server);
void CloseSession(HylaFaxSession* s);

// USER, and PASS when the server asks for a password. kSendOk,
// kSendLoginRefused or kSendConnectionLost.
int LogIn(HylaFaxSession* s, const wchar_t* user, const wchar_t* password);

// Sends one command line and reads its reply; returns the reply's number
// (0 when the connection broke).
int Command(HylaFaxSession* s, const char* format, ...);

// Uploads the file as a temporary document (STOT); serverName receives the
// name the server gave it. kSendOk, kSendDocumentRefused or kSendConnectionLost
// (kSendNoDocument when the file cannot be read).
int Upload(HylaFaxSession* s, const wchar_t* path, char* serverName, int units);

// The jobs of one queue ("sendq" or "doneq"), one line per job as
// JOBFMT "%j|%a|%J|%s" gives it, '\n' between lines. kSendOk or kSendConnectionLost.
int ListJobs(HylaFaxSession* s, const char* queue, char* out, int units);

// Text from the protocol (ASCII, or UTF-8 from newer servers) as UTF-16.
void ReplyText(const char* text, wchar_t* out, int units);
