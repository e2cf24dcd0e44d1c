// The job ticket's [Send] section (job.ini in the job folder; the converter
// leaves sections it does not know alone):
//   Number=   the recipient's fax number, as typed
//   Name=     the recipient's name
//   Server=   the server it went to ("host" or "host:port")
//   Tag=      the job's own tag, given to the server as the job's JOBINFO, so
//             that the job can be found there again
//   State=    Submitting  on the disk before the job is made on the server;
//             Submitted   the server has it (JobId says which);
//             Done        the server sent it;  Failed  it did not, for good
//   JobId=    the server's job id
//   Reply=    the server's last word on the job (why it failed)
#pragma once

#include <windows.h>

#include "product.h"

struct SendTicket {
  wchar_t path[kPathUnits];  // job.ini
  wchar_t number[kPathUnits];
  wchar_t name[kPathUnits];
  wchar_t server[kPathUnits];
  wchar_t tag[kPathUnits];
  wchar_t state[32];
  unsigned jobId;
};

// Reads the section of folder's ticket (empty fields where it has none).
bool ReadSendTicket(const wchar_t* folder, SendTicket* ticket);

// Writes key=value into the section and puts the ticket on the disk (the
// write-through of the profile cache, then FlushFileBuffers on the file)
// before returning: a mark that the next step relies on must survive the
// process and the machine.
bool MarkSendTicket(const SendTicket& ticket, const wchar_t* key, const wchar_t* value);
