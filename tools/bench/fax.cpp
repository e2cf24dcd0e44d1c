// The fax document against its floor, in one run: FOLDER\page0.emf ...
// page<PAGES-1>.emf played into one 1-bit bitmap of the fax page's size and
// nothing else; then the same pages written as FOLDER\fax.tif as the
// collector does it (the pages' headers counted, then drawn by the drawing
// child it keeps for its session: orvlui2.exe in package\ beside this
// program); and for information by a drawing child of its own (its start
// included, as for a job with embedded fonts) and by the same code in this
// process. Five rounds of each, alternating, after a first job that starts
// the kept child.
//   bench_fax FOLDER PAGES [standard]
// Prints "play MS", "fax MS" (the kept child), "first MS" (the first job,
// the kept child's start included), "own MS" (a child of its own), "inproc
// MS" (medians, wall time) and "bytes N" (fax.tif).
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

// The fax document as the collector makes it: the pages' headers counted,
// then drawn by its drawing child.
bool Road(const wchar_t* folder, int pages, bool fine) {
  FaxPlan plan;
  return PlanFaxDocument(folder, pages, &plan) == 0 &&
         DrawFaxInChild(folder, pages, fine, 0, plan.faxPages, nullptr) == kExtractOk;
}

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
  KeepDrawingChild(true);
  // The session's first job starts the kept child.
  double t = Now();
  if (!Road(argv[1], pages, fine)) return 1;
  const double first = Now() - t;
  double play[kRounds], fax[kRounds], own[kRounds], inproc[kRounds];
  for (int round = 0; round < kRounds; ++round) {
    double t0 = Now();
    if (!Play(argv[1], pages)) return 1;
    double t1 = Now();
    if (!Road(argv[1], pages, fine)) return 1;
    // A child of its own, as a job with embedded fonts gets.
    double t2 = Now();
    FaxPlan plan;
    if (PlanFaxDocument(argv[1], pages, &plan) != 0) return 1;
    StringCchPrintfW(arguments, ARRAYSIZE(arguments), L"/fax \"%s\" %d %s 0 %u", argv[1], pages,
                     fine ? L"Fine" : L"Standard", plan.faxPages);
    DWORD exit = 0;
    if (RunChild(arguments, argv[1], INFINITE - 1, nullptr, &exit) != 0 || ChildResult(exit) != 0)
      return 1;
    double t3 = Now();
    if (PlanFaxDocument(argv[1], pages, &plan) != 0 ||
        WriteFaxDocument(argv[1], pages, plan.faxPages, fine, nullptr) != 0)
      return 1;
    double t4 = Now();
    play[round] = t1 - t0;
    fax[round] = t2 - t1;
    own[round] = t3 - t2;
    inproc[round] = t4 - t3;
  }
  KeepDrawingChild(false);
  wchar_t path[MAX_PATH];
  StringCchPrintfW(path, MAX_PATH, L"%s\\fax.tif", argv[1]);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 1;
  printf("play %.1f\nfax %.1f\nfirst %.1f\nown %.1f\ninproc %.1f\nbytes %lu\n", Median(play),
         Median(fax), first, Median(own), Median(inproc), data.nFileSizeLow);
  return 0;
}
