// The setup caption, the plain message boxes and the error box.
#include <strsafe.h>

#include "report_error.h"
#include "setup.h"

SetupState g_setup = {};
StagingRecord g_staging;

const wchar_t kUnsupportedWindowsText[] =
    L"This is an unsupported version of windows, the %PRINTER_NAME% printer will not be "
    L"installed.";
const wchar_t kAlreadyInstalledText[] =
    L"The \"%PRINTER_NAME%\" printer is already installed on your computer. Please uninstall "
    L"the %PRINTER_NAME% application through the control panel to remove it.";
const wchar_t kInstallFailedText[] =
    L"There was an error installing the printer driver. Please contact support.";
const wchar_t kInstalledText[] =
    L"The %PRINTER_NAME% printer has been installed and is now available from all of your "
    L"applications.";

namespace {

// Replaces every occurrence of from by to in text (bounded by units); an
// overlong result is cut at the buffer's end.
void ReplaceAll(wchar_t* text, size_t units, const wchar_t* from, const wchar_t* to) {
  wchar_t result[kReportUnits];
  result[0] = L'\0';
  size_t fromLen = lstrlenW(from);
  const wchar_t* p = text;
  while (*p) {
    const wchar_t* hit = wcsstr(p, from);
    if (!hit) {
      StringCchCatW(result, kReportUnits, p);
      break;
    }
    StringCchCatNW(result, kReportUnits, p, static_cast<size_t>(hit - p));
    StringCchCatW(result, kReportUnits, to);
    p = hit + fromLen;
  }
  StringCchCopyW(text, units, result);
}

}  // namespace

bool SomeoneCanAnswer() {
  // MSDN (Window Station and Desktop Creation): only the interactive window
  // station WinSta0 has WSF_VISIBLE; services, session 0 on Vista and later,
  // and Group Policy's start-up installs run on one without it, where a modal
  // box waits for ever. A failed query keeps the boxes, as at a desktop.
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  HWINSTA station = GetProcessWindowStation();
  if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed))
    return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

int ShowSetupMessage(const wchar_t* text) {
  wchar_t shown[kReportUnits];
  StringCchCopyW(shown, kReportUnits, text ? text : L"");
  ReplaceAll(shown, kReportUnits, L"%PRINTER_NAME%", ORVL_PRODUCT_NAME);
  ReplaceAll(shown, kReportUnits, L"\\n", L"\n");
  if (!SomeoneCanAnswer()) return 0;
  return MessageBoxW(nullptr, shown, g_setup.caption, kSetupBoxStyle);
}

int ShowSetupBox(const wchar_t* text, UINT type) {
  if (!SomeoneCanAnswer()) return 0;
  return MessageBoxW(nullptr, text, g_setup.caption, type);
}

DWORD ReportError(const wchar_t* context, DWORD error, HWND owner) {
  static wchar_t report[kReportUnits];
  DWORD reported = FormatErrorReport(context, error, 0x0400, report, kReportUnits);
  if (reported == 0) return 0;
  if (SomeoneCanAnswer()) MessageBoxW(owner, report, g_setup.caption, kSetupBoxStyle);
  return reported;
}
