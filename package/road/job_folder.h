// Where a user's job folders may go. A folder that another user could have
// made or written into is never used: its Done marks, tickets and pages
// could be anyone's.
#pragma once

#include <windows.h>

#include "product.h"

// The account the collector runs as.
struct Identity {
  BYTE user[SECURITY_MAX_SID_SIZE];   // the user's SID
  BYTE owner[SECURITY_MAX_SID_SIZE];  // the default owner of what the user creates
  wchar_t userSid[kPathUnits];        // the user's SID as text ("S-1-5-21-...")
};

bool ReadIdentity(Identity* id);

enum FolderCheck {
  kFolderOk,
  kFolderNotMade,        // it does not exist and cannot be made (*error says why)
  kFolderUnreadable,     // its owner and permissions cannot be read (*error)
  kFolderOtherOwner,     // owned by someone else
  kFolderOthersMayWrite  // its permissions let other accounts write into it
};

// Is folder this user's alone? Owner: the user, or the user's default owner
// (Administrators for an administrator on some Windows versions). Writing:
// only the user, SYSTEM and Administrators.
FolderCheck CheckFolder(const wchar_t* folder, const Identity& id, DWORD* error);

// The folder under which this user's job folders go, made where missing and
// checked. shared: dest is the machine's JobDestDir, under which each user
// gets a folder of their own, named by their SID and made with a protected
// DACL (the user, SYSTEM, Administrators); otherwise dest is the user's own
// folder and is used as it is. out receives the folder's path.
FolderCheck PrepareUserFolder(const wchar_t* dest, bool shared, const Identity& id, wchar_t* out,
                              DWORD* error);

// A text for the log: why a folder is not used.
const wchar_t* FolderCheckText(FolderCheck check);
