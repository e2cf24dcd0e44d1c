// Writes EMF spool files as Windows' spooler keeps them for a printed job:
// a header, then records, among them one per page holding the page's EMF.
// Shared by the spoolgen tool and the test suites' spool builder.
#pragma once
#include <windows.h>

namespace spoolwrite {

// The version every EMF spool header carries.
const DWORD kSpoolVersion = 0x00010000;

// Record kinds of EMF spool data.
enum RecordKind : DWORD {
  kMetafile = 0x01,
  kEngineFont = 0x02,
  kDevmode = 0x03,
  kType1Font = 0x04,
  kPreStartPage = 0x05,
  kDesignVector = 0x06,
  kSubsetFont = 0x07,
  kDeltaFont = 0x08,
  kFormMetafile = 0x09,
  kBwMetafile = 0x0A,
  kBwFormMetafile = 0x0B,
  kMetafileData = 0x0C,
  kMetafileExt = 0x0D,
  kBwMetafileExt = 0x0E,
  kEngineFontExt = 0x0F,
  kType1FontExt = 0x10,
  kDesignVectorExt = 0x11,
  kSubsetFontExt = 0x12,
  kDeltaFontExt = 0x13,
  kPsJobData = 0x14,
  kEmbedFontExt = 0x15,
};

// Where the bytes go: a file, or a test's memory buffer.
struct Sink {
  void* context;
  bool (*write)(void* context, const void* data, DWORD size);
  ULONGLONG written;  // bytes written so far (the next record's offset)
};

// Draws a real GDI page (frame, title text, lines; colour fills unless mono)
// into a memory EMF. bitmapBytes > 0 adds a stretched bitmap of about that
// size, to make big pages. Returns null on failure.
HENHMETAFILE DrawSamplePage(int page, int pages, bool mono, DWORD bitmapBytes);

// The header record with the document and output device names (either may be null).
bool WriteHeader(Sink* sink, const wchar_t* docName, const wchar_t* output);
// One record: kind, size of data rounded up to 4 bytes, the data, zero padding.
bool WriteRecord(Sink* sink, DWORD kind, const void* data, DWORD size);
// A page as Windows spools it: a page content record of the given kind, and
// then, when ext is non-zero, the page offset record of that kind pointing
// back at it (kMetafileExt for colour, kBwMetafileExt for monochrome).
bool WritePage(Sink* sink, const void* emf, DWORD size, DWORD kind, DWORD ext);
// The same, taking the bytes of a drawn page.
bool WritePageEmf(Sink* sink, HENHMETAFILE emf, DWORD kind, DWORD ext);

}  // namespace spoolwrite
