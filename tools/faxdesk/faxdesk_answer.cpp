// The fax desk driven as a user would drive it, for tools/check-send and the
// demo: runs the collector's fax desk in this process (the FaxServer value
// must be set), offers it one job folder, answers the recipient dialog like a
// user (finds the window, types, presses the buttons) and reads the notices.
//   faxdesk_answer FOLDER NUMBER NAME   send: a wrong number first (the dialog
//                                       must say so and stay), then NUMBER;
//                                       then the notices until one says the
//                                       job is done or failed for good
//   faxdesk_answer FOLDER cancel        Cancel in the dialog
// Prints one line per event ("dialog", "message: ...", "notice: ...",
// "notices after: N"); after "dialog" it waits for a line on its standard
// input (time for a screenshot). Exit code 0 when each step went as meant.
#include <strsafe.h>
#include <windows.h>

#include "fax_desk.h"
#include "send_ids.h"

namespace {

void Say(const wchar_t* format, ...) {
  wchar_t text[1024];
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(text, 1024, format, args);
  va_end(args);
  StringCchCatW(text, 1024, L"\r\n");
  char bytes[3072];
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
  DWORD written = 0;
  if (size > 1) WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, size - 1, &written, nullptr);
}

struct Search {
  bool dialog;  // the recipient dialog, or a notice box
  HWND found;
};

BOOL CALLBACK Find(HWND window, LPARAM param) {
  Search* s = reinterpret_cast<Search*>(param);
  wchar_t name[64], caption[64];
  GetClassNameW(window, name, 64);
  GetWindowTextW(window, caption, 64);
  if (lstrcmpW(name, L"#32770") || lstrcmpW(caption, ORVL_FAX_CAPTION) || !IsWindowVisible(window))
    return TRUE;
  if ((GetDlgItem(window, IDC_FAX_NUMBER) != nullptr) != s->dialog) return TRUE;
  s->found = window;
  return FALSE;
}

// Waits for the window to appear (the desk works on its own thread); null
// when it never does within a generous bound (a broken desk, not a slow one).
HWND WaitFor(bool dialog, DWORD patienceMs = 180 * 1000) {
  DWORD start = GetTickCount();
  for (;;) {
    Search s = {dialog, nullptr};
    EnumWindows(Find, reinterpret_cast<LPARAM>(&s));
    if (s.found) return s.found;
    if (GetTickCount() - start > patienceMs) return nullptr;
    Sleep(50);
  }
}

// The notice's text, then OK.
void ReadNotice(HWND box, wchar_t* text) {
  GetDlgItemTextW(box, 0xFFFF, text, 512);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  while (IsWindow(box)) Sleep(20);
}

void WaitLine() {
  char c = 0;
  DWORD got = 0;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(in, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  bool cancel = lstrcmpiW(argv[2], L"cancel") == 0;
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!StartFaxDesk(stop, L"", 300)) return 3;
  OfferFax(argv[1]);
  int failures = 0;
  HWND dialog = WaitFor(true);
  if (!dialog) {
    Say(L"no dialog");
    return 4;
  }
  Say(L"dialog");
  WaitLine();
  wchar_t text[512];
  if (cancel) {
    SendMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
  } else {
    SetDlgItemTextW(dialog, IDC_FAX_NUMBER, L"030 12x4");
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    GetDlgItemTextW(dialog, IDC_FAX_MESSAGE, text, 512);
    Say(L"message: %s", text);
    if (!IsWindow(dialog)) ++failures;
    SetDlgItemTextW(dialog, IDC_FAX_NUMBER, argv[2]);
    SetDlgItemTextW(dialog, IDC_FAX_NAME, argc > 3 ? argv[3] : L"");
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    // The send runs inside the click: a failure has put its words in the
    // dialog by now; a success has ended it, and the window goes soon.
    GetDlgItemTextW(dialog, IDC_FAX_MESSAGE, text, 512);
    if (IsWindow(dialog) && text[0] && lstrcmpW(text, L"Sending...")) {
      Say(L"still open: %s", text);
      return 5;
    }
    while (IsWindow(dialog)) Sleep(20);
    // "with the fax server", then "sent" or "not sent".
    for (int notice = 0; notice < 2; ++notice) {
      HWND box = WaitFor(false);
      if (!box) {
        Say(L"no notice");
        return 6;
      }
      ReadNotice(box, text);
      Say(L"notice: %s", text);
    }
    // The desk asks no more about a job it has told of: two more rounds, no notice.
    LONG rounds = FaxDeskRounds();
    while (FaxDeskRounds() < rounds + 2) Sleep(50);
    Search s = {false, nullptr};
    EnumWindows(Find, reinterpret_cast<LPARAM>(&s));
    Say(L"notices after: %d", s.found ? 1 : 0);
  }
  while (IsWindow(dialog)) Sleep(20);
  SetEvent(stop);
  EndFaxDesk();
  return failures;
}
