// Pages to the fax document. Each page is drawn into a reused bitmap
// (fax_page_draw.cpp), coded with T.4 and appended to fax.tif with its
// directory (fax_tiff.cpp): memory stays a page bitmap and a coded page for
// each of at most two workers, whatever the number of pages.
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

// One fax page's lines made 1-bit and coded into coded (room for the
// longest page); returns the strip's bytes.
DWORD CodeLines(const Canvas& c, const PageDraw& d, bool fine, BYTE* row, BYTE* coded,
                BYTE* turned) {
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
  return stripBytes;
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

// Pages are drawn by two workers where the machine has two processors
// (GDI draws into separate DCs from separate threads, and Wine 8 does so in
// parallel): each takes every other page, draws and codes it into its own
// canvas and buffer, and writes it when its turn comes, so fax.tif holds the
// pages in order. A failure or a stop ends both.
const int kMostWorkers = 2;
const LONGLONG kReadPageBytes = 16 * 1024 * 1024;

struct Document;

struct Worker {
  Document* doc;
  DWORD first;  // its first page; then every doc->workers'th
  HANDLE turn;  // auto-reset, set when its next page is the next to write
  Canvas canvas;
  BYTE *coded, *row, *turned;
  BYTE* page;  // the page's bytes, kept for the next page
  DWORD pageBytes;
  int code;
  DWORD failedPage;  // where code was met
};

struct Document {
  Tiff* t;
  const wchar_t* folder;
  DWORD pages, faxPages;
  bool fine;
  HANDLE stop;
  int workers;
  Worker w[kMostWorkers];
  volatile LONG failed;
  DWORD faxPage;  // the next fax page written: only the worker whose turn it is
};

// A worker that ends because the other failed reports nothing of its own.
const int kGaveWay = -1;

// A page read into the worker's buffer and handed to GDI as bits: under
// Wine 8 that costs less than GetEnhMetaFileW's file mapping (about a tenth
// of a text page's drawing). A page too large to hold twice is mapped.
HENHMETAFILE OpenPage(Worker& w, const wchar_t* path) {
  ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER size = {};
  if (!file || !GetFileSizeEx(file.get(), &size)) return nullptr;
  if (size.QuadPart > kReadPageBytes) {
    file.reset();
    return GetEnhMetaFileW(path);
  }
  const DWORD bytes = static_cast<DWORD>(size.QuadPart);
  if (bytes > w.pageBytes) {
    BYTE* bigger = static_cast<BYTE*>(w.page ? HeapReAlloc(GetProcessHeap(), 0, w.page, bytes)
                                             : HeapAlloc(GetProcessHeap(), 0, bytes));
    if (!bigger) return nullptr;
    w.page = bigger;
    w.pageBytes = bytes;
  }
  DWORD got = 0;
  if (!ReadFile(file.get(), w.page, bytes, &got, nullptr) || got != bytes) return nullptr;
  return SetEnhMetaFileBits(bytes, w.page);
}

// One page, every fax page of it: drawn and coded, then written in turn.
int DrawOnePage(Worker& w, DWORD page) {
  Document& doc = *w.doc;
  wchar_t path[kPathUnits];
  if (!PagePath(doc.folder, page, path)) return kFaxCannotWrite;
  PageDraw d = {&w.canvas, nullptr, {}, 0, 0, false, FALSE};
  d.emf = OpenPage(w, path);
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
    d.drawnRows = PieceDrawnRows(d.place, d.piece);
    DrawPage(&d);
    if (!d.played) {
      code = kFaxCannotDraw;
      break;
    }
    DWORD stripBytes = CodeLines(w.canvas, d, doc.fine, w.row, w.coded, w.turned);
    // The turn is held from the page's first fax page to its last.
    if (d.piece == 0) WaitForSingleObject(w.turn, INFINITE);
    if (doc.failed) {
      code = kGaveWay;
      break;
    }
    if (doc.faxPage >= doc.faxPages) {
      code = kFaxCannotDraw;  // the pages changed since they were counted
      break;
    }
    Tiff& t = *doc.t;
    WriteTiffPage(t, w.coded, stripBytes, PieceRows(d.place, d.piece, doc.fine), doc.fine,
                  doc.faxPage++, doc.faxPages);
    if (!t.ok) code = t.tooLarge ? kFaxTooLarge : kFaxCannotWrite;
  }
  DeleteEnhMetaFile(d.emf);
  return code;
}

