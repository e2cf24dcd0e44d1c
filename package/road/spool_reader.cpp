// EMF spool files to pages and a ticket.
//
// The data is read strictly in order (a job's spool data comes through
// ReadPrinter, which cannot seek) through one fixed buffer, and each page's
// EMF is streamed into its file: memory stays the same whatever the size of
// the file or of its pages. Nothing in the data is trusted: every size is
// checked against the bytes that really follow, and a page's own EMF header
// must agree with its record before anything of it is written.
//
// The fonts a document embeds sit inside its pages (font definition records
// in EMR_COMMENT_EMFSPOOL comments); each becomes a file beside the pages and
// is loaded into the process while the pages are drawn into fax.tif.
#include <windows.h>

#include <fontsub.h>
#include <stdlib.h>
#include <strsafe.h>

#include <initializer_list>

#include "fax_document.h"
#include "job_road.h"
#include "product.h"
#include "scoped.h"

namespace {

const DWORD kSpoolVersion = 0x00010000;
const DWORD kSpoolHeaderBytes = 16;  // version, size, two name offsets
const DWORD kRecordHeadBytes = 8;    // kind, size of the data that follows

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

// The fixed part of a page's EMR_HEADER record, and what it must hold.
const DWORD kEmfHeaderBytes = 88;
const DWORD kEmrHeader = 1;
const DWORD kEmfSignature = 0x464D4520;  // " EMF"
const DWORD kEmfSizeAt = 4, kEmfSignatureAt = 40, kEmfBytesAt = 48;

const DWORD kChunk = 64 * 1024;

DWORD Dword(const BYTE* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

// ---- reading ---------------------------------------------------------------

struct Reader {
  const SpoolSource* source;
  BYTE* buffer;  // kChunk bytes; the unread ones are [start, end)
  DWORD start, end;
  ULONGLONG offset;  // how many bytes of the data have been consumed
  bool failed;       // the source reported an error
};

DWORD Available(Reader& r) {
  if (r.start == r.end && !r.failed) {
    r.start = r.end = 0;
    DWORD got = 0;
    // A source that claims more than it was asked for is treated as failing.
    if (!r.source->read(r.source->context, r.buffer, kChunk, &got) || got > kChunk)
      r.failed = true;
    else
      r.end = got;
  }
  return r.end - r.start;
}

void Consume(Reader& r, DWORD n) {
  r.start += n;
  r.offset += n;
}

// Copies up to size bytes; fewer only at the end of the data or on an error.
DWORD ReadUpTo(Reader& r, void* to, DWORD size) {
  DWORD done = 0;
  while (done < size) {
    DWORD n = Available(r);
    if (!n) break;
    if (n > size - done) n = size - done;
    CopyMemory(static_cast<BYTE*>(to) + done, r.buffer + r.start, n);
    Consume(r, n);
    done += n;
  }
  return done;
}

// A record that claims more bytes than remain is damaged; a failing source is not.
int ShortRead(const Reader& r) { return r.failed ? kExtractCannotRead : kExtractDamaged; }

int Skip(Reader& r, DWORD size) {
  while (size) {
    DWORD n = Available(r);
    if (!n) return ShortRead(r);
    if (n > size) n = size;
    Consume(r, n);
    size -= n;
  }
  return kExtractOk;
}

// ---- the job folder --------------------------------------------------------

// An embedded font written beside the pages.
enum FontKind : BYTE { kFontTrueType, kFontPfm, kFontPfb };
const wchar_t* const kFontExtension[] = {L"ttf", L"pfm", L"pfb"};

struct Font {
  DWORD checksum, index;  // a subset font's UniversalFontId, for its delta records
  HANDLE loaded;          // AddFontMemResourceEx's handle while the pages are drawn
  FontKind kind;
  bool subset;
};

// More fonts than this in one job are left out (the pages draw them with substitutes).
const DWORD kMaxFonts = 256;
// A font record larger than this is left out rather than held in memory.
const DWORD kMaxFontBytes = 32 * 1024 * 1024;

struct Job {
  wchar_t folder[kPathUnits];  // full path, no trailing separator
  size_t createdFrom;          // length of the outermost folder we created; 0: none
  DWORD pages;                 // page files created so far
  bool ticket;                 // job.ini created
  bool fax;                    // fax.tif created
  bool devmode;                // the job's device mode was read
  bool fine;                   // Fine, unless the device mode asks for at most 98 dpi
  DWORD fonts;                 // font files created so far
  Font font[kMaxFonts];
};

bool ItemPath(const Job& job, const wchar_t* name, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\%s", job.folder, name));
}

bool PagePath(const Job& job, DWORD page, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\page%u.emf", job.folder, page));
}

bool FontPath(const Job& job, DWORD font, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\font%u.%s", job.folder, font,
                                    kFontExtension[job.font[font].kind]));
}

