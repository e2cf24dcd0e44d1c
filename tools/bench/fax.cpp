// The fax document against its floor, in one run: FOLDER\page0.emf ...
// page<PAGES-1>.emf played into one 1-bit bitmap of the fax page's size and
// nothing else, then the same pages written as FOLDER\fax.tif as the road
// does it: the pages' headers counted, then drawn by its drawing child
// (orvlui2.exe /fax, in package\ beside this program: the child's start
// counts), and for information by the same code
// in this process; five rounds of each, alternating.
//   bench_fax FOLDER PAGES [standard]
// Prints "play MS", "fax MS" (the child), "inproc MS" (medians, wall time)
// and "bytes N" (fax.tif).
#include <stdio.h>
#include <stdlib.h>
#include <strsafe.h>
#include <windows.h>

#include "fax_document.h"
#include "job_road.h"

namespace {

double Now() {
  LARGE_INTEGER t, f;
  QueryPerformanceCounter(&t);
  QueryPerformanceFrequency(&f);
  return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

bool Play(const wchar_t* folder, int pages) {
  struct {
    BITMAPINFOHEADER h;
    RGBQUAD colours[2];
  } info = {};
  const int kRows = kFaxLongestInches * 196;
  info.h.biSize = sizeof(info.h);
  info.h.biWidth = 1728;
  info.h.biHeight = -kRows;
  info.h.biPlanes = 1;
  info.h.biBitCount = 1;
  info.colours[1].rgbRed = info.colours[1].rgbGreen = info.colours[1].rgbBlue = 255;
  void* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap =
      CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap) return false;
  HGDIOBJ old = SelectObject(dc, bitmap);
  bool ok = true;
  for (int page = 0; page < pages && ok; ++page) {
    wchar_t path[MAX_PATH];
    StringCchPrintfW(path, MAX_PATH, L"%s\\page%d.emf", folder, page);
    HENHMETAFILE emf = GetEnhMetaFileW(path);
    ENHMETAHEADER header;
    FaxPage place;
    ok = emf && GetEnhMetaFileHeader(emf, sizeof(header), &header) &&
         PlaceFaxPage(header.rclFrame, &place);
    if (ok) {
      PatBlt(dc, 0, 0, 1728, PieceDrawnRows(place, 0), WHITENESS);
      RECT area = {place.left, 0, place.left + place.width, place.drawnFullRows};
      ok = PlayEnhMetaFile(dc, emf, &area) != FALSE;
    }
    if (emf) DeleteEnhMetaFile(emf);
  }
  GdiFlush();
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return ok;
}

const int kRounds = 5;

double Median(double* v) {  // of kRounds, sorted in place
  for (int i = 1; i < kRounds; ++i)
    for (int j = i; j > 0 && v[j - 1] > v[j]; --j) {
      double t = v[j];
      v[j] = v[j - 1];
      v[j - 1] = t;
    }
  return v[kRounds / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  int pages = _wtoi(argv[2]);
  bool fine = !(argc > 3 && lstrcmpiW(argv[3], L"standard") == 0);
  wchar_t child[MAX_PATH], arguments[2 * MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, child, MAX_PATH);
  if (!n || n >= MAX_PATH) return 1;
  *wcsrchr(child, L'\\') = 0;
  StringCchCatW(child, MAX_PATH, L"\\package\\orvlui2.exe");
  SetDrawingChild(child, nullptr);
  double play[kRounds], fax[kRounds], inproc[kRounds];
  for (int round = 0; round < kRounds; ++round) {
    double t0 = Now();
    if (!Play(argv[1], pages)) return 1;
    // As the collector does it: the pages' headers counted, then the child.
    double t1 = Now();
    FaxPlan plan;
    if (PlanFaxDocument(argv[1], pages, &plan) != 0) return 1;
    StringCchPrintfW(arguments, ARRAYSIZE(arguments), L"/fax \"%s\" %d %s 0 %u", argv[1], pages,
                     fine ? L"Fine" : L"Standard", plan.faxPages);
    DWORD exit = 0;
    if (RunChild(arguments, argv[1], INFINITE - 1, nullptr, &exit) != 0 || ChildResult(exit) != 0)
      return 1;
    double t2 = Now();
    if (PlanFaxDocument(argv[1], pages, &plan) != 0 ||
        WriteFaxDocument(argv[1], pages, plan.faxPages, fine, nullptr) != 0)
      return 1;
    double t3 = Now();
    play[round] = t1 - t0;
    fax[round] = t2 - t1;
    inproc[round] = t3 - t2;
  }
  wchar_t path[MAX_PATH];
  StringCchPrintfW(path, MAX_PATH, L"%s\\fax.tif", argv[1]);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 1;
  printf("play %.1f\nfax %.1f\ninproc %.1f\nbytes %lu\n", Median(play), Median(fax), Median(inproc),
         data.nFileSizeLow);
  return 0;
}
