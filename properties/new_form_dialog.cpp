// New Paper Form dialog: a form name unknown to the printer and a size within
// 25 x 25 mm and the A0 sheet, typed in millimetres or inches.
#include <strsafe.h>

#include "paper_units.h"
#include "properties.h"
#include "resource_ids.h"

MeasureUnit g_dialogUnit = Metric;

namespace {

wchar_t g_printer[] = ORVL_PRODUCT_NAME;

void SetUnitTexts(HWND dialog, MeasureUnit unit) {
  bool inches = unit == English;
  SetDlgItemTextW(dialog, IDC_WIDTH_UNIT, inches ? L"in" : L"mm");
  SetDlgItemTextW(dialog, IDC_LENGTH_UNIT, inches ? L"in" : L"mm");
  SetDlgItemTextW(dialog, IDC_WIDTH_RANGE, inches ? L"[1 ... 33]" : L"[25 ... 841]");
  SetDlgItemTextW(dialog, IDC_LENGTH_RANGE, inches ? L"[1 ... 46]" : L"[25 ... 1189]");
}

// Exact comparison of UTF-16 units (lstrcmpW would follow the locale).
bool SameUnits(const wchar_t* a, const wchar_t* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

bool NameIsTakenExact(const wchar_t* name);

}  // namespace

bool ValidateNewForm(HWND dialog) {
  wchar_t name[32] = {0};
  GetDlgItemTextW(dialog, IDC_FORM_NAME, name, 32);
  double width = ReadNumberField(dialog, IDC_WIDTH);
  double length = ReadNumberField(dialog, IDC_LENGTH);
  if (g_dialogUnit == English) {
    width *= 25.4;
    length *= 25.4;
  }
  // The sizes as they will be stored must lie within the limits too: 0.985
  // inch passes above as 25.02 mm but is stored as 0.98 inch, 24.89 mm.
  LONGLONG storedWidth =
      HundredthsToMicrometres(ReadHundredthsField(dialog, IDC_WIDTH), g_dialogUnit);
  LONGLONG storedLength =
      HundredthsToMicrometres(ReadHundredthsField(dialog, IDC_LENGTH), g_dialogUnit);
  bool ok = name[0] != L'\0' && !NameIsTakenExact(name) && width >= 25 && width <= 841 &&
            length >= 25 && length <= 1189 && storedWidth >= 25000 && storedWidth <= 841000 &&
            storedLength >= 25000 && storedLength <= 1189000;
  EnableWindow(GetDlgItem(dialog, IDOK), ok ? TRUE : FALSE);
  return ok;
}

namespace {

bool NameIsTakenExact(const wchar_t* name) {
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
  HANDLE printer = nullptr;
  if (!OpenPrinterW(g_printer, &printer, &defaults)) return false;
  bool taken = false;
  DWORD needed = 0;
  DWORD count = 0;
  EnumFormsW(printer, 1, nullptr, 0, &needed, &count);
  if (needed != 0) {
    BYTE* buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
    if (buffer && EnumFormsW(printer, 1, buffer, needed, &needed, &count)) {
      const FORM_INFO_1W* forms = reinterpret_cast<const FORM_INFO_1W*>(buffer);
      for (DWORD i = 0; i < count && !taken; ++i) {
        if (forms[i].pName && SameUnits(forms[i].pName, name)) taken = true;
      }
    }
    if (buffer) HeapFree(GetProcessHeap(), 0, buffer);
  }
  ClosePrinter(printer);
  return taken;
}

}  // namespace

void SwitchFormUnits(HWND dialog, MeasureUnit target) {
  double width = ReadNumberField(dialog, IDC_WIDTH);
  double length = ReadNumberField(dialog, IDC_LENGTH);
  if (target == English) {
    width /= 25.4;
    length /= 25.4;
  } else {
    width *= 25.4;
    length *= 25.4;
  }
  SetUnitTexts(dialog, target);
  wchar_t text[32];
  FormatSize(width, text, 32);
  SetDlgItemTextW(dialog, IDC_WIDTH, text);
  FormatSize(length, text, 32);
  SetDlgItemTextW(dialog, IDC_LENGTH, text);
}

INT_PTR CALLBACK NewFormDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowTextW(dialog, L"New Paper Form");
      SendDlgItemMessageW(dialog, IDC_FORM_NAME, EM_LIMITTEXT, 31, 0);
      g_dialogUnit = ReadLocaleUnit(g_dialogUnit);
      CheckDlgButton(dialog, IDC_METRIC, g_dialogUnit == Metric ? BST_CHECKED : BST_UNCHECKED);
      CheckDlgButton(dialog, IDC_ENGLISH, g_dialogUnit == English ? BST_CHECKED : BST_UNCHECKED);
      // The labels and ranges always name the unit that is checked.
      SetUnitTexts(dialog, g_dialogUnit);
      ValidateNewForm(dialog);
      return TRUE;
    case WM_COMMAND: {
      WORD id = LOWORD(wParam);
      WORD code = HIWORD(wParam);
      if (code == EN_CHANGE && (id == IDC_FORM_NAME || id == IDC_WIDTH || id == IDC_LENGTH)) {
        ValidateNewForm(dialog);
        return TRUE;
      }
      if (id == IDC_METRIC && code == BN_CLICKED) {
        if (g_dialogUnit == English) {
          SwitchFormUnits(dialog, Metric);
          g_dialogUnit = Metric;
          CheckDlgButton(dialog, IDC_METRIC, BST_CHECKED);
          CheckDlgButton(dialog, IDC_ENGLISH, BST_UNCHECKED);
          ValidateNewForm(dialog);
        }
        return TRUE;
      }
      if (id == IDC_ENGLISH && code == BN_CLICKED) {
        if (g_dialogUnit == Metric) {
          SwitchFormUnits(dialog, English);
          g_dialogUnit = English;
          CheckDlgButton(dialog, IDC_METRIC, BST_UNCHECKED);
          CheckDlgButton(dialog, IDC_ENGLISH, BST_CHECKED);
          ValidateNewForm(dialog);
        }
        return TRUE;
      }
      if (id == IDOK && code == BN_CLICKED) {
        // Enter reaches the default button even while it is disabled.
        if (!ValidateNewForm(dialog)) return TRUE;
        GetDlgItemTextW(dialog, IDC_FORM_NAME, g_newForm.name, 32);
        // From the typed digits, not from a binary double: 32.05 x 1000 in
        // doubles is 32049.99..., which the form's truncation would store
        // as 32049.
        g_newForm.width = static_cast<double>(
            HundredthsToMicrometres(ReadHundredthsField(dialog, IDC_WIDTH), g_dialogUnit));
        g_newForm.length = static_cast<double>(
            HundredthsToMicrometres(ReadHundredthsField(dialog, IDC_LENGTH), g_dialogUnit));
        EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (id == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}
