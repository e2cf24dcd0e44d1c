// A page drawn: its EMF played record by record into one reused bitmap of
// fax width, 8-bit grey or, for a page in black and white only, 1-bit, then
// turned into 1-bit rows (black and white kept sharp, the tones between
// dithered).
#include <emmintrin.h>

#include "fax_parts.h"

namespace {

HBITMAP GreyBitmap(HDC dc, HANDLE section, int width, int height, int bitsPerPixel, void** bits) {
  // 8 bits a pixel with a palette of 256 greys: GDI maps each colour to its
  // grey once per pen, brush or picture, and the page is a quarter of a
  // 32-bit one to clear and to read. 1 bit: black and white, in the same
  // order, so that raster operations on black and white agree in both.
  struct {
    BITMAPINFOHEADER h;
    RGBQUAD greys[256];
  } info = {};
  const int colours = 1 << bitsPerPixel;
  info.h.biSize = sizeof(info.h);
  info.h.biWidth = width;
  info.h.biHeight = -height;
  info.h.biPlanes = 1;
  info.h.biBitCount = static_cast<WORD>(bitsPerPixel);
  info.h.biCompression = BI_RGB;
  info.h.biClrUsed = colours;
  for (int i = 0; i < colours; ++i)
    info.greys[i].rgbRed = info.greys[i].rgbGreen = info.greys[i].rgbBlue =
        static_cast<BYTE>(i * 255 / (colours - 1));
  return CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, bits, section,
                          0);
}

}  // namespace

bool MakeCanvas(Canvas& c, int rows) {
  // Both widths are multiples of 4, and kFaxWidth of 32: no row padding, one
  // size for both grey views, an eighth of it for the 1-bit one.
  c.section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                 static_cast<DWORD>(kFaxWidth) * rows, nullptr);
  c.dc = CreateCompatibleDC(nullptr);
  if (!c.section || !c.dc) return false;
  void *bits = nullptr, *same = nullptr;
  c.upright = GreyBitmap(c.dc, c.section, kFaxWidth, rows, 8, &bits);
  c.sideways = GreyBitmap(c.dc, c.section, rows, kFaxWidth, 8, &same);
  c.pure = GreyBitmap(c.dc, c.section, kFaxWidth, rows, 1, &same);
  if (!c.upright || !c.sideways || !c.pure) return false;
  c.bits = static_cast<BYTE*>(bits);
  c.rows = rows;
  c.old = SelectObject(c.dc, c.upright);
  return true;
}

