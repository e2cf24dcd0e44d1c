// The fax document: a job's pages drawn with GDI and written as one TIFF
// Class F file (1728 pixels wide, 1 bit per pixel, T.4 one-dimensional, 204 x
// 98 or 204 x 196 dpi), the form fax software sends as it is.
#pragma once

#include <windows.h>

// What WriteFaxDocument reports.
enum FaxResult : int {
  kFaxOk = 0,
  kFaxFailed,       // memory, or an unexpected system failure
  kFaxCannotWrite,  // fax.tif cannot be written, or a page path is too long
  kFaxCannotDraw,   // GDI refused (or faulted on) a page
  kFaxStopped,      // stopped on request
};

// The longest page drawn, in inches of fax length; a page that would be
// longer is cut there.
const int kFaxLongestInches = 14;

struct FaxPage {
  int rows;      // fax lines of the page (its length at 3.85 or 7.7 lines per mm)
  int left;      // first column drawn (the page is centred)
  int width;     // columns drawn
  int fullRows;  // lines the whole page would take; more than rows when cut
  bool turned;   // a landscape page, turned a quarter to read upright
  // Pages are drawn at Fine (square pixels, so glyphs keep their shape); a
  // Standard line is two drawn lines joined.
  int drawnRows, drawnFullRows;
};

// Places a page whose EMF frame (rclFrame, 0.01 mm) is given on the fax:
// true size, only a page wider than 1728 pixels scaled down, proportions kept.
// False for a frame without area.
bool PlaceFaxPage(const RECTL& frame, bool fine, FaxPage* page);

// Draws folder\page0.emf ... page<pages-1>.emf into folder\fax.tif, page by
// page. Fonts the caller has loaded into the process are used. Returns a
// FaxResult; on failure the caller removes fax.tif.
int WriteFaxDocument(const wchar_t* folder, DWORD pages, bool fine, HANDLE stop);
