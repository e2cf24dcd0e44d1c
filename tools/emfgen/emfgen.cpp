// Writes a print job as the converter receives it: COUNT pages drawn with GDI
// into enhanced metafiles, and the job ticket that lists them.
//   emfgen DIR COUNT [DEVICE]
// DIR\page0.emf ... and DIR\job.ini; DEVICE defaults to the product's printer.
#include <windows.h>
#include <strsafe.h>
#include <stdlib.h>

#include "product.h"

namespace {

bool DrawPage(const wchar_t* path, int page, int pages) {
  // A letter-size fax page in 0.01 mm units.
  RECT frame = {0, 0, 21590, 27940};
  HDC dc = CreateEnhMetaFileW(nullptr, path, &frame, L"Orvalis demo\0job page\0");
  if (!dc) return false;
  SetMapMode(dc, MM_ANISOTROPIC);
  SetWindowExtEx(dc, 1728, 2200, nullptr);  // 204 dpi across, as the fax modes print
  SetViewportExtEx(dc, 1728, 2200, nullptr);
  Rectangle(dc, 40, 40, 1688, 2160);
  HFONT font = CreateFontW(-64, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Arial");
  HGDIOBJ old = SelectObject(dc, font);
  wchar_t text[128];
  StringCchPrintfW(text, 128, L"%s fax, page %d of %d", ORVL_PRODUCT_NAME, page + 1, pages);
  TextOutW(dc, 120, 120, text, lstrlenW(text));
  SelectObject(dc, old);
  DeleteObject(font);
  for (int y = 400; y < 2000; y += 80) {
    MoveToEx(dc, 120, y, nullptr);
    LineTo(dc, 1600 - (y % 400), y);
  }
  HENHMETAFILE emf = CloseEnhMetaFile(dc);
  if (!emf) return false;
  DeleteEnhMetaFile(emf);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const wchar_t* dir = argv[1];
  int pages = _wtoi(argv[2]);
  const wchar_t* device = argc > 3 ? argv[3] : ORVL_PRODUCT_NAME;
  CreateDirectoryW(dir, nullptr);
  wchar_t ticket[kPathUnits];
  StringCchPrintfW(ticket, kPathUnits, L"%s\\job.ini", dir);
  DeleteFileW(ticket);
  WritePrivateProfileStringW(L"Device", L"DeviceName", device, ticket);
  wchar_t value[kPathUnits];
  StringCchPrintfW(value, kPathUnits, L"%d", pages);
  WritePrivateProfileStringW(L"EMF", L"Count", value, ticket);
  for (int i = 0; i < pages; ++i) {
    wchar_t path[kPathUnits];
    wchar_t key[32];
    StringCchPrintfW(path, kPathUnits, L"%s\\page%d.emf", dir, i);
    if (!DrawPage(path, i, pages)) return 1;
    StringCchPrintfW(key, 32, L"File%d", i);
    WritePrivateProfileStringW(L"EMF", key, path, ticket);
  }
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, ticket);
  return 0;
}