bool IsFolder(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Makes the folder with any missing parents, remembering the outermost one
// made so that a failed extraction can take them away again.
int PrepareFolder(const wchar_t* folder, Job& job) {
  DWORD length = GetFullPathNameW(folder, kPathUnits, job.folder, nullptr);
  if (!length || length >= kPathUnits) return kExtractCannotWrite;
  while (length > 3 && (job.folder[length - 1] == L'\\' || job.folder[length - 1] == L'/'))
    job.folder[--length] = L'\0';
  if (IsFolder(job.folder)) return kExtractOk;
  for (DWORD i = 1; i <= length; ++i) {
    if (i < length && job.folder[i] != L'\\' && job.folder[i] != L'/') continue;
    wchar_t saved = job.folder[i];
    job.folder[i] = L'\0';
    // Prefixes that exist already (or cannot be made, like "\\server") fail
    // here; only the final check decides.
    if (CreateDirectoryW(job.folder, nullptr) && !job.createdFrom) job.createdFrom = i;
    job.folder[i] = saved;
  }
  return IsFolder(job.folder) ? kExtractOk : kExtractCannotWrite;
}

// Takes away what a failed extraction wrote: the ticket, the pages, and the
// folders it made (only while they are empty).
void Undo(Job& job) {
  wchar_t path[kPathUnits];
  if (job.ticket && ItemPath(job, L"job.ini", path)) DeleteFileW(path);
  if (job.fax && ItemPath(job, L"fax.tif", path)) DeleteFileW(path);
  for (DWORD font = 0; font < job.fonts; ++font)
    if (FontPath(job, font, path)) DeleteFileW(path);
  for (DWORD page = 0; page < job.pages; ++page)
    if (PagePath(job, page, path)) DeleteFileW(path);
  if (!job.createdFrom) return;
  StringCchCopyW(path, kPathUnits, job.folder);
  size_t length = lstrlenW(path);
  while (length >= job.createdFrom) {
    if (!RemoveDirectoryW(path)) break;
    while (length > 0 && path[length - 1] != L'\\' && path[length - 1] != L'/') --length;
    if (length == 0) break;
    path[--length] = L'\0';
  }
}

// A ticket of an earlier extraction into this folder goes first: until the
// new one is written, none may list pages that are being replaced. Its fax
// document goes too, so that a failure leaves none.
int RemoveOldTicket(const Job& job) {
  for (const wchar_t* name : {L"job.ini", L"fax.tif"}) {
    wchar_t path[kPathUnits];
    if (!ItemPath(job, name, path)) return kExtractCannotWrite;
    if (!DeleteFileW(path) && GetLastError() != ERROR_FILE_NOT_FOUND) return kExtractCannotWrite;
  }
  return kExtractOk;
}

// ---- pages -----------------------------------------------------------------

bool WriteAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) && written == size;
}

int PageFonts(Job& job, HANDLE file, DWORD size);

