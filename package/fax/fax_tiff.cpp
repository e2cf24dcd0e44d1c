// The TIFF file of the fax document, as TIFF 6.0 and the Class F profile
// (RFC 2306) lay it out: the header, then page by page a directory on a word
// boundary, the values that do not fit it, and the page's one strip. Each
// directory comes before its data, so a reader streams the file front to
// back; everything is written in order through one buffer.
#include "fax_parts.h"

namespace {

enum : WORD { kShort = 3, kLong = 4, kRational = 5, kAscii = 2 };
const char kSoftware[8] = "Orvalis";
const WORD kEntries = 19;
// The directory and its values: XResolution, YResolution, Software.
const DWORD kDirectoryBytes = 2 + kEntries * 12 + 4 + 8 + 8 + sizeof(kSoftware);

void Put16(Tiff& t, WORD v) { PutBytes(t, &v, 2); }
void Put32(Tiff& t, DWORD v) { PutBytes(t, &v, 4); }

void Entry(Tiff& t, WORD tag, WORD type, DWORD count, DWORD value) {
  Put16(t, tag);
  Put16(t, type);
  Put32(t, count);
  Put32(t, value);  // a SHORT sits in the low half, as little-endian files have it
}

}  // namespace

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
}

void WriteTiffHeader(Tiff& t) {
  const BYTE header[8] = {'I', 'I', 42, 0, 8, 0, 0, 0};
  PutBytes(t, header, sizeof(header));
}

void WriteTiffPage(Tiff& t, const BYTE* strip, DWORD stripBytes, int rows, bool fine, DWORD page,
                   DWORD pages) {
  // TIFF 6.0: a directory begins on a word boundary; its values follow it
  // (even offsets, as the directory is of even size), then the strip.
  ULONGLONG at = t.offset + (t.offset & 1);
  ULONGLONG end = at + kDirectoryBytes + stripBytes;
  // Every offset and count in the file is 32 bits, the next directory's too.
  if (end + (end & 1) > 0xFFFFFFFFull) {
    t.tooLarge = true;
    t.ok = false;
    return;
  }
  if (t.offset & 1) PutBytes(t, "", 1);
  const DWORD values = static_cast<DWORD>(at) + 2 + kEntries * 12 + 4;
  const DWORD next = page + 1 < pages ? static_cast<DWORD>(end + (end & 1)) : 0;
  Put16(t, kEntries);
  Entry(t, 254, kLong, 1, 2);                             // NewSubfileType: a page of a document
  Entry(t, 256, kShort, 1, kFaxWidth);                    // ImageWidth
  Entry(t, 257, kLong, 1, rows);                          // ImageLength
  Entry(t, 258, kShort, 1, 1);                            // BitsPerSample
  Entry(t, 259, kShort, 1, 3);                            // Compression: T.4
  Entry(t, 262, kShort, 1, 0);                            // PhotometricInterpretation: white is 0
  Entry(t, 266, kShort, 1, 1);                            // FillOrder: the first bit highest
  Entry(t, 273, kLong, 1, values + 24);                   // StripOffsets
  Entry(t, 274, kShort, 1, 1);                            // Orientation: top left
  Entry(t, 277, kShort, 1, 1);                            // SamplesPerPixel
  Entry(t, 278, kLong, 1, rows);                          // RowsPerStrip: one strip a page
  Entry(t, 279, kLong, 1, stripBytes);                    // StripByteCounts
  Entry(t, 282, kRational, 1, values);                    // XResolution 204
  Entry(t, 283, kRational, 1, values + 8);                // YResolution 98 or 196
  Entry(t, 284, kShort, 1, 1);                            // PlanarConfiguration
  Entry(t, 292, kLong, 1, 4);                             // T4Options: 1-D, fill bits before EOL
  Entry(t, 296, kShort, 1, 2);                            // ResolutionUnit: inch
  Entry(t, 297, kShort, 2, (pages << 16) | page);         // PageNumber: from 0, of pages
  Entry(t, 305, kAscii, sizeof(kSoftware), values + 16);  // Software
  Put32(t, next);
  Put32(t, 204);
  Put32(t, 1);
  Put32(t, fine ? 196 : 98);
  Put32(t, 1);
  PutBytes(t, kSoftware, sizeof(kSoftware));
  PutBytes(t, strip, stripBytes);
}
