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

struct PageEntry {
  DWORD index;
  DWORD order;  // position in the section: the first key of a name wins
  const wchar_t* value;
};

// Reads the whole section; the buffer is sized from the file and grown until
// the section fits. Returns the buffer (HeapFree) or null.
wchar_t* ReadSection(const wchar_t* ticket, DWORD* length) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  unsigned long long units = 4096;
  if (GetFileAttributesExW(ticket, GetFileExInfoStandard, &data))
    units = ((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) + 16;
  const unsigned long long kMaxUnits = 0x7FFFFFFFull / sizeof(wchar_t);
  for (;;) {
    if (units > kMaxUnits) units = kMaxUnits;
    wchar_t* buffer =
        static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(units) * 2));
    if (!buffer) return nullptr;
    DWORD n = GetPrivateProfileSectionW(kEmfSection, buffer, static_cast<DWORD>(units), ticket);
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

}  // namespace

DWORD ReadPageCount(const wchar_t* ticket) {
  wchar_t text[kPathUnits];
  GetPrivateProfileStringW(kEmfSection, L"Count", L"", text, kPathUnits, ticket);
  return ParseCount(text);
}

bool ForEachPageFile(const wchar_t* ticket, DWORD count, void (*del)(const wchar_t*, void*),
                     void* context) {
  if (count == 0) return true;
  DWORD length = 0;
  wchar_t* section = ReadSection(ticket, &length);
  if (!section) return false;

  DWORD keys = 0;
  for (const wchar_t* p = section; *p; p += lstrlenW(p) + 1) ++keys;
  PageEntry* entries =
      static_cast<PageEntry*>(HeapAlloc(GetProcessHeap(), 0, (keys + 1) * sizeof(PageEntry)));
  if (!entries) {
    HeapFree(GetProcessHeap(), 0, section);
    return false;
  }

  DWORD used = 0;
  DWORD order = 0;
  for (wchar_t* p = section; *p; ++order) {
    size_t lineLength = lstrlenW(p);
    wchar_t* next = p + lineLength + 1;
    wchar_t* equals = p;
    while (*equals && *equals != L'=') ++equals;
    size_t keyLength = static_cast<size_t>(equals - p);
    DWORD index;
    if (PageIndexOfKey(p, keyLength, &index) && index < count) {
      entries[used].index = index;
      entries[used].order = order;
      entries[used].value = *equals ? equals + 1 : equals;
      ++used;
    }
    p = next;
  }

  std::sort(entries, entries + used, [](const PageEntry& a, const PageEntry& b) {
    return a.index != b.index ? a.index < b.index : a.order < b.order;
  });
  wchar_t path[kPathUnits];
  for (DWORD i = 0; i < used; ++i) {
    if (i > 0 && entries[i].index == entries[i - 1].index) continue;
    CopyValue(entries[i].value, path);
    del(path, context);
  }

  HeapFree(GetProcessHeap(), 0, entries);
  HeapFree(GetProcessHeap(), 0, section);
  return true;
}