// One page content record: its data is the page's complete EMF, size bytes.
int ExtractPage(Reader& r, Job& job, DWORD size) {
  BYTE header[kEmfHeaderBytes];
  if (size < kEmfHeaderBytes) return kExtractDamaged;
  if (ReadUpTo(r, header, kEmfHeaderBytes) < kEmfHeaderBytes) return ShortRead(r);
  DWORD headerSize = Dword(header + kEmfSizeAt);
  if (Dword(header) != kEmrHeader || Dword(header + kEmfSignatureAt) != kEmfSignature ||
      Dword(header + kEmfBytesAt) != size || headerSize < kEmfHeaderBytes || headerSize % 4 ||
      headerSize > size)
    return kExtractDamaged;

  wchar_t path[kPathUnits];
  if (!PagePath(job, job.pages, path)) return kExtractCannotWrite;
  // A page of an earlier extraction into this folder (a retried job) is replaced.
  ScopedHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return kExtractCannotWrite;
  ++job.pages;
  if (!WriteAll(file.get(), header, kEmfHeaderBytes)) return kExtractCannotWrite;
  DWORD left = size - kEmfHeaderBytes;
  while (left) {
    DWORD n = Available(r);
    if (!n) return ShortRead(r);
    if (n > left) n = left;
    if (!WriteAll(file.get(), r.buffer + r.start, n)) return kExtractCannotWrite;
    Consume(r, n);
    left -= n;
  }
  // The job may be deleted from the queue once it is extracted: the page must
  // be on the disk by then.
  if (!FlushFileBuffers(file.get())) return kExtractCannotWrite;
  return PageFonts(job, file.get(), size);
}

// ---- fonts -----------------------------------------------------------------

const DWORD kEmrComment = 70;               // EMR_COMMENT (EMR_GDICOMMENT)
const DWORD kEmfSpoolComment = 0;           // its CommentIdentifier for EMFSPOOL records
const DWORD kFontDefinitions = 0x544F4E46;  // the EMFSpoolRecordIdentifier of font records
const unsigned short kMergeSubset = 0, kMergeSubset1 = 1, kMergeDelta = 2;  // usMode values

// fontsub.dll's merge, as Microsoft documents it (mingw's header lacks it).
extern "C" ULONG __cdecl MergeFontPackage(const unsigned char* mergeFont, const ULONG mergeFontSize,
                                          const unsigned char* package, const ULONG packageSize,
                                          unsigned char** dest, ULONG* destSize, ULONG* written,
                                          const unsigned short mode, CFP_ALLOCPROC allocate,
                                          CFP_REALLOCPROC reallocate, CFP_FREEPROC release,
                                          void* reserved);

