// Pages to the fax document. Each page is drawn into one reused bitmap
// (fax_page_draw.cpp), coded with T.4 and appended to fax.tif with its
// directory (fax_tiff.cpp): memory stays one page bitmap whatever the number
// of pages.
#include "fax_document.h"

#include <strsafe.h>

#include "fax_parts.h"
#include "product.h"
#include "scoped.h"

namespace {

const double kDotsPerMm = 204.0 / 25.4;  // across
const double kFineLinesPerMm = 7.7;      // down, the fax's own line rates
// Standard is half of it, 3.85: two drawn lines make one.

int LongestFineRows() { return kFaxLongestInches * 196; }

// A white line coded: fill bits and EOL, white 1728 (makeup 1728, then
// terminating 0), padded to a byte.
const BYTE kWhiteLine[] = {0x00, 0x01, 0x4D, 0x9A, 0x80};

bool PagePath(const wchar_t* folder, DWORD page, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\page%u.emf", folder, page));
}

// One fax page: its lines made 1-bit and coded into coded (room for the
// longest page), then written with its directory ahead of them.
int CodePage(Tiff& t, const Canvas& c, const PageDraw& d, bool fine, DWORD page, DWORD pages,
             BYTE* row, BYTE* coded, BYTE* turned) {
  const FaxPage& p = d.place;
  const int rows = PieceRows(p, d.piece, fine);
  DWORD stripBytes = 0;
  for (int y = 0; y < rows; ++y) {
    int drawn = fine ? y : 2 * y;
    // At Standard an odd last line is joined with white.
    bool pair = !fine && drawn + 1 < d.drawnRows;
    const BYTE *line, *next = nullptr;
    if (p.turned) {
      TurnedLine(c, p, d.drawnRows, drawn, turned);
      if (pair) TurnedLine(c, p, d.drawnRows, drawn + 1, turned + kFaxWidth);
      line = turned;
      if (pair) next = turned + kFaxWidth;
    } else {
      const size_t bytesPerLine = d.pure ? kFaxWidth / 8 : kFaxWidth;
      line = c.bits + drawn * bytesPerLine;
      if (pair) next = line + bytesPerLine;
    }
    // A line of paper only, most of a text page, has one coding.
    if (d.pure ? PureToBits(line, next, row) : ToBits(line, next, y, row)) {
      stripBytes += T4CodeRow(row, kFaxWidth, coded + stripBytes);
    } else {
      CopyMemory(coded + stripBytes, kWhiteLine, sizeof(kWhiteLine));
      stripBytes += sizeof(kWhiteLine);
    }
  }
  WriteTiffPage(t, coded, stripBytes, rows, fine, page, pages);
  return t.ok ? kFaxOk : t.tooLarge ? kFaxTooLarge : kFaxCannotWrite;
}

// The frame of a page's EMF header: read from the file, as the header may be
// any of its sizes (88, 100 or 108 bytes), each holding rclFrame.
bool ReadFrame(const wchar_t* path, RECTL* frame) {
  ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  BYTE head[40];
  DWORD got = 0;
  if (!file || !ReadFile(file.get(), head, sizeof(head), &got, nullptr) || got != sizeof(head))
    return false;
  ENHMETAHEADER h;
  CopyMemory(&h, head, sizeof(head));
  if (h.iType != EMR_HEADER || h.nSize < 88) return false;
  *frame = h.rclFrame;
  return true;
}

struct Document {
  Tiff* t;
  Canvas* c;
  const wchar_t* folder;
  DWORD pages, faxPages;
  bool fine;
  HANDLE stop;
  BYTE *row, *coded, *turned;
};

int DrawPages(Document& doc) {
  DWORD faxPage = 0;
  for (DWORD page = 0; page < doc.pages; ++page) {
    if (doc.stop && WaitForSingleObject(doc.stop, 0) == WAIT_OBJECT_0) return kFaxStopped;
    wchar_t path[kPathUnits];
    if (!PagePath(doc.folder, page, path)) return kFaxCannotWrite;
    PageDraw d = {doc.c, nullptr, {}, 0, 0, false, FALSE};
    d.emf = GetEnhMetaFileW(path);
    if (!d.emf) return kFaxCannotDraw;
    // The frame from the open page (a short header is copied as it is, its
    // rclFrame in the same place): opening each file once more costs about
    // a tenth of drawing a text page under Wine.
    ENHMETAHEADER header = {};
    if (GetEnhMetaFileHeader(d.emf, sizeof(header), &header) < 40 ||
        !PlaceFaxPage(header.rclFrame, &d.place)) {
      DeleteEnhMetaFile(d.emf);
      return kFaxCannotDraw;
    }
    d.pure = !d.place.turned && PageIsPure(d.emf);
    int code = kFaxOk;
    for (; d.piece < d.place.pieces && code == kFaxOk; ++d.piece) {
      if (faxPage >= doc.faxPages) {
        code = kFaxCannotDraw;  // the pages changed since they were counted
        break;
      }
      d.drawnRows = PieceDrawnRows(d.place, d.piece);
      DrawPage(&d);
      if (!d.played) code = kFaxCannotDraw;
      if (code == kFaxOk)
        code = CodePage(*doc.t, *doc.c, d, doc.fine, faxPage++, doc.faxPages, doc.row, doc.coded,
                        doc.turned);
    }
    DeleteEnhMetaFile(d.emf);
    if (code != kFaxOk) return code;
  }
  return faxPage == doc.faxPages ? kFaxOk : kFaxCannotDraw;
}

}  // namespace

