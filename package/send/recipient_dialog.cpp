// The recipient dialog of the fax desk (send.rc) and the user's recent
// numbers it offers.
#include "recipient_dialog.h"

#include <strsafe.h>

#include "fax_send.h"
#include "road_log.h"
#include "send_ids.h"

namespace {

// The user's recent fax numbers: HKCU\Software\Orvalis "FaxRecent", one
// "number<TAB>name" a string (REG_MULTI_SZ), the newest first.
void ReadRecent(wchar_t (*recent)[kPathUnits], unsigned* count) {
  *count = 0;
  wchar_t path[kPathUnits];
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  wchar_t list[kRecentNumbers * kPathUnits + 2] = {};
  DWORD size = sizeof list - 2 * sizeof(wchar_t), type = 0;
  if (RegQueryValueExW(key, L"FaxRecent", nullptr, &type, reinterpret_cast<BYTE*>(list), &size) ==
          ERROR_SUCCESS &&
      type == REG_MULTI_SZ) {
    for (const wchar_t* s = list; *s && *count < kRecentNumbers; s += lstrlenW(s) + 1)
      StringCchCopyW(recent[(*count)++], kPathUnits, s);
  }
  RegCloseKey(key);
}

void RememberRecent(const wchar_t* number, const wchar_t* name) {
  wchar_t recent[kRecentNumbers][kPathUnits];
  unsigned count = 0;
  ReadRecent(recent, &count);
  wchar_t list[kRecentNumbers * kPathUnits + 2] = {};
  size_t used = 0;
  wchar_t entry[kPathUnits];
  StringCchPrintfW(entry, kPathUnits, L"%s\t%s", number, name);
  StringCchCopyW(list, kPathUnits, entry);
  used = lstrlenW(entry) + 1;
  for (unsigned i = 0, kept = 1; i < count && kept < kRecentNumbers; ++i) {
    wchar_t* tab = wcschr(recent[i], L'\t');
    size_t length = tab ? static_cast<size_t>(tab - recent[i]) : lstrlenW(recent[i]);
    if (length == static_cast<size_t>(lstrlenW(number)) && wcsncmp(recent[i], number, length) == 0)
      continue;  // the same number, now first
    StringCchCopyW(list + used, ARRAYSIZE(list) - used, recent[i]);
    used += lstrlenW(recent[i]) + 1;
    ++kept;
  }
  wchar_t path[kPathUnits];
  StringCchPrintfW(path, kPathUnits, L"Software\\%s", ORVL_PRODUCT_NAME);
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, L"FaxRecent", 0, REG_MULTI_SZ, reinterpret_cast<BYTE*>(list),
                 static_cast<DWORD>((used + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void ShowPassword(HWND dialog) {
  static const int kIds[] = {IDC_FAX_PASSWORD_LABEL, IDC_FAX_PASSWORD, IDC_FAX_REMEMBER};
  for (int id : kIds) ShowWindow(GetDlgItem(dialog, id), SW_SHOW);
  SetFocus(GetDlgItem(dialog, IDC_FAX_PASSWORD));
}

void OnInit(HWND dialog, Recipient* r) {
  SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(r));
  HWND number = GetDlgItem(dialog, IDC_FAX_NUMBER);
  for (unsigned i = 0; i < r->recentCount; ++i) {
    wchar_t* tab = wcschr(r->recent[i], L'\t');
    wchar_t shown[kPathUnits];
    if (tab)
      StringCchPrintfW(shown, kPathUnits, L"%.*s", static_cast<int>(tab - r->recent[i]),
                       r->recent[i]);
    else
      StringCchCopyW(shown, kPathUnits, r->recent[i]);
    SendMessageW(number, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown));
  }
  SetWindowTextW(number, r->ticket.number);
  SetDlgItemTextW(dialog, IDC_FAX_NAME, r->ticket.name);
  wchar_t quality[16] = {}, text[kPathUnits];
  GetPrivateProfileStringW(L"Fax", L"Quality", L"Standard", quality, ARRAYSIZE(quality),
                           r->ticket.path);
  UINT pages = GetPrivateProfileIntW(L"Fax", L"Pages", 0, r->ticket.path);
  StringCchPrintfW(text, kPathUnits, L"%u page%s, %s (%s dots per inch)", pages,
                   pages == 1 ? L"" : L"s", quality,
                   lstrcmpiW(quality, L"Fine") == 0 ? L"204 x 196" : L"204 x 98");
  SetDlgItemTextW(dialog, IDC_FAX_DOCUMENT, text);
  // The collector ends with the session or a removal: the dialog closes then.
  SetTimer(dialog, 1, 500, nullptr);
  SetForegroundWindow(dialog);
}

void OnRecentChosen(HWND dialog, Recipient* r) {
  LRESULT chosen = SendDlgItemMessageW(dialog, IDC_FAX_NUMBER, CB_GETCURSEL, 0, 0);
  if (chosen < 0 || static_cast<unsigned>(chosen) >= r->recentCount) return;
  const wchar_t* tab = wcschr(r->recent[chosen], L'\t');
  SetDlgItemTextW(dialog, IDC_FAX_NAME, tab ? tab + 1 : L"");
}

void OnSend(HWND dialog, Recipient* r) {
  GetDlgItemTextW(dialog, IDC_FAX_NUMBER, r->number, kPathUnits);
  GetDlgItemTextW(dialog, IDC_FAX_NAME, r->name, kPathUnits);
  if (!IsValidFaxNumber(r->number)) {
    SetDlgItemTextW(dialog, IDC_FAX_MESSAGE,
                    L"Please type the fax number with digits, spaces, + - ( ) only.");
    SetFocus(GetDlgItem(dialog, IDC_FAX_NUMBER));
    return;
  }
  wchar_t note[kPathUnits], typed[kPathUnits];
  GetDlgItemTextW(dialog, IDC_FAX_NOTE, note, kPathUnits);
  GetDlgItemTextW(dialog, IDC_FAX_PASSWORD, typed, kPathUnits);
  if (typed[0]) StringCchCopyW(r->account.password, kPathUnits, typed);
  SetDlgItemTextW(dialog, IDC_FAX_MESSAGE, L"Sending...");
  UpdateWindow(dialog);
  SendRequest request = {r->folder,
                         r->number,
                         r->name,
                         note,
                         r->server,
                         r->account.user,
                         r->account.password[0] ? r->account.password : nullptr};
  SendOutcome outcome;
  SendFax(request, &outcome);
  bool typedOne = typed[0] != L'\0';
  SecureZeroMemory(typed, sizeof typed);
  if (outcome.result == kSendOk || outcome.result == kSendAlreadySent) {
    if (typedOne && IsDlgButtonChecked(dialog, IDC_FAX_REMEMBER) == BST_CHECKED)
      RememberFaxPassword(r->account.password);
    RememberRecent(r->number, r->name);
    r->jobId = outcome.jobId;
    EndDialog(dialog, IDOK);
    return;
  }
  LogLine(L"Fax %s\\fax.tif to %s not sent (%d): %s; the document stays", r->folder, r->number,
          outcome.result, outcome.reply);
  wchar_t text[kReportUnits];
  if (outcome.result == kSendLoginRefused && !r->account.password[0]) {
    ShowPassword(dialog);
    StringCchPrintfW(text, kReportUnits, L"The fax server asks for your password (%s).",
                     outcome.reply);
  } else {
    if (outcome.result == kSendLoginRefused) r->account.password[0] = L'\0';
    StringCchPrintfW(text, kReportUnits,
                     L"Not sent: %s.\r\nPress Send to try again; Cancel keeps the document.",
                     outcome.reply);
  }
  SetDlgItemTextW(dialog, IDC_FAX_MESSAGE, text);
}

INT_PTR CALLBACK RecipientProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Recipient* r = reinterpret_cast<Recipient*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      OnInit(dialog, reinterpret_cast<Recipient*>(lParam));
      return FALSE;  // the focus was set
    case WM_TIMER:
      if (WaitForSingleObject(r->account.stop, 0) == WAIT_OBJECT_0) EndDialog(dialog, IDABORT);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          OnSend(dialog, r);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        case IDC_FAX_NUMBER:
          if (HIWORD(wParam) == CBN_SELCHANGE) OnRecentChosen(dialog, r);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

INT_PTR AskRecipient(Recipient* r) {
  ReadRecent(r->recent, &r->recentCount);
  // The dialog's template is in the program that runs the desk.
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_FAX_RECIPIENT), nullptr,
                         RecipientProc, reinterpret_cast<LPARAM>(r));
}
