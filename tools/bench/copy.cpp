// The bare work of extracting a spool file: copy each page's EMF bytes out of
// it into DIR\page0.emf, DIR\page1.emf, ... with no checks and no ticket.
//   bench_copy SPOOLFILE DIR [flush]
// "flush" flushes each page file before closing it, as the extractor does.
#include <windows.h>
#include <shellapi.h>
#include <strsafe.h>

namespace {

DWORD At(const BYTE* p) { return *reinterpret_cast<const DWORD*>(p); }

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 3) return 2;
  bool flush = argc > 3 && lstrcmpiW(argv[3], L"flush") == 0;
  HANDLE in =
      CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return 3;
  DWORD size = GetFileSize(in, nullptr);
  BYTE* data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size + 8));
  DWORD got = 0;
  if (!data || !ReadFile(in, data, size, &got, nullptr) || got != size) return 3;
  CloseHandle(in);
  CreateDirectoryW(argv[2], nullptr);
  DWORD page = 0;
  for (DWORD at = At(data + 4); at + 8 <= size; at += 8 + At(data + at + 4)) {
    DWORD kind = At(data + at);
    if (kind != 0x01 && kind != 0x09 && kind != 0x0A && kind != 0x0B && kind != 0x0C) continue;
    wchar_t path[260];
    StringCchPrintfW(path, 260, L"%s\\page%u.emf", argv[2], page++);
    HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(out, data + at + 8, At(data + at + 4), &written, nullptr);
    if (flush) FlushFileBuffers(out);
    CloseHandle(out);
  }
  return 0;
}