void FreeCanvas(Canvas& c) {
  if (c.dc && c.old) SelectObject(c.dc, c.old);
  if (c.upright) DeleteObject(c.upright);
  if (c.sideways) DeleteObject(c.sideways);
  if (c.pure) DeleteObject(c.pure);
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

namespace {

// Fonts are drawn without smoothing: grey glyph edges would only be
// dithered into ragged text.
int CALLBACK PlayRecord(HDC dc, HANDLETABLE* table, const ENHMETARECORD* record, int objects,
                        LPARAM) {
  if (IsColourManagement(record->iType)) return 1;
  if (record->iType == EMR_EXTCREATEFONTINDIRECTW && record->nSize > kFontQualityAt &&
      record->nSize <= kLargestFontRecord) {
    alignas(8) BYTE copy[kLargestFontRecord];
    CopyMemory(copy, record, record->nSize);
    copy[kFontQualityAt] = NONANTIALIASED_QUALITY;
    PlayEnhMetaFileRecord(dc, table, reinterpret_cast<const ENHMETARECORD*>(copy), objects);
    return 1;
  }
  // A record GDI cannot play is left out; the page goes on, as on paper.
  PlayEnhMetaFileRecord(dc, table, record, objects);
  return 1;
}

}  // namespace

DWORD DrawPage(void* param) {
  PageDraw* d = static_cast<PageDraw*>(param);
  Canvas& c = *d->canvas;
  const FaxPage& p = d->place;
  // Lines above this piece are drawn above the bitmap, and GDI clips them.
  const int above = d->piece * c.rows;
  RECT area;
  if (p.turned) {
    // The page as it is: the fax's first line is its right edge, so the
    // piece's drawnRows columns lie that far from the right.
    FillMemory(c.bits, static_cast<size_t>(p.width) * c.rows, 0xFF);
    SelectObject(c.dc, c.sideways);
    const int right = above + d->drawnRows;
    area = {right - p.drawnFullRows, 0, right, p.width};
  } else {
    const int bytesPerRow = d->pure ? kFaxWidth / 8 : kFaxWidth;
    FillMemory(c.bits, static_cast<size_t>(d->drawnRows) * bytesPerRow, 0xFF);
    if (d->pure) SelectObject(c.dc, c.pure);
    area = {p.left, -above, p.left + p.width, p.drawnFullRows - above};
  }
  d->played = EnumEnhMetaFile(c.dc, d->emf, PlayRecord, nullptr, &area);
  GdiFlush();
  SelectObject(c.dc, c.upright);
  return 0;
}

namespace {

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

// Each byte with its bits in the other order.
struct Reversed {
  BYTE b[256];
  Reversed() {
    for (int i = 0; i < 256; ++i) {
      b[i] = 0;
      for (int bit = 0; bit < 8; ++bit)
        if (i & (1 << bit)) b[i] = static_cast<BYTE>(b[i] | (0x80 >> bit));
    }
  }
};
const Reversed g_reversed;

// The first column stays white, so a row has at most 1728 runs. T.4 allows
// 1729 (a row that starts black and changes at every pixel), but libtiff,
// the decoder inside most fax servers, refuses such a row. The column lies
// in the page's margin. False for a row without ink.
bool FinishRow(BYTE* row) {
  row[0] &= 0x7F;
  ULONGLONG ink = 0;
  for (int at = 0; at < kFaxWidth / 8; at += 8) {
    ULONGLONG bits;
    CopyMemory(&bits, row + at, 8);
    ink |= bits;
  }
  return ink != 0;
}

}  // namespace

// At Standard the darker of two lines' pixels, so a one-line rule stays.
// Sixteen pixels at a time (every x64 processor has SSE2): black where the
// grey is below its threshold, which black text and white paper always are
// and never are.
bool ToBits(const BYTE* pixels, const BYTE* next, int y, BYTE* row) {
  const __m128i sign = _mm_set1_epi8(static_cast<char>(0x80));  // unsigned order as signed
  BYTE line[16];
  CopyMemory(line, g_thresholds[y & 7], 8);
  CopyMemory(line + 8, g_thresholds[y & 7], 8);
  const __m128i thresholds =
      _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line)), sign);
  for (int x = 0; x < kFaxWidth; x += 16) {
    __m128i grey = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + x));
    if (next)
      grey = _mm_min_epu8(grey, _mm_loadu_si128(reinterpret_cast<const __m128i*>(next + x)));
    // Bit i for pixel x + i; the row holds the first pixel in the high bit.
    const int black = _mm_movemask_epi8(_mm_cmplt_epi8(_mm_xor_si128(grey, sign), thresholds));
    row[x / 8] = g_reversed.b[black & 0xFF];
    row[x / 8 + 1] = g_reversed.b[black >> 8];
  }
  return FinishRow(row);
}

bool PureToBits(const BYTE* line, const BYTE* next, BYTE* row) {
  // At Standard black where either line is black: white only where both are.
  for (int at = 0; at < kFaxWidth / 8; at += 8) {
    ULONGLONG white, other;
    CopyMemory(&white, line + at, 8);
    if (next) {
      CopyMemory(&other, next + at, 8);
      white &= other;
    }
    white = ~white;
    CopyMemory(row + at, &white, 8);
  }
  return FinishRow(row);
}

void TurnedLine(const Canvas& c, const FaxPage& p, int drawnRows, int drawn, BYTE* line) {
  FillMemory(line, kFaxWidth, 0xFF);
  const BYTE* column = c.bits + (drawnRows - 1 - drawn);
  for (int v = 0; v < p.width; ++v) line[p.left + v] = column[static_cast<size_t>(v) * c.rows];
}
