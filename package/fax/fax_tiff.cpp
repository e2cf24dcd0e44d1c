// The TIFF file of the fax document: a header, then each page's strip and
// directory, written through one buffer.
#include "fax_parts.h"

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

namespace {

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

}  // namespace

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
