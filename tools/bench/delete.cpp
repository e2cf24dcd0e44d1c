// The bare work of a job: delete DIR\page0.emf ... DIR\page<N-1>.emf.
//   bench_delete DIR N
#include <windows.h>
#include <strsafe.h>
#include <stdlib.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 3) return 2;
  int pages = _wtoi(argv[2]);
  for (int i = 0; i < pages; ++i) {
    wchar_t path[260];
    StringCchPrintfW(path, 260, L"%s\\page%d.emf", argv[1], i);
    DeleteFileW(path);
  }
  return 0;
}