WORD Word(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

struct Merge {
  const BYTE* font;
  DWORD fontSize;
  const BYTE* package;
  DWORD packageSize;
  unsigned short mode;
  unsigned char* out;
  ULONG outSize, written, status;
};

DWORD MergeWork(void* param) {
  Merge* m = static_cast<Merge*>(param);
  m->status = MergeFontPackage(m->font, m->fontSize, m->package, m->packageSize, &m->out,
                               &m->outSize, &m->written, m->mode, malloc, realloc, free, nullptr);
  return 0;
}

// Subset and delta fonts are font packages (CreateFontPackage's); fontsub
// turns them into working fonts. Guarded: a fontsub that faults (Wine's is a
// stub that raises) only leaves the font out.
bool MergeFont(Merge& m) {
  m.out = nullptr;
  m.written = 0;
  DWORD result = 0;
  if (RunGuarded(MergeWork, &m, &result, 60 * 1000) && m.status == 0 && m.out && m.written &&
      m.written <= kMaxFontBytes)
    return true;
  if (m.out) free(m.out);
  m.out = nullptr;
  return false;
}

void LoadFont(Font& f, const BYTE* data, DWORD size) {
  if (f.loaded) RemoveFontMemResourceEx(f.loaded);
  f.loaded = nullptr;
  if (f.kind != kFontTrueType) return;  // Type 1 fonts load from files only
  DWORD count = 0;
  f.loaded = AddFontMemResourceEx(const_cast<BYTE*>(data), size, nullptr, &count);
}

void UnloadFonts(Job& job) {
  for (DWORD i = 0; i < job.fonts; ++i)
    if (job.font[i].loaded) RemoveFontMemResourceEx(job.font[i].loaded);
}

int WriteFontFile(Job& job, DWORD font, const BYTE* data, DWORD size) {
  wchar_t path[kPathUnits];
  if (!FontPath(job, font, path)) return kExtractCannotWrite;
  ScopedHandle file(
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return kExtractCannotWrite;
  if (!WriteAll(file.get(), data, size) || !FlushFileBuffers(file.get()))
    return kExtractCannotWrite;
  LoadFont(job.font[font], data, size);
  return kExtractOk;
}

int AddFont(Job& job, FontKind kind, const BYTE* data, DWORD size, bool subset, DWORD checksum,
            DWORD index) {
  if (job.fonts >= kMaxFonts || !size) return kExtractOk;
  Font& f = job.font[job.fonts++];  // counted first, so that a failure takes the file away
  f.checksum = checksum;
  f.index = index;
  f.loaded = nullptr;
  f.kind = kind;
  f.subset = subset;
  return WriteFontFile(job, job.fonts - 1, data, size);
}

// A delta font adds glyphs to the working font made from its subset record.
int MergeDelta(Job& job, DWORD checksum, DWORD index, const BYTE* package, DWORD size) {
  DWORD font = job.fonts;
  for (DWORD i = 0; i < job.fonts; ++i)
    if (job.font[i].subset && job.font[i].checksum == checksum && job.font[i].index == index)
      font = i;
  if (font == job.fonts) return kExtractOk;  // no subset to add to: left out
  wchar_t path[kPathUnits];
  if (!FontPath(job, font, path)) return kExtractCannotWrite;
  ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER length = {};
  if (!file || !GetFileSizeEx(file.get(), &length) || length.QuadPart > kMaxFontBytes)
    return kExtractCannotWrite;
  DWORD bytes = static_cast<DWORD>(length.QuadPart), got = 0;
  BYTE* working = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1));
  if (!working) return kExtractFailed;
  int code = kExtractOk;
  if (!ReadFile(file.get(), working, bytes, &got, nullptr) || got != bytes)
    code = kExtractCannotWrite;
  file.reset();
  Merge m = {working, bytes, package, size, kMergeDelta, nullptr, 0, 0, 0};
  if (code == kExtractOk && MergeFont(m)) {
    code = WriteFontFile(job, font, m.out, m.written);
    free(m.out);
  }
  HeapFree(GetProcessHeap(), 0, working);
  return code;
}

// The files of an EMRI_ENGINE_FONT (TrueType) or EMRI_TYPE1_FONT record:
// Type1ID, NumFiles, the sizes (engine) or end offsets (Type 1) of the
// files, padding to 8 bytes from the record's start, the files.
int FontFiles(Job& job, DWORD kind, const BYTE* body, DWORD size) {
  if (size < 8) return kExtractOk;
  DWORD files = Dword(body + 4);
  if (!files || files > 64 || 8 + 4 * files > size) return kExtractOk;
  const DWORD content = ((kRecordHeadBytes + 8 + 4 * files + 7) & ~7u) - kRecordHeadBytes;
  DWORD at = content, end = 0;
  for (DWORD i = 0; i < files; ++i) {
    DWORD entry = Dword(body + 8 + 4 * i), length;
    if (kind == kRecEngineFont) {
      length = entry;
    } else {
      if (entry <= end) return kExtractOk;
      length = entry - end;
      at = content + end;
      end = entry;
    }
    if (at > size || length > size - at || length > kMaxFontBytes) return kExtractOk;
    FontKind type = kFontTrueType;
    if (kind == kRecType1Font)
      type = length >= 2 && body[at] == 0x80 && body[at + 1] == 0x01 ? kFontPfb : kFontPfm;
    int code = AddFont(job, type, body + at, length, false, 0, 0);
    if (code != kExtractOk) return code;
    if (kind == kRecEngineFont) at += (length + 3) & ~3u;
  }
  return kExtractOk;
}

