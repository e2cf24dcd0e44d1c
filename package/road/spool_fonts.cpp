// The fonts a document embeds: font definition records inside the pages'
// EMFSPOOL comments, written as files beside the pages (the drawing child
// loads them).
#include <windows.h>
// after windows.h, which it needs
#include <fontsub.h>
#include <stdlib.h>
#include <strsafe.h>

#include <initializer_list>

#include "job_road.h"
#include "scoped.h"
#include "spool_job.h"

namespace {

const wchar_t* const kFontExtension[] = {L"ttf", L"pfm", L"pfb"};

const DWORD kEmrComment = 70;               // EMR_COMMENT (EMR_GDICOMMENT)
const DWORD kEmfSpoolComment = 0;           // its CommentIdentifier for EMFSPOOL records
const DWORD kFontDefinitions = 0x544F4E46;  // the EMFSpoolRecordIdentifier of font records
const unsigned short kMergeSubset = 0, kMergeSubset1 = 1, kMergeDelta = 2;  // usMode values

struct Merge {
  const BYTE* font;
  DWORD fontSize;
  const BYTE* package;
  DWORD packageSize;
  unsigned short mode;
  unsigned char* out;
  ULONG outSize, written, status;
};

// Writes one file of the job folder whole.
bool WriteItem(const Job& job, const wchar_t* name, const BYTE* data, DWORD size) {
  wchar_t path[kPathUnits];
  if (FAILED(StringCchPrintfW(path, kPathUnits, L"%s\\%s", job.folder, name))) return false;
  ScopedHandle file(
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && WriteAll(file.get(), data, size);
}

void RemoveMergeFiles(const Job& job) {
  for (const wchar_t* name : {L"merge.pkg", L"merge.font", L"merge.ttf"}) {
    wchar_t path[kPathUnits];
    if (SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\%s", job.folder, name)))
      DeleteFileW(path);
  }
}

// Subset and delta fonts are font packages (CreateFontPackage's); fontsub
// turns them into working fonts, in a child process (drawing_child.cpp): a
// fontsub that faults (Wine's is a stub that raises) only leaves the font out.
bool MergeFont(const Job& job, Merge& m) {
  m.out = nullptr;
  m.written = 0;
  RemoveMergeFiles(job);
  DWORD exit = 1;
  wchar_t arguments[kPathUnits + 32];
  bool merged = WriteItem(job, L"merge.pkg", m.package, m.packageSize) &&
                (!m.font || WriteItem(job, L"merge.font", m.font, m.fontSize)) &&
                SUCCEEDED(StringCchPrintfW(arguments, ARRAYSIZE(arguments), L"/merge \"%s\" %u",
                                           job.folder, m.mode)) &&
                RunChild(arguments, job.folder, CurrentDrawingLimits().mergeMs, nullptr, &exit) ==
                    kExtractOk &&
                ChildResult(exit) == kExtractOk;
  if (merged) {
    wchar_t path[kPathUnits];
    ScopedHandle file;
    LARGE_INTEGER length = {};
    merged = SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\merge.ttf", job.folder));
    if (merged)
      file.reset(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    merged = file && GetFileSizeEx(file.get(), &length) && length.QuadPart > 0 &&
             length.QuadPart <= kMaxFontBytes;
    if (merged) {
      m.written = static_cast<ULONG>(length.QuadPart);
      m.out = static_cast<unsigned char*>(malloc(m.written));
      DWORD got = 0;
      merged = m.out && ReadFile(file.get(), m.out, m.written, &got, nullptr) && got == m.written;
    }
  }
  RemoveMergeFiles(job);
  if (merged) return true;
  free(m.out);
  m.out = nullptr;
  return false;
}

int WriteFontFile(Job& job, DWORD font, const BYTE* data, DWORD size) {
  wchar_t path[kPathUnits];
  if (!FontPath(job, font, path)) return kExtractCannotWrite;
  ScopedHandle file(
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return kExtractCannotWrite;
  if (!WriteAll(file.get(), data, size) || !FlushFileBuffers(file.get()))
    return kExtractCannotWrite;
  return kExtractOk;
}

// Room for a font of size bytes (a new one, or one that replaces replaced
// bytes of a font kept already) within the job's bounds? A font without room
// is left out, its text drawn with a substitute, and counted for the log.
bool Admit(Job& job, ULONGLONG size, bool adds, ULONGLONG replaced = 0) {
  bool room = (!adds || job.fonts < kMaxFonts) && size <= kMaxFontBytes &&
              job.fontBytes - replaced + size <= kMaxJobFontBytes;
  if (!room) {
    ++job.fontsLeftOut;
    job.fontBytesLeftOut += size;
  }
  return room;
}

int AddFont(Job& job, FontKind kind, const BYTE* data, DWORD size, bool subset, DWORD checksum,
            DWORD index) {
  if (!size || !Admit(job, size, true)) return kExtractOk;
  job.fontBytes += size;
  Font& f = job.font[job.fonts++];  // counted first, so that a failure takes the file away
  f.checksum = checksum;
  f.index = index;
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
  if (code == kExtractOk && MergeFont(job, m)) {
    if (Admit(job, m.written, false, bytes)) {
      code = WriteFontFile(job, font, m.out, m.written);
      job.fontBytes += m.written - static_cast<ULONGLONG>(bytes);
    }
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
    if (at > size || length > size - at) return kExtractOk;
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
        // UniversalFontId (checksum, index), then the font package. A subset
        // whose package alone has no room is not merged at all.
        if (size > 8) {
          if (kind == kRecDeltaFont) {
            if (size - 8 <= kMaxFontBytes)
              code = MergeDelta(job, Dword(body), Dword(body + 4), body + 8, size - 8);
          } else if (Admit(job, size - 8, true)) {
            Merge m = {nullptr, 0, body + 8, size - 8, kMergeSubset1, nullptr, 0, 0, 0};
            bool merged = MergeFont(job, m);
            if (!merged) {
              m.mode = kMergeSubset;
              merged = MergeFont(job, m);
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

}  // namespace

bool FontPath(const Job& job, DWORD font, wchar_t* path) {
  return SUCCEEDED(StringCchPrintfW(path, kPathUnits, L"%s\\font%u.%s", job.folder, font,
                                    kFontExtension[job.font[font].kind]));
}

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
