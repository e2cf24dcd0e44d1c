#include "ticket.h"

#include <strsafe.h>

#include <algorithm>

#include "product.h"

namespace {

const wchar_t kEmfSection[] = L"EMF";

// Parses what GetPrivateProfileIntW is documented to parse: optional sign,
// then digits; anything after them is ignored. Decided from the text, since
// Wine reads "-1" as 4294967295.
DWORD ParseCount(const wchar_t* s) {
  bool negative = false;
  if (*s == L'+' || *s == L'-') negative = *s++ == L'-';
  unsigned long long value = 0;
  bool digits = false;
  for (; *s >= L'0' && *s <= L'9'; ++s) {
    digits = true;
    value = value * 10 + static_cast<unsigned>(*s - L'0');
    if (value > 0xFFFFFFFFull) return 0;  // absurd: no page list is that long
  }
  if (!digits || negative) return 0;
  return static_cast<DWORD>(value);
}

// The index i for which "File%d" formats to this key (case ignored), or false.
bool PageIndexOfKey(const wchar_t* key, size_t length, DWORD* index) {
  static const wchar_t kPrefix[] = L"file";
  if (length < 5) return false;
  for (int i = 0; i < 4; ++i) {
    wchar_t c = key[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != kPrefix[i]) return false;
  }
  const wchar_t* p = key + 4;
  const wchar_t* end = key + length;
  bool negative = *p == L'-';
  if (negative) ++p;
  if (p == end || end - p > 10) return false;
  if (*p == L'0' && (negative || end - p != 1)) return false;  // %d prints no leading zero
  long long value = 0;
  for (; p < end; ++p) {
    if (*p < L'0' || *p > L'9') return false;
    value = value * 10 + (*p - L'0');
  }
  if (negative) value = -value;
  if (value > 2147483647LL || value < -2147483648LL) return false;
  *index = static_cast<DWORD>(static_cast<int>(value));
  return true;
}

// What a key read into a buffer of kPathUnits gives for a stored value:
// surrounding quotes of one kind removed, cut to kPathUnits - 1 characters.
void CopyValue(const wchar_t* value, wchar_t* out) {
  const size_t units = kPathUnits;
  wchar_t quote = 0;
  if ((value[0] == L'\'' || value[0] == L'"') && value[1] && value[lstrlenW(value) - 1] == value[0])
    quote = *value++;
  lstrcpynW(out, value, static_cast<int>(units));
  if (quote && units >= static_cast<size_t>(lstrlenW(value))) out[lstrlenW(out) - 1] = L'\0';
}

// The blanks the private-profile functions trim around keys and values (the
// DOS end-of-file mark among them).
bool IsBlank(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r') || c == 0x1A; }

// One line of a section as the key-by-key read sees it: blanks around the key
// and the value trimmed, the value terminated in place. False for a comment
// (";") or an empty line, which no key read ever matches.
bool SplitLine(wchar_t* line, const wchar_t** key, size_t* keyLength, const wchar_t** value) {
  while (IsBlank(*line)) ++line;
  if (*line == L'\0' || *line == L';') return false;
  wchar_t* equals = line;
  while (*equals && *equals != L'=') ++equals;
  wchar_t* keyEnd = equals;
  while (keyEnd > line && IsBlank(keyEnd[-1])) --keyEnd;
  *key = line;
  *keyLength = static_cast<size_t>(keyEnd - line);
  wchar_t* text = equals;
  if (*text) {
    ++text;
    while (IsBlank(*text)) ++text;
    wchar_t* textEnd = text + lstrlenW(text);
    while (textEnd > text && IsBlank(textEnd[-1])) --textEnd;
    *textEnd = L'\0';
  }
  *value = text;
  return true;
}

struct PageEntry {
  DWORD index;
  DWORD order;  // position in the section: the first key of a name wins
  const wchar_t* value;
};

const wchar_t kUnwritten = 0xFFFF;

// The length of a name list that the platform wrote over kUnwritten, up to
// and with its last name's terminator; the buffer's size when it is full.
DWORD WrittenLength(const wchar_t* buffer, unsigned long long units) {
  unsigned long long end = 0;
  while (end < units && buffer[end] != kUnwritten) ++end;
  if (end == units) return static_cast<DWORD>(units);
  while (end > 0 && buffer[end - 1] == L'\0') --end;  // empty names at the end name nothing
  return static_cast<DWORD>(end == 0 ? 0 : end + 1);
}

// Reads the whole section (names only, or names and values) into a buffer
// grown until it fits, from `units` on. Returns the buffer (HeapFree) or null
// and the length of its strings, their terminators but the last included.
wchar_t* ReadSection(const wchar_t* ticket, bool namesOnly, unsigned long long units,
                     DWORD* length) {
  const unsigned long long kMaxUnits = 0x7FFFFFFFull / sizeof(wchar_t);
  for (;;) {
    if (units > kMaxUnits) units = kMaxUnits;
    wchar_t* buffer =
        static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(units) * 2));
    if (!buffer) return nullptr;
    // A key name may be empty ("=value" gives ""), so a double terminator
    // does not mark the end of a name list, and Wine then answers 0 for the
    // length: the list ends where the platform stopped writing, which a
    // filling of noncharacters shows.
    if (namesOnly)
      for (unsigned long long i = 0; i < units; ++i) buffer[i] = kUnwritten;
    // Both reads answer size - 2 when the buffer was too small.
    DWORD n = namesOnly ? GetPrivateProfileStringW(kEmfSection, nullptr, L"", buffer,
                                                   static_cast<DWORD>(units), ticket)
                        : GetPrivateProfileSectionW(kEmfSection, buffer, static_cast<DWORD>(units),
                                                    ticket);
    if (namesOnly && n + 2 < units) n = WrittenLength(buffer, units);
    if (n + 2 < units) {
      buffer[n] = L'\0';
      buffer[n + 1] = L'\0';
      *length = n;
      return buffer;
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    if (units == kMaxUnits) return nullptr;
    units *= 2;
  }
}

unsigned long long TicketUnits(const wchar_t* ticket) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(ticket, GetFileExInfoStandard, &data)) return 4096;
  return ((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) + 16;
}