DWORD WINAPI Work(void* param) {
  Worker& w = *static_cast<Worker*>(param);
  Document& doc = *w.doc;
  const int index = static_cast<int>(&w - doc.w);
  Worker& next = doc.w[(index + 1) % doc.workers];
  for (DWORD page = w.first; page < doc.pages; page += doc.workers) {
    if (doc.failed) return 0;
    if (doc.stop && WaitForSingleObject(doc.stop, 0) == WAIT_OBJECT_0)
      w.code = kFaxStopped;
    else
      w.code = DrawOnePage(w, page);
    if (w.code == kGaveWay) {
      w.code = kFaxOk;
      return 0;
    }
    if (w.code != kFaxOk) {
      w.failedPage = page;
      InterlockedExchange(&doc.failed, 1);
      // Nobody waits for a turn that will not come.
      for (int i = 0; i < doc.workers; ++i) SetEvent(doc.w[i].turn);
      return 0;
    }
    SetEvent(next.turn);
  }
  return 0;
}

bool MakeWorker(Worker& w, Document& doc, DWORD first) {
  const SIZE_T codedBytes = static_cast<SIZE_T>(LongestFineRows()) * kT4MaxRowBytes;
  w.doc = &doc;
  w.first = first;
  w.code = kFaxOk;
  w.turn = CreateEventW(nullptr, FALSE, first == 0, nullptr);
  w.coded = static_cast<BYTE*>(
      HeapAlloc(GetProcessHeap(), 0, codedBytes + kFaxWidth / 8 + 2 * kFaxWidth));
  if (!w.turn || !w.coded || !MakeCanvas(w.canvas, LongestFineRows())) return false;
  w.row = w.coded + codedBytes;
  w.turned = w.row + kFaxWidth / 8;  // two lines of a turned page
  return true;
}

void FreeWorker(Worker& w) {
  FreeCanvas(w.canvas);
  if (w.coded) HeapFree(GetProcessHeap(), 0, w.coded);
  if (w.page) HeapFree(GetProcessHeap(), 0, w.page);
  if (w.turn) CloseHandle(w.turn);
  w = Worker();
}

int DrawPages(Document& doc) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  int wanted = system.dwNumberOfProcessors > 1 && doc.pages > 1 ? kMostWorkers : 1;
  if (!MakeWorker(doc.w[0], doc, 0)) {
    FreeWorker(doc.w[0]);
    return kFaxFailed;
  }
  doc.workers = 1;
  HANDLE helper = nullptr;
  // Without memory or a thread for a second worker, one draws every page.
  if (wanted > 1) {
    if (MakeWorker(doc.w[1], doc, 1)) {
      doc.workers = 2;
      helper = CreateThread(nullptr, 0, Work, &doc.w[1], CREATE_SUSPENDED, nullptr);
      if (!helper) doc.workers = 1;
    }
    if (doc.workers == 1) FreeWorker(doc.w[1]);
  }
  if (helper) ResumeThread(helper);
  Work(&doc.w[0]);
  if (helper) {
    WaitForSingleObject(helper, INFINITE);
    CloseHandle(helper);
  }
  // The failure met first in page order is the one reported.
  int code = kFaxOk;
  DWORD at = MAXDWORD;
  for (int i = 0; i < doc.workers; ++i)
    if (doc.w[i].code != kFaxOk && doc.w[i].failedPage < at) {
      code = doc.w[i].code;
      at = doc.w[i].failedPage;
    }
  for (int i = 0; i < doc.workers; ++i) FreeWorker(doc.w[i]);
  if (code != kFaxOk) return code;
  return doc.faxPage == doc.faxPages ? kFaxOk : kFaxCannotDraw;
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

int WriteFaxDocument(const wchar_t* folder, DWORD pages, DWORD faxPages, bool fine, HANDLE stop) {
  wchar_t path[kPathUnits];
  if (FAILED(StringCchPrintfW(path, kPathUnits, L"%s\\fax.tif", folder))) return kFaxCannotWrite;
  // The count comes from PlanFaxDocument, before anything is written: a job
  // past what a TIFF holds leaves no fax.tif.
  if (faxPages < pages || faxPages == 0) return kFaxCannotDraw;
  if (faxPages > kFaxMostPages) return kFaxTooLarge;
  int code = kFaxOk;
  // A page's directory goes ahead of its strip: each worker holds its coded
  // page until it is written.
  HANDLE heap = GetProcessHeap();
  BYTE* buffer = static_cast<BYTE*>(HeapAlloc(heap, 0, kTiffBuffer));
  if (!buffer) return kFaxFailed;
  ScopedHandle file(
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) code = kFaxCannotWrite;
  if (code == kFaxOk) {
    Tiff t = {file.get(), buffer, 0, 0, true, false};
    WriteTiffHeader(t);
    Document d = {};
    d.t = &t;
    d.folder = folder;
    d.pages = pages;
    d.faxPages = faxPages;
    d.fine = fine;
    d.stop = stop;
    code = DrawPages(d);
    if (code == kFaxOk && !(FlushTiff(t) && FlushFileBuffers(file.get()))) code = kFaxCannotWrite;
  }
  HeapFree(heap, 0, buffer);
  return code;
}
