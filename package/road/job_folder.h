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
  kFolderNotMade,            // it does not exist and cannot be made (*error says why)
  kFolderUnreadable,         // its owner and permissions cannot be read (*error)
  kFolderOtherOwner,         // owned by someone else
  kFolderOthersMayWrite,     // its permissions let other accounts write into it
  kFolderOthersMayRead,      // its permissions let other accounts read it
  kFolderMissing,            // it does not exist, or is a file
  kFolderReparsePoint,       // a junction, symbolic link or other reparse point
  kFolderNotAdministrators,  // JobDestDir: owned by neither SYSTEM nor Administrators
  kFolderOthersMayChange,    // JobDestDir: others may delete, rename or re-permit it
};

// Opens a folder to hold it while it is used: no share-delete, so it cannot
// be renamed, deleted or swapped meanwhile; a reparse point is refused.
FolderCheck OpenFolder(const wchar_t* folder, HANDLE* held, DWORD* error);

// Is the held folder this user's alone? Owner: the user, or the user's
// default owner (Administrators for an administrator on some Windows
// versions). Writing or reading, also through inherit-only entries: only the
// user, SYSTEM and Administrators. owner (kPathUnits, may be null) receives
// the folder's owner for the log when it is refused.
FolderCheck CheckFolder(HANDLE folder, const Identity& id, DWORD* error, wchar_t* owner);

// Makes the folder (where missing) with a protected DACL: the user, SYSTEM,
// Administrators. One that exists already is left for the checks.
FolderCheck MakeUserFolder(const wchar_t* folder, const Identity& id, DWORD* error);

// The machine's JobDestDir: it must exist (it is never made here), be no
// reparse point, be owned by SYSTEM or Administrators, and let no other
// account delete or rename it or what is in it, or change its permissions.
FolderCheck CheckSharedDest(const wchar_t* dest, DWORD* error, wchar_t* owner);

// The folder under which this user's job folders go, made where missing
// (with a protected DACL: the user, SYSTEM, Administrators), opened into
// *held and checked. shared: dest is the machine's JobDestDir (checked
// before), under which each user gets a folder named by their SID (or, when
// another account made that one before the user ever had it, by the SID and
// a random suffix kept in the user's own key, for good); otherwise dest is
// the user's own folder. out receives the folder's path.
FolderCheck PrepareUserFolder(const wchar_t* dest, bool shared, const Identity& id, wchar_t* out,
                              HANDLE* held, DWORD* error, wchar_t* owner);

// OpenFolder, then CheckFolder through the handle; *held stays open only
// for a folder that passes.
FolderCheck HoldFolder(const wchar_t* folder, const Identity& id, HANDLE* held, DWORD* error,
                       wchar_t* owner);

// MakeUserFolder, then HoldFolder.
FolderCheck HoldUserFolder(const wchar_t* folder, const Identity& id, HANDLE* held, DWORD* error,
                           wchar_t* owner);

// A text for the log: why a folder is not used.
const wchar_t* FolderCheckText(FolderCheck check);

// The same with the folder's owner where one was read (owner may be null):
// "it belongs to another account (owner NAME (SID))". text: kReportUnits.
void RefusalText(FolderCheck check, const wchar_t* owner, wchar_t* text);
