// The checks follow the documented layout of security descriptors and ACEs
// (GetSecurityInfo, ACE_HEADER), read through a handle held open without
// FILE_SHARE_DELETE, so that the folder checked is the folder written to:
// MSDN (CreateFile) a folder opened without share-delete cannot be renamed or
// deleted, nor replaced by a junction, while the handle is open, and
// FILE_FLAG_OPEN_REPARSE_POINT opens a reparse point itself, which is then
// refused. Wine keeps a security descriptor for files made with one and
// reports one made from the Unix owner and mode bits for the others.
#include "job_folder.h"

#include <aclapi.h>
#include <sddl.h>
#include <strsafe.h>

namespace {

// Rights that change what a folder holds, or who may change it.
const ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA |
                                 FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                 WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
// Rights that read a user's pages: listing the folder, and reading what it
// holds through entries inherited by the files made in it.
const ACCESS_MASK kReadRights = FILE_LIST_DIRECTORY | FILE_READ_EA | GENERIC_READ;
// Rights on the shared JobDestDir that would let a user rename, delete or
// replace it or another user's folder in it, or change who may.
const ACCESS_MASK kDestRights =
    DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | MAXIMUM_ALLOWED;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(known);
  return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

bool MayWrite(PSID sid, const Identity& id) {
  return EqualSid(sid, const_cast<BYTE*>(id.user)) || IsWellKnown(sid, WinLocalSystemSid) ||
         IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
         // Meaningful only on inherit-only entries; matches nobody here.
         IsWellKnown(sid, WinCreatorOwnerSid);
}

bool SidFromToken(HANDLE token, TOKEN_INFORMATION_CLASS what, BYTE* out) {
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!GetTokenInformation(token, what, buffer, sizeof(buffer), &size)) return false;
  PSID sid = what == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                               : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
  return CopySid(SECURITY_MAX_SID_SIZE, out, sid);
}

}  // namespace

bool ReadIdentity(Identity* id) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  bool ok = SidFromToken(token, TokenUser, id->user) && SidFromToken(token, TokenOwner, id->owner);
  CloseHandle(token);
  wchar_t* text = nullptr;
  if (!ok || !ConvertSidToStringSidW(id->user, &text)) return false;
  ok = SUCCEEDED(StringCchCopyW(id->userSid, kPathUnits, text));
  LocalFree(text);
  return ok;
}

FolderCheck OpenFolder(const wchar_t* folder, HANDLE* held, DWORD* error) {
  *error = 0;
  *held =
      CreateFileW(folder, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (*held == INVALID_HANDLE_VALUE) {
    *held = nullptr;
    *error = GetLastError();
    return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? kFolderMissing
                                                                            : kFolderUnreadable;
  }
  BY_HANDLE_FILE_INFORMATION info;
  FolderCheck check = kFolderOk;
  if (!GetFileInformationByHandle(*held, &info)) {
    *error = GetLastError();
    check = kFolderUnreadable;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    check = kFolderReparsePoint;
  } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    check = kFolderMissing;
  }
  if (check != kFolderOk) {
    CloseHandle(*held);
    *held = nullptr;
  }
  return check;
}

namespace {

// The owner as "NAME (SID)", or the SID alone, for the log.
void OwnerText(PSID owner, wchar_t* out) {
  if (!out) return;
  out[0] = L'\0';
  wchar_t* sid = nullptr;
  if (!owner || !ConvertSidToStringSidW(owner, &sid)) return;
  wchar_t name[kPathUnits], domain[kPathUnits];
  DWORD nameUnits = kPathUnits, domainUnits = kPathUnits;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, owner, name, &nameUnits, domain, &domainUnits, &use))
    StringCchPrintfW(out, kPathUnits, L"%s%s%s (%s)", domain, domain[0] ? L"\\" : L"", name, sid);
  else
    StringCchCopyW(out, kPathUnits, sid);
  LocalFree(sid);
}

}  // namespace

FolderCheck CheckFolder(HANDLE folder, const Identity& id, DWORD* error, wchar_t* owner) {
  PSID ownerSid = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (owner) owner[0] = L'\0';
  DWORD r = GetSecurityInfo(folder, SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &ownerSid,
                            nullptr, &dacl, nullptr, &sd);
  if (r != ERROR_SUCCESS) {
    *error = r;
    return kFolderUnreadable;
  }
  FolderCheck check = kFolderOk;
  if (!ownerSid || (!EqualSid(ownerSid, const_cast<BYTE*>(id.user)) &&
                    !EqualSid(ownerSid, const_cast<BYTE*>(id.owner))))
    check = kFolderOtherOwner;
  else if (!dacl)
    check = kFolderOthersMayWrite;  // no DACL: everyone has every right
  for (DWORD i = 0; check == kFolderOk && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      check = kFolderOthersMayWrite;
      break;
    }
    // Inherit-only entries count too: they are the rights on the pages,
    // fonts and tickets made inside.
    if (ace->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    // Object and callback entries are not read: anything we cannot read
    // counts as a grant.
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      check = kFolderOthersMayWrite;
      break;
    }
    ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (MayWrite(&allowed->SidStart, id)) continue;
    if (allowed->Mask & kWriteRights)
      check = kFolderOthersMayWrite;
    else if (allowed->Mask & kReadRights)
      check = kFolderOthersMayRead;
  }
  if (check != kFolderOk) OwnerText(ownerSid, owner);
  LocalFree(sd);
  return check;
}

