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

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Far beyond the largest paper in any unit, and far from overflowing.
const LONGLONG kSaturated = 1000000000000LL;

LONGLONG Shifted(LONGLONG value, int digit) {
  if (value >= kSaturated / 10) return kSaturated;
  return value * 10 + digit;
}

LONGLONG ParseHundredths(const wchar_t* s) {
  // The grammar of the number reading: blanks, a sign, digits with an
  // optional "." and an optional exponent.
  while (*s == L' ' || (*s >= L'\t' && *s <= L'\r')) ++s;
  bool negative = false;
  if (*s == L'+' || *s == L'-') negative = *s++ == L'-';
  const wchar_t* integer = s;
  while (IsDigit(*s)) ++s;
  long integerDigits = static_cast<long>(s - integer);
  const wchar_t* fraction = s;
  long fractionDigits = 0;
  if (*s == L'.') {
    fraction = ++s;
    while (IsDigit(*s)) ++s;
    fractionDigits = static_cast<long>(s - fraction);
  }
  if (integerDigits + fractionDigits == 0) return 0;
  long exponent = 0;
  if (*s == L'e' || *s == L'E') {
    const wchar_t* e = s + 1;
    bool below = false;
    if (*e == L'+' || *e == L'-') below = *e++ == L'-';
    for (; IsDigit(*e); ++e)
      if (exponent < 100000) exponent = exponent * 10 + (*e - L'0');
    if (below) exponent = -exponent;
  }
  // The hundredths are the leading digits up to two places after the point
  // the exponent moves; any digits after them are cut off.
  long keep = integerDigits + exponent + 2;
  LONGLONG value = 0;
  for (long i = 0; i < keep && value < kSaturated; ++i) {
    int digit = 0;
    if (i < integerDigits)
      digit = integer[i] - L'0';
    else if (i - integerDigits < fractionDigits)
      digit = fraction[i - integerDigits] - L'0';
    value = Shifted(value, digit);
  }
  return negative ? -value : value;
}

}  // namespace

LONGLONG ReadHundredthsField(HWND dialog, int id) {
  wchar_t text[32] = {0};
  GetDlgItemTextW(dialog, id, text, 32);
  return ParseHundredths(text);
}

LONGLONG HundredthsToMicrometres(LONGLONG hundredths, MeasureUnit unit) {
  return hundredths * (unit == English ? 254 : 10);
}

double ReadNumberField(HWND dialog, int id) {
  wchar_t text[32] = {0};
  GetDlgItemTextW(dialog, id, text, 32);
  // The program never changes the C runtime's locale, so wcstod reads the
  // classic format with "." as the decimal point.
  return wcstod(text, nullptr);
}
