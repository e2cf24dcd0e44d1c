// The bare work of a job: delete DIR\page0.emf ... DIR\page<N-1>.emf.
//   bench_delete DIR N
// Parses its own command line: shell32's parser would add a DLL load the
// converter does not have.
#include <windows.h>
#include <strsafe.h>
#include <stdlib.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  wchar_t dir[260];
  if (FAILED(StringCchCopyW(dir, 260, commandLine))) return 2;
  wchar_t* space = wcsrchr(dir, L' ');
  if (!space) return 2;
  *space = L'\0';
  int pages = _wtoi(space + 1);
  for (int i = 0; i < pages; ++i) {
    wchar_t path[260];
    StringCchPrintfW(path, 260, L"%s\\page%d.emf", dir, i);
    DeleteFileW(path);
  }
  return 0;
}
