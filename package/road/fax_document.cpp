// Pages to the fax document. Each page's EMF is played record by record into
// one reused 32-bit bitmap of fax width, turned into 1-bit rows (black and
// white kept sharp, the tones between dithered), coded with T.4 and appended
// to fax.tif with its directory: memory stays one page bitmap whatever the
// number of pages.
#include "fax_document.h"

#include <strsafe.h>

#include "job_road.h"
#include "product.h"
#include "scoped.h"
#include "t4.h"

namespace {

const int kFaxWidth = kT4MaxWidth;       // 1728 pixels: 215 mm at 204 dpi
const double kDotsPerMm = 204.0 / 25.4;  // across
const double kFineLinesPerMm = 7.7;      // down, the fax's own line rates
// Standard is half of it, 3.85: two drawn lines make one.
const DWORD kDrawCrashed = 0xFA1;  // exit code of a drawing thread that faulted
// Time allowed for drawing: a minute, and two seconds a page (about 5 ms is usual).
const DWORD kDrawBaseMs = 60 * 1000, kDrawPageMs = 2000;

int LongestFineRows() { return kFaxLongestInches * 196; }

// ---- the crash guard --------------------------------------------------------

volatile DWORD g_guardedThread = 0;
PVOID g_handler = nullptr;
CRITICAL_SECTION g_guardLock;
volatile LONG g_guardInit = 0;

void EndFaultedThread() { ExitThread(kDrawCrashed); }

// A fault on the guarded thread resumes that thread in EndFaultedThread: its
// stack is abandoned, the process goes on. Other threads' faults go on to
// whatever handles them.
LONG CALLBACK OnFault(EXCEPTION_POINTERS* info) {
  DWORD code = info->ExceptionRecord->ExceptionCode;
  if (!(code & 0x80000000) || GetCurrentThreadId() != g_guardedThread)
    return EXCEPTION_CONTINUE_SEARCH;
  g_guardedThread = 0;
  CONTEXT* c = info->ContextRecord;
#ifdef _WIN64
  c->Rsp = (c->Rsp & ~DWORD64(15)) - 8;  // as if called: 16-byte alignment after the return address
  c->Rip = reinterpret_cast<DWORD64>(&EndFaultedThread);
#else
  c->Esp = (c->Esp & ~DWORD(15)) - 4;
  c->Eip = reinterpret_cast<DWORD>(&EndFaultedThread);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

struct GuardedCall {
  DWORD (*work)(void*);
  void* context;
};

DWORD WINAPI GuardedThread(void* param) {
  GuardedCall* call = static_cast<GuardedCall*>(param);
  g_guardedThread = GetCurrentThreadId();
  DWORD result = call->work(call->context);
  g_guardedThread = 0;
  return result;
}

// ---- the page ---------------------------------------------------------------

// One block of memory seen as two 8-bit bitmaps: the fax page upright
// (kFaxWidth x rows) and, for a landscape page, the page as it is (rows x
// kFaxWidth), read out a quarter turned. Wine 8 draws text tiny under a world
// transform that only turns, so the turn is done on the pixels.
struct Canvas {
  HDC dc;
  HANDLE section;
  HBITMAP upright, sideways;
  HGDIOBJ old;
  BYTE* bits;  // grey levels, top-down
  int rows;
};

HBITMAP GreyBitmap(HDC dc, HANDLE section, int width, int height, void** bits) {
  // 8 bits a pixel with a palette of 256 greys: GDI maps each colour to its
  // grey once per pen, brush or picture, and the page is a quarter of a
  // 32-bit one to clear and to read.
  struct {
    BITMAPINFOHEADER h;
    RGBQUAD greys[256];
  } info = {};
  info.h.biSize = sizeof(info.h);
  info.h.biWidth = width;
  info.h.biHeight = -height;
  info.h.biPlanes = 1;
  info.h.biBitCount = 8;
  info.h.biCompression = BI_RGB;
  info.h.biClrUsed = 256;
  for (int i = 0; i < 256; ++i)
    info.greys[i].rgbRed = info.greys[i].rgbGreen = info.greys[i].rgbBlue = static_cast<BYTE>(i);
  return CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, bits, section,
                          0);
}

bool MakeCanvas(Canvas& c, int rows) {
  // Both widths are multiples of 4: no row padding, one size for both views.
  c.section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                 static_cast<DWORD>(kFaxWidth) * rows, nullptr);
  c.dc = CreateCompatibleDC(nullptr);
  if (!c.section || !c.dc) return false;
  void *bits = nullptr, *same = nullptr;
  c.upright = GreyBitmap(c.dc, c.section, kFaxWidth, rows, &bits);
  c.sideways = GreyBitmap(c.dc, c.section, rows, kFaxWidth, &same);
  if (!c.upright || !c.sideways) return false;
  c.bits = static_cast<BYTE*>(bits);
  c.rows = rows;
  c.old = SelectObject(c.dc, c.upright);
  return true;
}

