// EMF spool files to pages and a ticket.
//
// The data is read strictly in order (a job's spool data comes through
// ReadPrinter, which cannot seek) through one fixed buffer, and each page's
// EMF is streamed into its file: memory stays the same whatever the size of
// the file or of its pages. Nothing in the data is trusted: every size is
// checked against the bytes that really follow, and a page's own EMF header
// must agree with its record before anything of it is written.
//
// The fonts a document embeds sit inside its pages (spool_fonts.cpp).
#include <windows.h>
// after windows.h
#include <strsafe.h>

#include <initializer_list>

#include "fax_document.h"
#include "job_road.h"
#include "product.h"
#include "scoped.h"
#include "spool_job.h"

namespace {

const DWORD kSpoolVersion = 0x00010000;
const DWORD kSpoolHeaderBytes = 16;  // version, size, two name offsets

// The fixed part of a page's EMR_HEADER record, and what it must hold.
const DWORD kEmfHeaderBytes = 88;
const DWORD kEmrHeader = 1;
const DWORD kEmfSignature = 0x464D4520;  // " EMF"
const DWORD kEmfSizeAt = 4, kEmfSignatureAt = 40, kEmfBytesAt = 48;

const DWORD kChunk = 64 * 1024;

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

bool ItemPath(const Job& job, const wchar_t* name, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\%s", job.folder, name));
}

bool PagePath(const Job& job, DWORD page, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\page%u.emf", job.folder, page));
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

}  // namespace

bool WriteAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) && written == size;
}

namespace {

// ---- pages -----------------------------------------------------------------

// One page content record: its data is the page's complete EMF, size bytes.
int ExtractPage(Reader& r, Job& job, DWORD size) {
  BYTE header[kEmfHeaderBytes];
  if (size < kEmfHeaderBytes) return kExtractDamaged;
  // Every page becomes at least one fax page, and a TIFF numbers no more.
  if (job.pages >= kFaxMostPages) return kExtractTooLarge;
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
  if (job.fonts || job.fontsLeftOut) Line(out, L"\r\n[Fonts]\r\nCount=%u\r\n", job.fonts);
  // Fonts left out past the job's bounds, for the collector's log.
  if (job.fontsLeftOut)
    Line(out, L"LeftOut=%u\r\nLeftOutBytes=%I64u\r\n", job.fontsLeftOut, job.fontBytesLeftOut);
  for (DWORD font = 0; font < job.fonts && out.ok; ++font) {
    if (!FontPath(job, font, item)) return kExtractCannotWrite;
    Line(out, L"File%u=%s\r\n", font, item);
  }
  if (!ItemPath(job, L"fax.tif", item)) return kExtractCannotWrite;
  // Pages: fax pages, more than the job's pages when Split of them were
  // longer than the longest fax page and continue on the next.
  Line(out, L"\r\n[Fax]\r\nFile=%s\r\nPages=%u\r\nSplit=%u\r\nQuality=%s\r\n", item, job.faxPages,
       job.splitPages, job.fine ? L"Fine" : L"Standard");
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
  FaxPlan plan = {};
  if (code == kExtractOk) code = FaxToExtract(PlanFaxDocument(job->folder, job->pages, &plan));
  if (code == kExtractOk) {
    job->faxPages = plan.faxPages;
    job->splitPages = plan.splitPages;
    job->fax = true;
    code = DrawFaxInChild(job->folder, job->pages, job->fine, job->fonts, plan.faxPages, stop);
  }
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
