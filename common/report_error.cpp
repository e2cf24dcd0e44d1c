#include "report_error.h"

#include <strsafe.h>

#include "product.h"

void SystemErrorText(DWORD error, DWORD language, wchar_t* out, size_t outUnits) {
  if (outUnits == 0) return;
  out[0] = L'\0';
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, language, out, static_cast<DWORD>(outUnits), nullptr);
  if (n == 0) out[0] = L'\0';
  out[outUnits - 1] = L'\0';
}

DWORD FormatErrorReport(const wchar_t* context, DWORD error, DWORD language, wchar_t* out,
                        size_t outUnits) {
  if (outUnits) out[0] = L'\0';
  if (error == 0) error = GetLastError();
  if (error == 0) return 0;
  wchar_t systemText[kSystemTextUnits];
  SystemErrorText(error, language, systemText, kSystemTextUnits);
  // A context too long for the buffer is cut; never written past it.
  StringCchPrintfW(out, outUnits, L"%s\nError # %d: %s", context ? context : L"",
                   static_cast<int>(error), systemText);
  return error;
}