void FreeCanvas(Canvas& c) {
  if (c.dc && c.old) SelectObject(c.dc, c.old);
  if (c.upright) DeleteObject(c.upright);
  if (c.sideways) DeleteObject(c.sideways);
  if (c.dc) DeleteDC(c.dc);
  if (c.section) CloseHandle(c.section);
  c = Canvas();
}

bool IsColourManagement(DWORD type) {
  switch (type) {
    case EMR_SETICMMODE:
    case EMR_CREATECOLORSPACE:
    case EMR_SETCOLORSPACE:
    case EMR_DELETECOLORSPACE:
    case EMR_COLORCORRECTPALETTE:
    case EMR_SETICMPROFILEA:
    case EMR_SETICMPROFILEW:
    case EMR_COLORMATCHTOTARGETW:
    case EMR_CREATECOLORSPACEW:
      return true;
  }
  return false;
}

// Colour management means nothing on a 1-bit page (and Wine 8 faults on
// EMR_SETCOLORSPACE). Fonts are drawn without smoothing: grey glyph edges
// would only be dithered into ragged text.
int CALLBACK PlayRecord(HDC dc, HANDLETABLE* table, const ENHMETARECORD* record, int objects,
                        LPARAM) {
  if (IsColourManagement(record->iType)) return 1;
  const DWORD kQualityAt = 12 + 26;  // EMR, ihFont, LOGFONTW up to lfQuality
  if (record->iType == EMR_EXTCREATEFONTINDIRECTW && record->nSize > kQualityAt &&
      record->nSize <= 1024) {
    alignas(8) BYTE copy[1024];
    CopyMemory(copy, record, record->nSize);
    copy[kQualityAt] = NONANTIALIASED_QUALITY;
    PlayEnhMetaFileRecord(dc, table, reinterpret_cast<const ENHMETARECORD*>(copy), objects);
    return 1;
  }
  // A record GDI cannot play is left out; the page goes on, as on paper.
  PlayEnhMetaFileRecord(dc, table, record, objects);
  return 1;
}

struct PageDraw {
  Canvas* canvas;
  HENHMETAFILE emf;
  FaxPage place;
  BOOL played;
};

DWORD DrawPage(void* param) {
  PageDraw* d = static_cast<PageDraw*>(param);
  Canvas& c = *d->canvas;
  const FaxPage& p = d->place;
  RECT area;
  if (p.turned) {
    // The page as it is, its last drawnRows columns (a cut page loses its
    // left part, which would lie below the cut once turned).
    FillMemory(c.bits, static_cast<size_t>(p.width) * c.rows, 0xFF);
    SelectObject(c.dc, c.sideways);
    area = {p.drawnRows - p.drawnFullRows, 0, p.drawnRows, p.width};
  } else {
    FillMemory(c.bits, static_cast<size_t>(p.drawnRows) * kFaxWidth, 0xFF);
    area = {p.left, 0, p.left + p.width, p.drawnFullRows};
  }
  d->played = EnumEnhMetaFile(c.dc, d->emf, PlayRecord, nullptr, &area);
  GdiFlush();
  SelectObject(c.dc, c.upright);
  return 0;
}

