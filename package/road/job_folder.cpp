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
#include <wincrypt.h>

#include "road_log.h"

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

FolderCheck HoldFolder(const wchar_t* folder, const Identity& id, HANDLE* held, DWORD* error,
                       wchar_t* owner) {
  if (owner) owner[0] = L'\0';
  FolderCheck check = OpenFolder(folder, held, error);
  if (check == kFolderOk) check = CheckFolder(*held, id, error, owner);
  if (check != kFolderOk && *held) {
    CloseHandle(*held);
    *held = nullptr;
  }
  return check;
}

FolderCheck HoldUserFolder(const wchar_t* folder, const Identity& id, HANDLE* held, DWORD* error,
                           wchar_t* owner) {
  FolderCheck check = MakeUserFolder(folder, id, error);
  return check == kFolderOk ? HoldFolder(folder, id, held, error, owner) : check;
}

namespace {

// Under a shared JobDestDir the user's folder is named by the SID, which
// anyone can know: another user may make it first. The user's own key
// (HKCU\Software\Orvalis "JobFolderSuffix") says which name is the user's:
// empty, the SID's (it passed the checks once); 16 hex digits, the SID, a
// hyphen and those digits, drawn at random when the SID's name was taken
// before the user ever had it. MSDN: a user's hive grants only the user,
// SYSTEM and Administrators, so nobody else can learn the digits before the
// folder exists, nor make it first. Once decided, the name never changes, so
// that a job's folder (and its marks) never moves between two runs.
enum : unsigned { kSuffixDigits = 16 };
enum Naming { kNamingUndecided, kNamingSid, kNamingSuffix };
const wchar_t kSuffixValue[] = L"JobFolderSuffix";

void ProductKey(wchar_t* path) {
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
}

Naming ReadNaming(wchar_t* suffix) {
  wchar_t path[kPathUnits];
  ProductKey(path);
  HKEY key = nullptr;
  DWORD type = 0, size = (kSuffixDigits + 1) * sizeof(wchar_t);
  ZeroMemory(suffix, size);
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return kNamingUndecided;
  LONG r =
      RegQueryValueExW(key, kSuffixValue, nullptr, &type, reinterpret_cast<BYTE*>(suffix), &size);
  RegCloseKey(key);
  suffix[kSuffixDigits] = L'\0';
  if (r != ERROR_SUCCESS || type != REG_SZ) return kNamingUndecided;
  if (!suffix[0]) return kNamingSid;
  // Anything but the digits drawn here is no name.
  for (unsigned i = 0; i < kSuffixDigits; ++i)
    if (!((suffix[i] >= L'0' && suffix[i] <= L'9') || (suffix[i] >= L'A' && suffix[i] <= L'F')))
      return kNamingUndecided;
  return kNamingSuffix;
}

bool WriteNaming(const wchar_t* suffix) {
  wchar_t path[kPathUnits];
  ProductKey(path);
  HKEY key = nullptr;
  LONG r = RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE,
                           nullptr, &key, nullptr);
  if (r != ERROR_SUCCESS) return false;
  r = RegSetValueExW(key, kSuffixValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(suffix),
                     (lstrlenW(suffix) + 1) * sizeof(wchar_t));
  if (r == ERROR_SUCCESS) r = RegFlushKey(key);
  RegCloseKey(key);
  return r == ERROR_SUCCESS;
}

bool DrawSuffix(wchar_t* suffix) {
  BYTE random[kSuffixDigits / 2];
  HCRYPTPROV provider = 0;
  bool drawn = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT | CRYPT_SILENT) &&
               CryptGenRandom(provider, sizeof(random), random);
  if (provider) CryptReleaseContext(provider, 0);
  for (unsigned i = 0; drawn && i < sizeof(random); ++i)
    StringCchPrintfW(suffix + 2 * i, 3, L"%02X", random[i]);
  return drawn && WriteNaming(suffix);
}

}  // namespace

FolderCheck PrepareUserFolder(const wchar_t* dest, bool shared, const Identity& id, wchar_t* out,
                              HANDLE* held, DWORD* error, wchar_t* owner) {
  *error = 0;
  *held = nullptr;
  if (owner) owner[0] = L'\0';
  if (!shared) {
    if (FAILED(StringCchCopyW(out, kPathUnits, dest))) return kFolderNotMade;
    return HoldUserFolder(out, id, held, error, owner);
  }
  // The shared folder is the administrator's, checked before (CheckSharedDest).
  wchar_t suffix[kSuffixDigits + 1];
  Naming naming = ReadNaming(suffix);
  size_t length = lstrlenW(dest);
  const wchar_t* separator = length && dest[length - 1] == L'\\' ? L"" : L"\\";
  if (FAILED(StringCchPrintfW(out, kPathUnits, L"%s%s%s%s%s", dest, separator, id.userSid,
                              naming == kNamingSuffix ? L"-" : L"",
                              naming == kNamingSuffix ? suffix : L"")))
    return kFolderNotMade;
  FolderCheck check = HoldUserFolder(out, id, held, error, owner);
  if (naming != kNamingUndecided) return check;
  if (check == kFolderOk) {
    WriteNaming(L"");  // the SID's name is the user's from now on
    return check;
  }
  // Made first by another account (or a link put in its place) before the
  // user ever had it: the second name, for good.
  if ((check != kFolderOtherOwner && check != kFolderReparsePoint) || !DrawSuffix(suffix))
    return check;
  wchar_t taken[kPathUnits];
  StringCchCopyW(taken, kPathUnits, out);
  if (FAILED(StringCchPrintfW(out, kPathUnits, L"%s-%s", taken, suffix))) return kFolderNotMade;
  wchar_t why[kReportUnits];
  RefusalText(check, owner, why);
  LogLine(L"The folder %s is not used: %s; this user's job folders go to %s from now on.", taken,
          why, out);
  if (owner) owner[0] = L'\0';
  return HoldUserFolder(out, id, held, error, owner);
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

void RefusalText(FolderCheck check, const wchar_t* owner, wchar_t* text) {
  if (owner && owner[0])
    StringCchPrintfW(text, kReportUnits, L"%s (owner %s)", FolderCheckText(check), owner);
  else
    StringCchCopyW(text, kReportUnits, FolderCheckText(check));
}
