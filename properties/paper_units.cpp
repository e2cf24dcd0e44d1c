// Units, number reading and display format shared by the paper page and the
// New Paper Form dialog.
#include "paper_units.h"

#include <stdlib.h>
#include <strsafe.h>

NewFormRequest g_newForm;

MeasureUnit ReadLocaleUnit(MeasureUnit previous) {
  wchar_t text[2] = {0, 0};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IMEASURE, text, 2) > 0) {
    return text[0] == L'1' ? English : Metric;
  }
  return previous;
}

void FormatSize(double value, wchar_t* out, size_t units) {
  StringCchPrintfW(out, units, L"%.2f", value);
}

double ReadNumberField(HWND dialog, int id) {
  wchar_t text[32] = {0};
  GetDlgItemTextW(dialog, id, text, 32);
  // The program never changes the C runtime's locale, so wcstod reads the
  // classic format with "." as the decimal point.
  return wcstod(text, nullptr);
}