// An 8 x 8 ordered-dither matrix: grey areas of pictures become patterns of
// their own density, while black text and white paper have no tone to dither.
const BYTE kBayer[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                           {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                           {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                           {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};
const int kAlwaysBlack = 80, kAlwaysWhite = 208;  // grey levels, 0 to 255

// The matrix spread over the greys between always black and always white.
struct Thresholds {
  BYTE t[8][8];
  Thresholds() {
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x)
        t[y][x] = static_cast<BYTE>(kAlwaysBlack +
                                    (kBayer[y][x] * (kAlwaysWhite - kAlwaysBlack) + 32) / 64);
  }
};
const Thresholds g_table;
const BYTE (*const g_thresholds)[8] = g_table.t;

// One fax line to 1 bit per pixel, 1 = black: a drawn line, or at Standard
// the darker of two drawn lines' pixels (so a one-line rule stays). White and
// black, most of a page, are decided eight pixels at a time.
void ToBits(const BYTE* pixels, const BYTE* next, int y, BYTE* row) {
  const BYTE* bayer = g_thresholds[y & 7];
  for (int x = 0; x < kFaxWidth; x += 8) {
    ULONGLONG eight, other;
    CopyMemory(&eight, pixels + x, 8);
    if (next) {
      CopyMemory(&other, next + x, 8);
      if (other != ~0ull) {
        if (eight == ~0ull) {
          eight = other;
        } else {
          for (int i = 0; i < 8; ++i)
            if (next[x + i] < pixels[x + i]) reinterpret_cast<BYTE*>(&eight)[i] = next[x + i];
        }
      }
    }
    if (eight == ~0ull) {
      row[x / 8] = 0;
      continue;
    }
    if (eight == 0) {
      row[x / 8] = 0xFF;
      continue;
    }
    BYTE out = 0;
    const BYTE* grey = reinterpret_cast<const BYTE*>(&eight);
    for (int i = 0; i < 8; ++i) out = static_cast<BYTE>((out << 1) | (grey[i] < bayer[i]));
    row[x / 8] = out;
  }
}

// ---- the TIFF -----------------------------------------------------------------

struct Tiff {
  HANDLE file;
  BYTE* buffer;  // kTiffBuffer bytes
  DWORD used;
  ULONGLONG offset;    // file offset of buffer[used]
  ULONGLONG nextLink;  // where the previous directory's next-directory offset lies
  bool ok;
};
const DWORD kTiffBuffer = 64 * 1024;

bool FlushTiff(Tiff& t) {
  DWORD written = 0;
  if (t.ok && t.used &&
      !(WriteFile(t.file, t.buffer, t.used, &written, nullptr) && written == t.used))
    t.ok = false;
  t.used = 0;
  return t.ok;
}

void PutBytes(Tiff& t, const void* data, DWORD size) {
  const BYTE* bytes = static_cast<const BYTE*>(data);
  while (size && t.ok) {
    if (t.used == kTiffBuffer && !FlushTiff(t)) return;
    DWORD n = kTiffBuffer - t.used;
    if (n > size) n = size;
    CopyMemory(t.buffer + t.used, bytes, n);
    t.used += n;
    t.offset += n;
    bytes += n;
    size -= n;
  }
  // Offsets in a TIFF are 32 bits.
  if (t.offset > 0xFFFFFFF0ull) t.ok = false;
}

void Put16(Tiff& t, WORD v) { PutBytes(t, &v, 2); }
void Put32(Tiff& t, DWORD v) { PutBytes(t, &v, 4); }

// Points the previous directory's link (or the header's) at offset.
void Link(Tiff& t, DWORD offset) {
  if (!FlushTiff(t)) return;
  LARGE_INTEGER at, end;
  at.QuadPart = static_cast<LONGLONG>(t.nextLink);
  end.QuadPart = static_cast<LONGLONG>(t.offset);
  DWORD written = 0;
  t.ok = SetFilePointerEx(t.file, at, nullptr, FILE_BEGIN) &&
         WriteFile(t.file, &offset, 4, &written, nullptr) && written == 4 &&
         SetFilePointerEx(t.file, end, nullptr, FILE_BEGIN);
}

enum : WORD { kShort = 3, kLong = 4, kRational = 5, kAscii = 2 };

void Entry(Tiff& t, WORD tag, WORD type, DWORD count, DWORD value) {
  Put16(t, tag);
  Put16(t, type);
  Put32(t, count);
  Put32(t, value);  // a SHORT sits in the low half, as little-endian files have it
}

// The directory of one page, after its strip, with the tags TIFF Class F asks for.
void WriteDirectory(Tiff& t, DWORD stripAt, DWORD stripBytes, int rows, bool fine, DWORD page,
                    DWORD pages) {
  if (t.offset & 1) Put16(t, 0);  // word alignment
  const char software[8] = "Orvalis";
  const WORD kEntries = 20;
  DWORD at = static_cast<DWORD>(t.offset);
  DWORD extra = at + 2 + kEntries * 12 + 4;  // the values that do not fit an entry
  Link(t, at);
  Put16(t, kEntries);
  Entry(t, 254, kLong, 1, 2);                           // NewSubfileType: a page of a document
  Entry(t, 256, kShort, 1, kFaxWidth);                  // ImageWidth
  Entry(t, 257, kLong, 1, rows);                        // ImageLength
  Entry(t, 258, kShort, 1, 1);                          // BitsPerSample
  Entry(t, 259, kShort, 1, 3);                          // Compression: T.4
  Entry(t, 262, kShort, 1, 0);                          // PhotometricInterpretation: white is zero
  Entry(t, 266, kShort, 1, 1);                          // FillOrder: the first bit highest
  Entry(t, 273, kLong, 1, stripAt);                     // StripOffsets
  Entry(t, 274, kShort, 1, 1);                          // Orientation: top left
  Entry(t, 277, kShort, 1, 1);                          // SamplesPerPixel
  Entry(t, 278, kLong, 1, rows);                        // RowsPerStrip: one strip a page
  Entry(t, 279, kLong, 1, stripBytes);                  // StripByteCounts
  Entry(t, 282, kRational, 1, extra);                   // XResolution 204
  Entry(t, 283, kRational, 1, extra + 8);               // YResolution 98 or 196
  Entry(t, 284, kShort, 1, 1);                          // PlanarConfiguration
  Entry(t, 292, kLong, 1, 4);                           // T4Options: 1-D, fill bits before EOL
  Entry(t, 296, kShort, 1, 2);                          // ResolutionUnit: inch
  Entry(t, 297, kShort, 2, (pages << 16) | page);       // PageNumber: this page, of pages
  Entry(t, 305, kAscii, sizeof(software), extra + 16);  // Software
  Entry(t, 327, kShort, 1, 0);                          // CleanFaxData: clean
  t.nextLink = t.offset;
  Put32(t, 0);
  Put32(t, 204);
  Put32(t, 1);
  Put32(t, fine ? 196 : 98);
  Put32(t, 1);
  PutBytes(t, software, sizeof(software));
}

// ---- the document ---------------------------------------------------------------

bool PagePath(const wchar_t* folder, DWORD page, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\page%u.emf", folder, page));
}

// A drawn line of a turned page: the page's column that lands on it, its
// top edge on the fax's left side.
void TurnedLine(const Canvas& c, const FaxPage& p, int drawn, BYTE* line) {
  FillMemory(line, kFaxWidth, 0xFF);
  const BYTE* column = c.bits + (p.drawnRows - 1 - drawn);
  for (int v = 0; v < p.width; ++v) line[p.left + v] = column[static_cast<size_t>(v) * c.rows];
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
  return t.ok ? kExtractOk : kExtractCannotWrite;
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
    if (doc.stop && WaitForSingleObject(doc.stop, 0) == WAIT_OBJECT_0) return kExtractStopped;
    wchar_t path[kPathUnits];
    if (!PagePath(doc.folder, page, path)) return kExtractCannotWrite;
    PageDraw d = {doc.c, GetEnhMetaFileW(path), {}, FALSE};
    if (!d.emf) return kExtractCannotDraw;
    doc.open = d.emf;
    ENHMETAHEADER header = {};
    bool placed = GetEnhMetaFileHeader(d.emf, sizeof(header), &header) >= sizeof(header) &&
                  PlaceFaxPage(header.rclFrame, doc.fine, &d.place);
    if (placed) DrawPage(&d);
    bool drawn = placed && d.played;
    doc.open = nullptr;
    DeleteEnhMetaFile(d.emf);
    if (!drawn) return kExtractCannotDraw;
    int code = CodePage(*doc.t, *doc.c, d.place, doc.fine, page + 1, doc.pages, doc.row, doc.coded,
                        doc.turned);
    if (code != kExtractOk) return code;
  }
  return kExtractOk;
}

DWORD DrawDocument(void* param) {
  Document* d = static_cast<Document*>(param);
  d->code = DrawPages(*d);
  return 0;
}

}  // namespace

