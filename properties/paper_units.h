// Units shared by the Paper Size page and the New Paper Form dialog.
#pragma once
#include <windows.h>

enum MeasureUnit { Metric = 0, English = 1 };

struct NewFormRequest {
  wchar_t name[32];
  double width;   // thousandths of a millimetre
  double length;  // thousandths of a millimetre
};

extern NewFormRequest g_newForm;

// The user's measurement system, or previous when the locale gives none.
MeasureUnit ReadLocaleUnit(MeasureUnit previous);

// "%.2f" into out (32 units).
void FormatSize(double value, wchar_t* out, size_t units);

// Reads a field as a number the locale-neutral way: at most 31 characters,
// leading blanks skipped, reading stops at the first character that does not
// fit; no number gives 0.
double ReadNumberField(HWND dialog, int id);

// Reads a field as ReadNumberField does, but exactly, in hundredths of the
// typed unit: digits beyond the second decimal are cut off (toward zero), so
// every value with two decimals is read as typed, free of binary rounding.
// No number gives 0; a value beyond any paper saturates far above the limits.
LONGLONG ReadHundredthsField(HWND dialog, int id);

// Thousandths of a millimetre for hundredths of a unit (x 10 or x 254).
LONGLONG HundredthsToMicrometres(LONGLONG hundredths, MeasureUnit unit);

struct PaperEntry {
  WORD id;
  wchar_t name[64];
  LONG width;   // tenths of a millimetre
  LONG length;  // tenths of a millimetre
};

INT_PTR CALLBACK NewFormDialogProc(HWND, UINT, WPARAM, LPARAM);
bool ValidateNewForm(HWND dialog);
void SwitchFormUnits(HWND dialog, MeasureUnit target);
extern MeasureUnit g_dialogUnit;
