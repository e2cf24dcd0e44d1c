// The job being extracted from EMF spool data, shared by the reader's
// sources: the records and folder (spool_reader.cpp) and the fonts the pages
// embed (spool_fonts.cpp).
#pragma once

#include <windows.h>

#include "product.h"

const DWORD kRecordHeadBytes = 8;  // kind, size of the data that follows

// Record kinds of EMF spool data.
enum : DWORD {
  kRecMetafile = 0x01,
  kRecEngineFont = 0x02,
  kRecDevmode = 0x03,
  kRecType1Font = 0x04,
  kRecDesignVector = 0x06,
  kRecSubsetFont = 0x07,
  kRecDeltaFont = 0x08,
  kRecFormMetafile = 0x09,
  kRecBwMetafile = 0x0A,
  kRecBwFormMetafile = 0x0B,
  kRecMetafileData = 0x0C,
  kRecMetafileExt = 0x0D,
  kRecBwMetafileExt = 0x0E,
  kRecLastKnown = 0x15,  // the embedded-font offset record
};

// An embedded font written beside the pages.
enum FontKind : BYTE { kFontTrueType, kFontPfm, kFontPfb };

struct Font {
  DWORD checksum, index;  // a subset font's UniversalFontId, for its delta records
  FontKind kind;
  bool subset;
};

// More fonts than this in one job are left out (the pages draw them with substitutes).
const DWORD kMaxFonts = 256;
// A font record larger than this is left out rather than held in memory.
const DWORD kMaxFontBytes = 32 * 1024 * 1024;
// Fonts past this many bytes in one job are left out too: the drawing child
// loads every font of the job, and three large CJK fonts fit.
const DWORD kMaxJobFontBytes = 64 * 1024 * 1024;

struct Job {
  wchar_t folder[kPathUnits];  // full path, no trailing separator
  size_t createdFrom;          // length of the outermost folder we created; 0: none
  DWORD pages;                 // page files created so far
  bool ticket;                 // job.ini created
  bool fax;                    // fax.tif created
  bool devmode;                // the job's device mode was read
  bool fine;                   // Fine, unless the device mode asks for at most 98 dpi
  DWORD faxPages, splitPages;  // of fax.tif, once written
  DWORD fonts;                 // font files created so far
  ULONGLONG fontBytes;         // the bytes of those files
  DWORD fontsLeftOut;          // fonts left out past the bounds above
  ULONGLONG fontBytesLeftOut;  // and their bytes
  Font font[kMaxFonts];
};

inline DWORD Dword(const BYTE* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}
inline WORD Word(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

bool WriteAll(HANDLE file, const void* data, DWORD size);
bool FontPath(const Job& job, DWORD font, wchar_t* path);

// Walks the records of a page just written (file, size bytes) for its
// EMFSPOOL font comments: each font becomes a file beside the pages.
int PageFonts(Job& job, HANDLE file, DWORD size);