bool PlaceFaxPage(const RECTL& frame, FaxPage* page) {
  // rclFrame is inclusive-inclusive, in 0.01 mm.
  double wide = (static_cast<double>(frame.right) - frame.left + 1) / 100.0;
  double high = (static_cast<double>(frame.bottom) - frame.top + 1) / 100.0;
  if (!(wide > 0.01 && high > 0.01)) return false;
  page->turned = wide > high;
  double across = page->turned ? high : wide, down = page->turned ? wide : high;
  double scale = across * kDotsPerMm > kFaxWidth ? kFaxWidth / (across * kDotsPerMm) : 1.0;
  page->width = static_cast<int>(across * kDotsPerMm * scale + 0.5);
  if (page->width > kFaxWidth) page->width = kFaxWidth;
  if (page->width < 1) page->width = 1;
  page->left = (kFaxWidth - page->width) / 2;
  double rows = down * kFineLinesPerMm * scale + 0.5;
  // A frame of up to 21 km stays below 2^31 lines (and far more fax pages
  // than a document holds).
  page->drawnFullRows = rows > 2e9 ? 2000000000 : static_cast<int>(rows);
  if (page->drawnFullRows < 2) page->drawnFullRows = 2;
  page->pieces = (page->drawnFullRows + LongestFineRows() - 1) / LongestFineRows();
  return true;
}

int PieceDrawnRows(const FaxPage& page, int piece) {
  int rest = page.drawnFullRows - piece * LongestFineRows();
  return rest > LongestFineRows() ? LongestFineRows() : rest;
}

int PieceRows(const FaxPage& page, int piece, bool fine) {
  int drawn = PieceDrawnRows(page, piece);
  return fine ? drawn : (drawn + 1) / 2;
}

int PlanFaxDocument(const wchar_t* folder, DWORD pages, FaxPlan* plan) {
  *plan = FaxPlan();
  for (DWORD page = 0; page < pages; ++page) {
    wchar_t path[kPathUnits];
    if (!PagePath(folder, page, path)) return kFaxCannotWrite;
    RECTL frame;
    FaxPage placed;
    if (!ReadFrame(path, &frame) || !PlaceFaxPage(frame, &placed)) return kFaxCannotDraw;
    if (placed.pieces > 1) ++plan->splitPages;
    plan->faxPages += placed.pieces;
    if (plan->faxPages > kFaxMostPages) return kFaxTooLarge;
  }
  return kFaxOk;
}

int WriteFaxDocument(const wchar_t* folder, DWORD pages, bool fine, HANDLE stop) {
  wchar_t path[kPathUnits];
  if (FAILED(StringCchPrintfW(path, kPathUnits, L"%s\\fax.tif", folder))) return kFaxCannotWrite;
  // The document's size is known before anything is written: a job past
  // what a TIFF holds leaves no fax.tif.
  FaxPlan plan;
  int code = PlanFaxDocument(folder, pages, &plan);
  if (code != kFaxOk) return code;
  HANDLE heap = GetProcessHeap();
  // The coded page: its directory goes ahead of it, so it is held until done.
  const SIZE_T codedBytes = static_cast<SIZE_T>(LongestFineRows()) * kT4MaxRowBytes;
  BYTE* buffer = static_cast<BYTE*>(
      HeapAlloc(heap, 0, kTiffBuffer + codedBytes + kFaxWidth / 8 + 2 * kFaxWidth));
  if (!buffer) return kFaxFailed;
  Canvas canvas = {};
  code = MakeCanvas(canvas, LongestFineRows()) ? kFaxOk : kFaxFailed;
  ScopedHandle file;
  if (code == kFaxOk) {
    file.reset(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
    if (!file) code = kFaxCannotWrite;
  }
  if (code == kFaxOk) {
    Tiff t = {file.get(), buffer, 0, 0, true, false};
    WriteTiffHeader(t);
    BYTE* coded = buffer + kTiffBuffer;
    BYTE* row = coded + codedBytes;
    BYTE* turned = row + kFaxWidth / 8;  // two lines of a turned page
    Document d = {&t, &canvas, folder, pages, plan.faxPages, fine, stop, row, coded, turned};
    code = DrawPages(d);
    if (code == kFaxOk && !(FlushTiff(t) && FlushFileBuffers(file.get()))) code = kFaxCannotWrite;
  }
  FreeCanvas(canvas);
  HeapFree(heap, 0, buffer);
  return code;
}
