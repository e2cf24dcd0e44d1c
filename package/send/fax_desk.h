// The fax desk: a thread of the collector that asks the user for the
// recipient of each fax document the collector writes (the recipient dialog,
// send.rc), sends it, tells the user, and now and then asks the server about
// the jobs it submitted until each is done or has failed for good.
//
// The ticket's [Send] State says where each job stands (send_ticket.h), so a
// collector that starts again picks up what the last one left: Asking shows
// the dialog again, Submitting is looked up on the server by its tag before
// anything is sent again, Submitted is asked about.
//
// The desk works on a job folder only while it holds it and the folder that
// holds it, opened and checked again as the collector does (job_folder.h): a
// folder that fails is logged and left.
#pragma once

#include <windows.h>

// The caption of the recipient dialog and of the desk's notices.
#define ORVL_FAX_CAPTION L"Orvalis fax"

// The pause between two rounds of status questions.
enum : DWORD { kFaxStatusPollMs = 60 * 1000 };

// Starts the desk's thread; it ends once stop is signalled (and a dialog it
// shows is closed). base: the folder that holds the user's job folders, whose
// tickets are read for unfinished sends (may be empty). false when the
// thread cannot start.
bool StartFaxDesk(HANDLE stop, const wchar_t* base, DWORD pollMs);
// Waits for the desk's thread to end (after stop).
void EndFaxDesk();

// Hands a job folder whose fax.tif is written to the desk (marked Asking on
// the disk first). Only when a fax server is set (FaxServer).
void OfferFax(const wchar_t* folder);

// Rounds of status questions the desk has finished (for tests that wait for one).
LONG FaxDeskRounds();
