// Pages to the fax document. Each page is drawn into one reused bitmap
// (fax_page_draw.cpp), coded with T.4 and appended to fax.tif with its
// directory (fax_tiff.cpp): memory stays one page bitmap whatever the number
// of pages.
#include "fax_document.h"

#include <strsafe.h>

#include "fax_guard.h"
#include "fax_parts.h"
#include "product.h"
#include "scoped.h"

namespace {

const double kDotsPerMm = 204.0 / 25.4;  // across
const double kFineLinesPerMm = 7.7;      // down, the fax's own line rates
// Standard is half of it, 3.85: two drawn lines make one.
// Time allowed for drawing: a minute, and two seconds a page (about 5 ms is usual).
const DWORD kDrawBaseMs = 60 * 1000, kDrawPageMs = 2000;

int LongestFineRows() { return kFaxLongestInches * 196; }

bool PagePath(const wchar_t* folder, DWORD page, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\page%u.emf", folder, page));
}

int CodePage(Tiff& t, const Canvas& c, const FaxPage& p, bool fine, DWORD page, DWORD pages,
             BYTE* row, BYTE* coded, BYTE* turned) {
  DWORD stripAt = static_cast<DWORD>(t.offset), stripBytes = 0;
  for (int y = 0; y < p.rows && t.ok; ++y) {
    int drawn = fine ? y : 2 * y;
    const BYTE *line, *next = nullptr;
    if (p.turned) {
      TurnedLine(c, p, drawn, turned);
      if (!fine) TurnedLine(c, p, drawn + 1, turned + kFaxWidth);
      line = turned;
      if (!fine) next = turned + kFaxWidth;
    } else {
      line = c.bits + static_cast<size_t>(drawn) * kFaxWidth;
      if (!fine) next = line + kFaxWidth;
    }
    ToBits(line, next, y, row);
    DWORD n = T4CodeRow(row, kFaxWidth, coded);
    PutBytes(t, coded, n);
    stripBytes += n;
  }
  WriteDirectory(t, stripAt, stripBytes, p.rows, fine, page, pages);
  return t.ok ? kFaxOk : kFaxCannotWrite;
}

struct Document {
  Tiff* t;
  Canvas* c;
  const wchar_t* folder;
  DWORD pages;
  bool fine;
  HANDLE stop;
  BYTE *row, *coded, *turned;
  int code;
  HENHMETAFILE open;  // the page being drawn, closed by the caller after a fault
};

int DrawPages(Document& doc) {
  for (DWORD page = 0; page < doc.pages; ++page) {
    if (doc.stop && WaitForSingleObject(doc.stop, 0) == WAIT_OBJECT_0) return kFaxStopped;
    wchar_t path[kPathUnits];
    if (!PagePath(doc.folder, page, path)) return kFaxCannotWrite;
    PageDraw d = {doc.c, GetEnhMetaFileW(path), {}, FALSE};
    if (!d.emf) return kFaxCannotDraw;
    doc.open = d.emf;
    ENHMETAHEADER header = {};
    bool placed = GetEnhMetaFileHeader(d.emf, sizeof(header), &header) >= sizeof(header) &&
                  PlaceFaxPage(header.rclFrame, doc.fine, &d.place);
    if (placed) DrawPage(&d);
    bool drawn = placed && d.played;
    doc.open = nullptr;
    DeleteEnhMetaFile(d.emf);
    if (!drawn) return kFaxCannotDraw;
    int code = CodePage(*doc.t, *doc.c, d.place, doc.fine, page + 1, doc.pages, doc.row, doc.coded,
                        doc.turned);
    if (code != kFaxOk) return code;
  }
  return kFaxOk;
}

DWORD DrawDocument(void* param) {
  Document* d = static_cast<Document*>(param);
  d->code = DrawPages(*d);
  return 0;
}

}  // namespace

bool PlaceFaxPage(const RECTL& frame, bool fine, FaxPage* page) {
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
  // A frame of up to 21 km stays below 2^31 lines; the cap keeps the bitmap bounded.
  page->drawnFullRows = rows > 2e9 ? 2000000000 : static_cast<int>(rows);
  if (page->drawnFullRows < 2) page->drawnFullRows = 2;
  page->drawnRows =
      page->drawnFullRows > LongestFineRows() ? LongestFineRows() : page->drawnFullRows;
  page->rows = fine ? page->drawnRows : page->drawnRows / 2;
  page->fullRows = fine ? page->drawnFullRows : page->drawnFullRows / 2;
  return true;
}

int WriteFaxDocument(const wchar_t* folder, DWORD pages, bool fine, HANDLE stop) {
  wchar_t path[kPathUnits];
  if (FAILED(StringCchPrintfW(path, kPathUnits, L"%s\\fax.tif", folder))) return kFaxCannotWrite;
  HANDLE heap = GetProcessHeap();
  BYTE* buffer = static_cast<BYTE*>(
      HeapAlloc(heap, 0, kTiffBuffer + kT4MaxRowBytes + kFaxWidth / 8 + 2 * kFaxWidth));
  if (!buffer) return kFaxFailed;
  Canvas canvas = {};
  int code = MakeCanvas(canvas, LongestFineRows()) ? kFaxOk : kFaxFailed;
  ScopedHandle file;
  if (code == kFaxOk) {
    file.reset(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
    if (!file) code = kFaxCannotWrite;
  }
  if (code == kFaxOk) {
    Tiff t = {file.get(), buffer, 0, 0, 4, true};
    const BYTE header[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};  // the first directory's offset follows
    PutBytes(t, header, sizeof(header));
    // One guarded thread draws and codes every page: a page that faults GDI
    // ends that thread, not the process (a thread per page costs ms under Wine).
    BYTE* coded = buffer + kTiffBuffer;
    BYTE* row = coded + kT4MaxRowBytes;
    BYTE* turned = row + kFaxWidth / 8;  // two lines of a turned page
    Document d = {&t,  &canvas, folder, pages,          fine,   stop,
                  row, coded,   turned, kFaxCannotDraw, nullptr};
    DWORD result = 0;
    DWORD limit = pages < 2000000 ? kDrawBaseMs + pages * kDrawPageMs : INFINITE - 1;
    code = RunGuarded(DrawDocument, &d, &result, limit) ? d.code : kFaxCannotDraw;
    // A page that faulted is still open, and an open page cannot be deleted.
    if (d.open) DeleteEnhMetaFile(d.open);
    if (code == kFaxOk && !(FlushTiff(t) && FlushFileBuffers(file.get()))) code = kFaxCannotWrite;
  }
  FreeCanvas(canvas);
  HeapFree(heap, 0, buffer);
  return code;
}