// The font definition records of one EMFSPOOL comment. A list that does not
// hold together ends there: the page itself is sound and draws without it.
int FontRecords(Job& job, const BYTE* p, DWORD n) {
  DWORD at = 0;
  while (n - at >= kRecordHeadBytes) {
    DWORD kind = Dword(p + at), size = Dword(p + at + 4);
    if (size % 4 || size > n - at - kRecordHeadBytes) break;
    const BYTE* body = p + at + kRecordHeadBytes;
    int code = kExtractOk;
    switch (kind) {
      case kRecEngineFont:
      case kRecType1Font:
        code = FontFiles(job, kind, body, size);
        break;
      case kRecSubsetFont:
      case kRecDeltaFont:
        // UniversalFontId (checksum, index), then the font package.
        if (size > 8 && size - 8 <= kMaxFontBytes) {
          if (kind == kRecDeltaFont) {
            code = MergeDelta(job, Dword(body), Dword(body + 4), body + 8, size - 8);
          } else {
            Merge m = {nullptr, 0, body + 8, size - 8, kMergeSubset1, nullptr, 0, 0, 0};
            bool merged = MergeFont(m);
            if (!merged) {
              m.mode = kMergeSubset;
              merged = MergeFont(m);
            }
            if (merged) {
              code =
                  AddFont(job, kFontTrueType, m.out, m.written, true, Dword(body), Dword(body + 4));
              free(m.out);
            }
          }
        }
        break;
      default:
        // Design vectors carry no glyphs; anything else is not a font.
        break;
    }
    if (code != kExtractOk) return code;
    at += kRecordHeadBytes + size;
  }
  return kExtractOk;
}

