// A stand-in for orvlui2.exe's child processes that injects one fault into
// the real child code: it patches its own imports, chosen by its file name,
// then runs the product's "/fax", "/draw" or "/merge" command. The tests copy it
// under these names:
//   fault-child.exe  PlayEnhMetaFileRecord faults on the first drawing
//                    record (a page of header and end draws)
//   deep-child.exe   PlayEnhMetaFileRecord overflows the stack
//   hang-child.exe   PlayEnhMetaFileRecord never returns
//   hog-child.exe    PlayEnhMetaFileRecord allocates without end (a bounded
//                    768 MB here, then waits, so a host without the job's
//                    memory limit is not exhausted)
//   merge-child.exe  MergeFontPackage as fontsub documents it: a subset
//                    package (a whole font here) becomes the working font, a
//                    delta is appended to it
#include <windows.h>
// after windows.h
#include <shellapi.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "job_road.h"
#include "orvl_test.h"

namespace {

decltype(&PlayEnhMetaFileRecord) g_play = nullptr;  // the real one

// An access violation the compiler cannot see coming.
void Crash() {
  int* volatile nowhere = nullptr;
  *nowhere = 1;
}

BOOL WINAPI Fault(HDC dc, LPHANDLETABLE table, const ENHMETARECORD* record, UINT objects) {
  if (record->iType != EMR_HEADER && record->iType != EMR_EOF) Crash();
  return g_play(dc, table, record, objects);
}

// Calls itself (through its import, as the compiler cannot see) until the
// stack is gone.
BOOL WINAPI Recurse(HDC dc, LPHANDLETABLE table, const ENHMETARECORD* record, UINT objects) {
  volatile BYTE room[4096];
  room[0] = 1;
  return PlayEnhMetaFileRecord(dc, table, record, objects + room[0]) + room[1];
}

BOOL WINAPI Hang(HDC, LPHANDLETABLE, const ENHMETARECORD*, UINT) {
  for (;;) Sleep(1000);
}

BOOL WINAPI Hog(HDC, LPHANDLETABLE, const ENHMETARECORD*, UINT) {
  for (int i = 0; i < 48; ++i) {
    BYTE* block = static_cast<BYTE*>(VirtualAlloc(nullptr, 16 << 20, MEM_COMMIT, PAGE_READWRITE));
    if (!block) Crash();  // as drawing code out of memory would
    for (size_t at = 0; at < (16u << 20); at += 4096) block[at] = 1;
  }
  for (;;) Sleep(1000);
}

ULONG __cdecl Merge(const unsigned char* font, ULONG fontSize, const unsigned char* package,
                    ULONG packageSize, unsigned char** dest, ULONG* destSize, ULONG* written,
                    unsigned short mode, void* (*allocate)(size_t), void*, void*, void*) {
  ULONG keep = mode == 2 ? fontSize : 0;
  *dest = static_cast<unsigned char*>(allocate(keep + packageSize));
  if (keep) memcpy(*dest, font, keep);
  memcpy(*dest + keep, package, packageSize);
  *destSize = *written = keep + packageSize;
  return 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const wchar_t* name = wcsrchr(self, L'\\') ? wcsrchr(self, L'\\') + 1 : self;
  std::unique_ptr<orvltest::IatPatch> patch;
  const void* draw = !lstrcmpiW(name, L"fault-child.exe")  ? reinterpret_cast<const void*>(&Fault)
                     : !lstrcmpiW(name, L"hang-child.exe") ? reinterpret_cast<const void*>(&Hang)
                     : !lstrcmpiW(name, L"hog-child.exe")  ? reinterpret_cast<const void*>(&Hog)
                     : !lstrcmpiW(name, L"deep-child.exe") ? reinterpret_cast<const void*>(&Recurse)
                                                           : nullptr;
  if (draw) {
    patch.reset(new orvltest::IatPatch("gdi32.dll", "PlayEnhMetaFileRecord", draw));
    g_play = patch->original<decltype(&PlayEnhMetaFileRecord)>();
  }
  if (!lstrcmpiW(name, L"merge-child.exe"))
    patch.reset(new orvltest::IatPatch("fontsub.dll", "MergeFontPackage",
                                       reinterpret_cast<const void*>(&Merge)));
  if (patch && !patch->active()) return 99;  // the fault could not be injected
  if (argc >= 2 && !lstrcmpiW(argv[1], L"/fax")) return FaxCommand(argc, argv);
  if (argc >= 2 && !lstrcmpiW(argv[1], L"/merge")) return MergeCommand(argc, argv);
  if (argc >= 2 && !lstrcmpiW(argv[1], L"/draw")) return DrawCommand(argc, argv);
  return kExtractUsage;
}