// The section read once. The platform documents lines of "key=string" and
// no trimming; Wine trims and drops comments itself, Windows does not, so the
// lines are trimmed and comments skipped here as the key reads do it.
bool VisitInOnePass(const wchar_t* ticket, DWORD count, void (*begin)(void*),
                    void (*page)(const wchar_t*, void*), void* context) {
  DWORD length;
  wchar_t* section = ReadSection(ticket, false, TicketUnits(ticket), &length);
  if (!section) return false;
  const wchar_t* sectionEnd = section + length;

  DWORD lines = 0;
  for (const wchar_t* p = section; p < sectionEnd; p += lstrlenW(p) + 1) ++lines;
  PageEntry* entries =
      static_cast<PageEntry*>(HeapAlloc(GetProcessHeap(), 0, (lines + 1) * sizeof(PageEntry)));
  if (!entries) {
    HeapFree(GetProcessHeap(), 0, section);
    return false;
  }

  DWORD used = 0;
  DWORD order = 0;
  for (wchar_t* p = section; p < sectionEnd; ++order) {
    wchar_t* next = p + lstrlenW(p) + 1;
    const wchar_t* key;
    size_t keyLength;
    const wchar_t* value;
    DWORD index;
    if (SplitLine(p, &key, &keyLength, &value) && PageIndexOfKey(key, keyLength, &index) &&
        index < count) {
      entries[used].index = index;
      entries[used].order = order;
      entries[used].value = value;
      ++used;
    }
    p = next;
  }

  std::sort(entries, entries + used, [](const PageEntry& a, const PageEntry& b) {
    return a.index != b.index ? a.index < b.index : a.order < b.order;
  });
  if (begin) begin(context);
  wchar_t path[kPathUnits];
  for (DWORD i = 0; i < used; ++i) {
    if (i > 0 && entries[i].index == entries[i - 1].index) continue;
    CopyValue(entries[i].value, path);
    page(path, context);
  }

  HeapFree(GetProcessHeap(), 0, entries);
  HeapFree(GetProcessHeap(), 0, section);
  return true;
}

void VisitKey(const wchar_t* ticket, DWORD index, void (*page)(const wchar_t*, void*),
              void* context) {
  wchar_t key[32];
  wchar_t path[kPathUnits];
  StringCchPrintfW(key, 32, L"File%d", static_cast<int>(index));
  GetPrivateProfileStringW(kEmfSection, key, L"", path, kPathUnits, ticket);
  page(path, context);
}

// Only the keys present, each read on its own: slower, but a buffer of key
// names is all the memory it needs.
bool VisitByKeyNames(const wchar_t* ticket, DWORD count, void (*begin)(void*),
                     void (*page)(const wchar_t*, void*), void* context) {
  DWORD length;
  wchar_t* names = ReadSection(ticket, true, 4096, &length);
  if (!names) return false;
  const wchar_t* namesEnd = names + length;
  DWORD keys = 0;
  for (const wchar_t* p = names; p < namesEnd; p += lstrlenW(p) + 1) ++keys;
  DWORD* indexes = static_cast<DWORD*>(HeapAlloc(GetProcessHeap(), 0, (keys + 1) * sizeof(DWORD)));
  if (!indexes) {
    HeapFree(GetProcessHeap(), 0, names);
    return false;
  }
  DWORD used = 0;
  for (wchar_t* p = names; p < namesEnd;) {
    wchar_t* next = p + lstrlenW(p) + 1;
    const wchar_t* key;
    size_t keyLength;
    const wchar_t* unused;
    DWORD index;
    if (SplitLine(p, &key, &keyLength, &unused) && PageIndexOfKey(key, keyLength, &index) &&
        index < count)
      indexes[used++] = index;
    p = next;
  }
  std::sort(indexes, indexes + used);
  if (begin) begin(context);
  for (DWORD i = 0; i < used; ++i)
    if (i == 0 || indexes[i] != indexes[i - 1]) VisitKey(ticket, indexes[i], page, context);
  HeapFree(GetProcessHeap(), 0, indexes);
  HeapFree(GetProcessHeap(), 0, names);
  return true;
}

// Beyond this count a walk over every index could take hours (each read
// scans the file); such a list is left as it stands.
const DWORD kMaxPagesByIndex = 10000;

}  // namespace

DWORD ReadPageCount(const wchar_t* ticket) {
  wchar_t text[kPathUnits];
  GetPrivateProfileStringW(kEmfSection, L"Count", L"", text, kPathUnits, ticket);
  return ParseCount(text);
}

PageListRead ForEachPageFile(const wchar_t* ticket, DWORD count, void (*begin)(void*),
                             void (*page)(const wchar_t*, void*), void* context) {
  if (VisitInOnePass(ticket, count, begin, page, context)) return kPagesReadInOnePass;
  if (VisitByKeyNames(ticket, count, begin, page, context)) return kPagesReadByKeyNames;
  if (count > kMaxPagesByIndex) return kPagesNotRead;
  if (begin) begin(context);
  for (DWORD i = 0; i < count; ++i) VisitKey(ticket, i, page, context);
  return kPagesReadByIndex;
}
