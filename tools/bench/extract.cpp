// The pages alone: "orvlui2.exe /extract" with its drawing child replaced by
// this program, which returns at once as a finished child would. What is
// left is reading the spool data, writing and flushing the pages and the
// ticket, counting the fax pages, and starting one process.
//   bench_extract SPOOLFILE FOLDER
#include <windows.h>

#include "job_road.h"

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && lstrcmpiW(argv[1], L"/fax") == 0) return static_cast<int>(kChildDone);
  if (argc != 3) return kExtractUsage;
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (!n || n >= MAX_PATH) return kExtractFailed;
  SetDrawingChild(self, nullptr);
  wchar_t command[] = L"/extract";
  wchar_t* args[4] = {argv[0], command, argv[1], argv[2]};
  return ExtractCommand(4, args);
}