FolderCheck CheckSharedDest(const wchar_t* dest, DWORD* error, wchar_t* owner) {
  HANDLE held = nullptr;
  FolderCheck check = OpenFolder(dest, &held, error);
  if (owner) owner[0] = L'\0';
  if (check != kFolderOk) return check;
  PSID ownerSid = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  *error =
      GetSecurityInfo(held, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &ownerSid, nullptr, &dacl, nullptr, &sd);
  CloseHandle(held);
  if (*error != ERROR_SUCCESS) return kFolderUnreadable;
  *error = 0;
  bool admins = IsWellKnown(ownerSid, WinLocalSystemSid) ||
                IsWellKnown(ownerSid, WinBuiltinAdministratorsSid);
  check = admins ? kFolderOk : kFolderNotAdministrators;
  if (check == kFolderOk && !dacl) check = kFolderOthersMayChange;
  for (DWORD i = 0; check == kFolderOk && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      check = kFolderOthersMayChange;
    } else if (ace->AceFlags & INHERIT_ONLY_ACE || ace->AceType == ACCESS_DENIED_ACE_TYPE) {
      // Inherited by what users make inside, each user's folder is made with
      // a protected DACL of its own.
    } else if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      check = kFolderOthersMayChange;
    } else {
      ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
      PSID sid = &allowed->SidStart;
      if ((allowed->Mask & kDestRights) && !IsWellKnown(sid, WinLocalSystemSid) &&
          !IsWellKnown(sid, WinBuiltinAdministratorsSid))
        check = kFolderOthersMayChange;
    }
  }
  if (check != kFolderOk) OwnerText(ownerSid, owner);
  LocalFree(sd);
  return check;
}

FolderCheck MakeUserFolder(const wchar_t* folder, const Identity& id, DWORD* error) {
  // A protected DACL of its own: the user, SYSTEM, Administrators.
  wchar_t sddl[3 * kPathUnits];
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
  if (FAILED(StringCchPrintfW(sddl, ARRAYSIZE(sddl),
                              L"O:%sD:P(A;OICI;FA;;;%s)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                              id.userSid, id.userSid)) ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                            &sa.lpSecurityDescriptor, nullptr)) {
    *error = GetLastError();
    return kFolderNotMade;
  }
  BOOL made = CreateDirectoryW(folder, &sa);
  DWORD madeError = GetLastError();
  LocalFree(sa.lpSecurityDescriptor);
  // One that exists already was made by someone: it is checked like any other.
  if (!made && madeError != ERROR_ALREADY_EXISTS) {
    *error = madeError;
    return kFolderNotMade;
  }
  return kFolderOk;
}

FolderCheck PrepareUserFolder(const wchar_t* dest, bool shared, const Identity& id, wchar_t* out,
                              HANDLE* held, DWORD* error, wchar_t* owner) {
  *error = 0;
  *held = nullptr;
  if (owner) owner[0] = L'\0';
  if (!shared) {
    if (FAILED(StringCchCopyW(out, kPathUnits, dest))) return kFolderNotMade;
  } else {
    // The shared folder is the administrator's, checked before (CheckSharedDest);
    // each user's folder in it is named by the user's SID.
    size_t length = lstrlenW(dest);
    const wchar_t* separator = length && dest[length - 1] == L'\\' ? L"" : L"\\";
    if (FAILED(StringCchPrintfW(out, kPathUnits, L"%s%s%s", dest, separator, id.userSid)))
      return kFolderNotMade;
  }
  FolderCheck check = MakeUserFolder(out, id, error);
  if (check == kFolderOk) check = OpenFolder(out, held, error);
  if (check == kFolderOk) check = CheckFolder(*held, id, error, owner);
  if (check != kFolderOk && *held) {
    CloseHandle(*held);
    *held = nullptr;
  }
  return check;
}

const wchar_t* FolderCheckText(FolderCheck check) {
  switch (check) {
    case kFolderOk:
      return L"usable";
    case kFolderNotMade:
      return L"cannot be made";
    case kFolderUnreadable:
      return L"its owner and permissions cannot be read";
    case kFolderOtherOwner:
      return L"it belongs to another account";
    case kFolderOthersMayWrite:
      return L"its permissions let other accounts write into it";
    case kFolderOthersMayRead:
      return L"its permissions let other accounts read it";
    case kFolderMissing:
      return L"it does not exist or is no folder";
    case kFolderReparsePoint:
      return L"it is a junction or link (a reparse point)";
    case kFolderNotAdministrators:
      return L"its owner is neither SYSTEM nor Administrators";
    case kFolderOthersMayChange:
      return L"its permissions let other accounts delete, rename or change it";
  }
  return L"";
}