// Walks the records of a page just written, for its EMFSPOOL font comments.
int PageFonts(Job& job, HANDLE file, DWORD size) {
  ScopedHandle mapping(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return kExtractCannotWrite;
  const BYTE* p = static_cast<const BYTE*>(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  if (!p) return kExtractCannotWrite;
  int code = kExtractOk;
  for (DWORD at = 0; code == kExtractOk && size - at >= 8;) {
    DWORD type = Dword(p + at), length = Dword(p + at + 4);
    if (length < 8 || length % 4 || length > size - at) break;
    if (type == kEmrComment && length >= 20) {
      DWORD data = Dword(p + at + 8);
      if (data >= 8 && data <= length - 12 && Dword(p + at + 12) == kEmfSpoolComment &&
          Dword(p + at + 16) == kFontDefinitions)
        code = FontRecords(job, p + at + 20, data - 8);
    }
    if (type == EMR_EOF) break;
    at += length;
  }
  UnmapViewOfFile(p);
  return code;
}

// The job's own device mode: the first one in the data. Its vertical
// resolution decides the fax quality; fields count only within dmSize.
int ReadDevmode(Reader& r, Job& job, DWORD size) {
  BYTE mode[128] = {};
  DWORD want = size < sizeof(mode) ? size : sizeof(mode);
  if (ReadUpTo(r, mode, want) < want) return ShortRead(r);
  if (!job.devmode) {
    job.devmode = true;
    const DWORD kSizeAt = 68, kFieldsAt = 72, kQualityAt = 90, kYResolutionAt = 96;
    DWORD limit = want >= kSizeAt + 2 ? Word(mode + kSizeAt) : 0;
    if (limit > want) limit = want;
    DWORD fields = limit >= kFieldsAt + 4 ? Dword(mode + kFieldsAt) : 0;
    short y = 0;
    if ((fields & DM_YRESOLUTION) && limit >= kYResolutionAt + 2)
      y = static_cast<short>(Word(mode + kYResolutionAt));
    if (y <= 0 && (fields & DM_PRINTQUALITY) && limit >= kQualityAt + 2)
      y = static_cast<short>(Word(mode + kQualityAt));
    job.fine = !(y > 0 && y <= 98);
  }
  return Skip(r, size - want);
}

// ---- the records -----------------------------------------------------------

int ReadHeader(Reader& r) {
  BYTE head[kSpoolHeaderBytes];
  DWORD got = ReadUpTo(r, head, kSpoolHeaderBytes);
  if (r.failed) return kExtractCannotRead;
  if (got < 4 || Dword(head) != kSpoolVersion) return kExtractNotEmfSpool;
  if (got < kSpoolHeaderBytes) return kExtractDamaged;
  DWORD size = Dword(head + 4);
  if (size < kSpoolHeaderBytes || size % 4) return kExtractDamaged;
  // The names are not needed, but their offsets must lie inside the record.
  for (DWORD at = 8; at < kSpoolHeaderBytes; at += 4) {
    DWORD name = Dword(head + at);
    if (name && (name < kSpoolHeaderBytes || name % 2 || name > size - 2)) return kExtractDamaged;
  }
  return Skip(r, size - kSpoolHeaderBytes);
}

bool Stopped(HANDLE stop) { return stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }

int ReadRecords(Reader& r, Job& job, HANDLE stop) {
  int code = kExtractOk;
  ULONGLONG firstPage = 0, lastPage = 0;
  // The format ends with a page offset record; data that ends otherwise was
  // cut short (the format has no end record to tell it).
  bool endsWithOffset = false;
  while (code == kExtractOk) {
    if (Stopped(stop)) return kExtractStopped;
    ULONGLONG at = r.offset;
    BYTE head[kRecordHeadBytes];
    DWORD got = ReadUpTo(r, head, kRecordHeadBytes);
    if (r.failed) return kExtractCannotRead;
    if (got == 0) return endsWithOffset ? kExtractOk : kExtractDamaged;
    if (got < kRecordHeadBytes) return kExtractDamaged;
    DWORD kind = Dword(head), size = Dword(head + 4);
    if (size == 0 || size % 4) return kExtractDamaged;
    endsWithOffset = kind == kRecMetafileExt || kind == kRecBwMetafileExt;
    switch (kind) {
      case kRecMetafile:
      case kRecFormMetafile:
      case kRecBwMetafile:
      case kRecBwFormMetafile:
      case kRecMetafileData:
        if (!job.pages) firstPage = at;
        lastPage = at;
        code = ExtractPage(r, job, size);
        break;
      case kRecDevmode:
        code = ReadDevmode(r, job, size);
        break;
      case kRecMetafileExt:
      case kRecBwMetafileExt: {
        // Points back at the page content record it belongs to: it must land
        // between the first and the last page read so far.
        BYTE back[8];
        if (size < sizeof(back)) return kExtractDamaged;
        if (ReadUpTo(r, back, sizeof(back)) < sizeof(back)) return ShortRead(r);
        ULONGLONG distance = Dword(back) | (static_cast<ULONGLONG>(Dword(back + 4)) << 32);
        if (!job.pages || distance % 4 || distance > at - firstPage || at - distance > lastPage)
          return kExtractDamaged;
        code = Skip(r, size - sizeof(back));
        break;
      }
      default:
        // Fonts outside the pages (the format keeps them inside), PostScript
        // data and the other offset records are not needed; a kind the
        // format does not define may hold anything, a page included, so it is
        // not skipped silently.
        if (kind < kRecEngineFont || kind > kRecLastKnown) return kExtractDamaged;
        code = Skip(r, size);
        break;
    }
  }
  return code;
}

// ---- the ticket ------------------------------------------------------------

struct TicketText {
  HANDLE file;
  wchar_t text[2048];
  size_t used;
  bool ok;
};

void Flush(TicketText& out) {
  if (out.ok && out.used) out.ok = WriteAll(out.file, out.text, DWORD(out.used * sizeof(wchar_t)));
  out.used = 0;
}

void Line(TicketText& out, const wchar_t* format, ...) {
  wchar_t line[kPathUnits + 32];
  va_list args;
  va_start(args, format);
  if (FAILED(StringCchVPrintfW(line, ARRAYSIZE(line), format, args))) out.ok = false;
  va_end(args);
  size_t length = lstrlenW(line);
  if (out.used + length > ARRAYSIZE(out.text)) Flush(out);
  CopyMemory(out.text + out.used, line, length * sizeof(wchar_t));
  out.used += length;
}

// job.ini in UTF-16 with its byte-order mark (the private-profile functions
// read such a file as Unicode, so any path survives), written last and on
// the disk before the extraction counts as done.
int WriteTicket(Job& job) {
  wchar_t path[kPathUnits];
  if (!ItemPath(job, L"job.ini", path)) return kExtractCannotWrite;
  TicketText out = {};
  out.file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out.file == INVALID_HANDLE_VALUE) return kExtractCannotWrite;
  ScopedHandle owner(out.file);
  job.ticket = true;
  out.ok = true;
  Line(out, L"\xFEFF[Device]\r\nDeviceName=%s\r\n\r\n[EMF]\r\nCount=%u\r\n", ORVL_PRODUCT_NAME,
       job.pages);
  wchar_t item[kPathUnits];
  for (DWORD page = 0; page < job.pages && out.ok; ++page) {
    if (!PagePath(job, page, item)) return kExtractCannotWrite;
    Line(out, L"File%u=%s\r\n", page, item);
  }
  // The fonts the document embeds, for whoever plays the pages (the
  // converter leaves sections it does not know alone).
  if (job.fonts) Line(out, L"\r\n[Fonts]\r\nCount=%u\r\n", job.fonts);
  for (DWORD font = 0; font < job.fonts && out.ok; ++font) {
    if (!FontPath(job, font, item)) return kExtractCannotWrite;
    Line(out, L"File%u=%s\r\n", font, item);
  }
  if (!ItemPath(job, L"fax.tif", item)) return kExtractCannotWrite;
  Line(out, L"\r\n[Fax]\r\nFile=%s\r\nPages=%u\r\nQuality=%s\r\n", item, job.pages,
       job.fine ? L"Fine" : L"Standard");
  Flush(out);
  return out.ok && FlushFileBuffers(out.file) ? kExtractOk : kExtractCannotWrite;
}

BOOL ReadFileSource(void* context, void* buffer, DWORD size, DWORD* got) {
  return ReadFile(static_cast<HANDLE>(context), buffer, size, got, nullptr);
}

}  // namespace

