// The fax document: a job's pages drawn with GDI and written as one TIFF
// Class F file (1728 pixels wide, 1 bit per pixel, T.4 one-dimensional, 204 x
// 98 or 204 x 196 dpi), the form fax software sends as it is.
#pragma once

#include <windows.h>

// What PlanFaxDocument and WriteFaxDocument report.
enum FaxResult : int {
  kFaxOk = 0,
  kFaxFailed,       // memory, or an unexpected system failure
  kFaxCannotWrite,  // fax.tif cannot be written, or a page path is too long
  kFaxCannotDraw,   // GDI refused (or faulted on) a page, or a page has no area
  kFaxStopped,      // stopped on request
  kFaxTooLarge,     // more fax pages than a TIFF numbers, or past its 4 GB of offsets
};

// The longest fax page, in inches of fax length; a longer page continues on
// the next fax page (or pages) of the document.
const int kFaxLongestInches = 14;
// PageNumber is a SHORT: pages 0 to 65534 of at most 65535.
const DWORD kFaxMostPages = 65535;

// A page placed on the fax. Pages are drawn at Fine (square pixels, so
// glyphs keep their shape); a Standard line is two drawn lines joined.
struct FaxPage {
  int left;           // first column drawn (the page is centred)
  int width;          // columns drawn
  bool turned;        // a landscape page, turned a quarter to read upright
  int drawnFullRows;  // drawn lines the whole page takes (7.7 a mm)
  int pieces;         // fax pages it takes: more than one for a page longer than the longest
};

// Places a page whose EMF frame (rclFrame, 0.01 mm) is given on the fax:
// true size, only a page wider than 1728 pixels scaled down, proportions kept.
// False for a frame without area.
bool PlaceFaxPage(const RECTL& frame, FaxPage* page);
// Drawn lines of one fax page (piece) of a placed page: the longest fax page's,
// but the last piece's rest.
int PieceDrawnRows(const FaxPage& page, int piece);
// Its fax lines: the drawn lines at Fine, half of them at Standard, an odd
// last line kept (joined with white).
int PieceRows(const FaxPage& page, int piece, bool fine);

struct FaxPlan {
  DWORD faxPages;    // pages fax.tif will hold
  DWORD splitPages;  // pages longer than the longest fax page, each continued on the next
};

// Reads the frame of folder\page0.emf ... page<pages-1>.emf and counts the
// fax pages they make, before anything is drawn: kFaxOk, kFaxCannotDraw (a
// page whose header cannot be read or has no area), kFaxTooLarge (more than
// kFaxMostPages), kFaxFailed.
int PlanFaxDocument(const wchar_t* folder, DWORD pages, FaxPlan* plan);

// Draws folder\page0.emf ... page<pages-1>.emf into folder\fax.tif, page by
// page; faxPages is the count PlanFaxDocument made of them, and pages that
// draw to another count fail with kFaxCannotDraw. Fonts the caller has
// loaded into the process are used. Returns a FaxResult; on failure the
// caller removes fax.tif.
int WriteFaxDocument(const wchar_t* folder, DWORD pages, DWORD faxPages, bool fine, HANDLE stop);