bool RunGuarded(DWORD (*work)(void* context), void* context, DWORD* result, DWORD timeoutMs) {
  if (InterlockedCompareExchange(&g_guardInit, 1, 0) == 0) {
    InitializeCriticalSection(&g_guardLock);
    g_guardInit = 2;
  }
  while (g_guardInit != 2) Sleep(0);
  // One guarded thread at a time: the handler knows it by its id.
  EnterCriticalSection(&g_guardLock);
  if (!g_handler) g_handler = AddVectoredExceptionHandler(1, OnFault);
  GuardedCall call = {work, context};
  HANDLE thread = g_handler ? CreateThread(nullptr, 0, GuardedThread, &call, 0, nullptr) : nullptr;
  bool done = false;
  if (thread) {
    // Work that keeps GDI busy far beyond its time is given up: a collector
    // must not hang.
    if (WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0) {
      TerminateThread(thread, kDrawCrashed);
      WaitForSingleObject(thread, INFINITE);
    }
    DWORD code = kDrawCrashed;
    done = GetExitCodeThread(thread, &code) && code != kDrawCrashed;
    if (result) *result = code;
    CloseHandle(thread);
  }
  g_guardedThread = 0;
  LeaveCriticalSection(&g_guardLock);
  return done;
}

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
  if (FAILED(StringCchPrintfW(path, kPathUnits, L"%s\\fax.tif", folder)))
    return kExtractCannotWrite;
  HANDLE heap = GetProcessHeap();
  BYTE* buffer = static_cast<BYTE*>(
      HeapAlloc(heap, 0, kTiffBuffer + kT4MaxRowBytes + kFaxWidth / 8 + 2 * kFaxWidth));
  if (!buffer) return kExtractFailed;
  Canvas canvas = {};
  int code = MakeCanvas(canvas, LongestFineRows()) ? kExtractOk : kExtractFailed;
  ScopedHandle file;
  if (code == kExtractOk) {
    file.reset(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
    if (!file) code = kExtractCannotWrite;
  }
  if (code == kExtractOk) {
    Tiff t = {file.get(), buffer, 0, 0, 4, true};
    const BYTE header[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};  // the first directory's offset follows
    PutBytes(t, header, sizeof(header));
    // One guarded thread draws and codes every page: a page that faults GDI
    // ends that thread, not the process (a thread per page costs ms under Wine).
    BYTE* coded = buffer + kTiffBuffer;
    BYTE* row = coded + kT4MaxRowBytes;
    BYTE* turned = row + kFaxWidth / 8;  // two lines of a turned page
    Document d = {
        &t, &canvas, folder, pages, fine, stop, row, coded, turned, kExtractCannotDraw, nullptr};
    DWORD result = 0;
    DWORD limit = pages < 2000000 ? kDrawBaseMs + pages * kDrawPageMs : INFINITE - 1;
    code = RunGuarded(DrawDocument, &d, &result, limit) ? d.code : kExtractCannotDraw;
    // A page that faulted is still open, and an open page cannot be deleted.
    if (d.open) DeleteEnhMetaFile(d.open);
    if (code == kExtractOk && !(FlushTiff(t) && FlushFileBuffers(file.get())))
      code = kExtractCannotWrite;
  }
  FreeCanvas(canvas);
  HeapFree(heap, 0, buffer);
  return code;
}
