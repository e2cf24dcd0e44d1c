// The checks follow the documented layout of security descriptors and ACEs
// (GetNamedSecurityInfo, ACE_HEADER). Wine keeps no security descriptor for
// files: it reports one made from the Unix owner and mode bits (the user as
// owner; Everyone with write access when the folder is world-writable), so
// under Wine only the write check can really fail.
#include "job_folder.h"

#include <aclapi.h>
#include <sddl.h>
#include <strsafe.h>

namespace {

// Rights that change what a folder holds, or who may change it.
const ACCESS_MASK kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA |
                                 FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                 WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

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

FolderCheck CheckFolder(const wchar_t* folder, const Identity& id, DWORD* error) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD r = GetNamedSecurityInfoW(const_cast<wchar_t*>(folder), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &dacl, nullptr, &sd);
  if (r != ERROR_SUCCESS) {
    *error = r;
    return kFolderUnreadable;
  }
  FolderCheck check = kFolderOk;
  if (!owner || (!EqualSid(owner, const_cast<BYTE*>(id.user)) &&
                 !EqualSid(owner, const_cast<BYTE*>(id.owner))))
    check = kFolderOtherOwner;
  else if (!dacl)
    check = kFolderOthersMayWrite;  // no DACL: everyone has every right
  for (DWORD i = 0; check == kFolderOk && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      check = kFolderOthersMayWrite;
      break;
    }
    if (ace->AceFlags & INHERIT_ONLY_ACE) continue;  // applies to what is inside, not the folder
    if (ace->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    // Object and callback entries are not read: anything we cannot read
    // counts as a grant.
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      check = kFolderOthersMayWrite;
      break;
    }
    ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kWriteRights) && !MayWrite(&allowed->SidStart, id))
      check = kFolderOthersMayWrite;
  }
  LocalFree(sd);
  return check;
}

FolderCheck PrepareUserFolder(const wchar_t* dest, bool shared, const Identity& id, wchar_t* out,
                              DWORD* error) {
  *error = 0;
  if (!shared) {
    if (FAILED(StringCchCopyW(out, kPathUnits, dest))) return kFolderNotMade;
    if (!CreateDirectoryW(out, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = GetLastError();
      return kFolderNotMade;
    }
    return CheckFolder(out, id, error);
  }
  // The shared folder itself is the administrator's; only its parent must exist.
  CreateDirectoryW(dest, nullptr);
  size_t length = lstrlenW(dest);
  const wchar_t* separator = length && dest[length - 1] == L'\\' ? L"" : L"\\";
  if (FAILED(StringCchPrintfW(out, kPathUnits, L"%s%s%s", dest, separator, id.userSid)))
    return kFolderNotMade;
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
  BOOL made = CreateDirectoryW(out, &sa);
  DWORD madeError = GetLastError();
  LocalFree(sa.lpSecurityDescriptor);
  // One that exists already was made by someone: it is checked like any other.
  if (!made && madeError != ERROR_ALREADY_EXISTS) {
    *error = madeError;
    return kFolderNotMade;
  }
  return CheckFolder(out, id, error);
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
  }
  return L"";
}