int ExtractSpool(const SpoolSource& source, const wchar_t* folder, HANDLE stop) {
  if (!folder || !*folder) return kExtractCannotWrite;
  BYTE* buffer = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, kChunk));
  if (!buffer) return kExtractFailed;
  Reader reader = {&source, buffer, 0, 0, 0, false};
  Job* job = static_cast<Job*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Job)));
  int code = job ? kExtractOk : kExtractFailed;
  // The header is read before any folder is made: a file that is not spool
  // data leaves nothing behind.
  if (code == kExtractOk) code = ReadHeader(reader);
  if (code == kExtractOk) code = PrepareFolder(folder, *job);
  if (code == kExtractOk) code = RemoveOldTicket(*job);
  if (job) job->fine = true;  // without a device mode
  if (code == kExtractOk) code = ReadRecords(reader, *job, stop);
  if (code == kExtractOk && Stopped(stop)) code = kExtractStopped;
  if (code == kExtractOk) {
    job->fax = true;
    code = WriteFaxDocument(job->folder, job->pages, job->fine, stop);
  }
  if (job) UnloadFonts(*job);
  if (code == kExtractOk) code = WriteTicket(*job);
  if (code != kExtractOk && job) Undo(*job);
  if (job) HeapFree(GetProcessHeap(), 0, job);
  HeapFree(GetProcessHeap(), 0, buffer);
  return code;
}

int ExtractCommand(int argc, wchar_t** argv) {
  if (argc != 4 || !argv[2][0] || !argv[3][0]) return kExtractUsage;
  // Others may hold the file open (the spooler keeps a kept job's file).
  ScopedHandle file(CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return kExtractCannotRead;
  SpoolSource source = {file.get(), ReadFileSource};
  return ExtractSpool(source, argv[3], nullptr);
}
