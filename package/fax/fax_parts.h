// The parts of the fax document, shared by its sources only: the page
// canvas and its drawing (fax_page_draw.cpp), and the TIFF file (fax_tiff.cpp).
#pragma once

#include <windows.h>

#include "fax_document.h"
#include "t4.h"

const int kFaxWidth = kT4MaxWidth;  // 1728 pixels: 215 mm at 204 dpi

// ---- the page ----------------------------------------------------------------

// One block of memory seen as three bitmaps: the fax page upright in 8-bit
// grey (kFaxWidth x rows), for a landscape page the page as it is (rows x
// kFaxWidth, 8-bit), read out a quarter turned, and the upright page in
// 1 bit a pixel (black 0, white 1, as the grey levels' bits) for pages
// without grey. Wine 8 draws text tiny under a world transform that only
// turns, so the turn is done on the pixels.
struct Canvas {
  HDC dc;
  HANDLE section;
  HBITMAP upright, sideways, pure;
  HGDIOBJ old;
  BYTE* bits;  // grey levels, or 1-bit rows of kFaxWidth / 8 bytes; top-down
  int rows;
};

bool MakeCanvas(Canvas& c, int rows);
void FreeCanvas(Canvas& c);

struct PageDraw {
  Canvas* canvas;
  HENHMETAFILE emf;
  FaxPage place;
  int piece;      // the fax page of it drawn
  int drawnRows;  // its drawn lines
  bool pure;      // drawn into the 1-bit bitmap (an upright page in black and white only)
  BOOL played;
};

// Plays d->emf into the canvas so that fax page d->piece of the page lies
// on it; d->played tells whether GDI played it.
DWORD DrawPage(void* d);

// Whether every record of the page draws in pure black or white (or not at
// all), so that the 1-bit bitmap shows it as the grey one would.
bool PageIsPure(HENHMETAFILE emf);
// Records played for nothing: colour management means nothing on a 1-bit
// page (and Wine 8 faults on EMR_SETCOLORSPACE).
bool IsColourManagement(DWORD type);
// Font records whose quality byte (at this offset) the player sets to
// unsmoothed: those of a sensible size.
const DWORD kFontQualityAt = 12 + 26;  // EMR, ihFont, LOGFONTW up to lfQuality
const DWORD kLargestFontRecord = 1024;

// One fax line to 1 bit per pixel, 1 = black: a drawn line, or at Standard
// the darker of two drawn lines' pixels (next, or null at Fine). False for
// a line without ink.
bool ToBits(const BYTE* pixels, const BYTE* next, int y, BYTE* row);
// The same from the 1-bit bitmap's lines (white 1): no tone to dither.
bool PureToBits(const BYTE* line, const BYTE* next, BYTE* row);

// A drawn line of a turned page: the page's column that lands on it, its
// top edge on the fax's left side.
void TurnedLine(const Canvas& c, const FaxPage& p, int drawnRows, int drawn, BYTE* line);

// ---- the TIFF -----------------------------------------------------------------

struct Tiff {
  HANDLE file;
  BYTE* buffer;  // kTiffBuffer bytes
  DWORD used;
  ULONGLONG offset;  // file offset of buffer[used]
  bool ok;
  bool tooLarge;  // a page would lie past the 32-bit offsets
};
const DWORD kTiffBuffer = 64 * 1024;

bool FlushTiff(Tiff& t);
// Appends size bytes; t.ok turns false on a write error.
void PutBytes(Tiff& t, const void* data, DWORD size);
// The file's header, its first directory at offset 8.
void WriteTiffHeader(Tiff& t);
// One page: its directory on a word boundary, the values that do not fit
// the directory, then its strip. page counts from 0; the last page's
// directory ends the chain.
void WriteTiffPage(Tiff& t, const BYTE* strip, DWORD stripBytes, int rows, bool fine, DWORD page,
                   DWORD pages);
