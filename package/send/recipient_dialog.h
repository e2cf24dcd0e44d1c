// The recipient dialog of the fax desk: the number (checked), the name, a
// note, the document's pages and quality, the user's recent numbers, and a
// password box when the server asks for one. Send sends at once and the
// dialog stays open on a failure, with the server's own words.
#pragma once

#include <windows.h>

#include "product.h"
#include "send_ticket.h"

enum : unsigned { kRecentNumbers = 8 };

// What the dialog shares with the desk: its stop event closes the dialog, and
// the user's name and password (typed in this session, or remembered) serve
// every send of the desk.
struct DeskAccount {
  HANDLE stop;
  const wchar_t* user;
  wchar_t* password;  // kPathUnits
};

struct Recipient {
  const wchar_t* folder;
  wchar_t server[kPathUnits];
  SendTicket ticket;
  DeskAccount account;
  // Filled in by the dialog:
  wchar_t number[kPathUnits];
  wchar_t name[kPathUnits];
  wchar_t recent[kRecentNumbers][kPathUnits];
  unsigned recentCount;
  unsigned jobId;
};

// Shows the dialog for r (folder, server, ticket and account filled in):
// IDOK once the server has the job (number, name, jobId set; the number is
// first among the recent ones), IDCANCEL, IDABORT when the stop event came,
// -1 when it cannot be shown.
INT_PTR AskRecipient(Recipient* r);
