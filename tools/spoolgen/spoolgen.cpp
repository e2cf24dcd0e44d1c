// Writes an EMF spool file as Windows' spooler keeps a printed job: PAGES real
// GDI pages, colour and black-and-white in turn, after a device mode record.
//   spoolgen FILE PAGES [BITMAPKB [YRES]]
// BITMAPKB adds a bitmap of about that many kilobytes to every page (big pages
// for measuring memory, or a picture). YRES puts that vertical resolution into
// the device mode (98: a Standard fax). Exit code 0, 1 when writing fails, 2
// on bad arguments.
#include <windows.h>
#include <stdlib.h>

#include "spool_writer.h"

namespace {

struct FileSink {
  HANDLE file;
  BYTE buffer[64 * 1024];
  DWORD used;
  bool ok;
};

bool Drain(FileSink* out) {
  DWORD written = 0;
  if (out->used &&
      !(WriteFile(out->file, out->buffer, out->used, &written, nullptr) && written == out->used))
    out->ok = false;
  out->used = 0;
  return out->ok;
}

bool Write(void* context, const void* data, DWORD size) {
  FileSink* out = static_cast<FileSink*>(context);
  const BYTE* bytes = static_cast<const BYTE*>(data);
  while (size) {
    if (out->used == sizeof(out->buffer) && !Drain(out)) return false;
    DWORD n = sizeof(out->buffer) - out->used;
    if (n > size) n = size;
    CopyMemory(out->buffer + out->used, bytes, n);
    out->used += n;
    bytes += n;
    size -= n;
  }
  return true;
}

FileSink sink;

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc > 5) return 2;
  int pages = _wtoi(argv[2]);
  int bitmapKb = argc > 3 ? _wtoi(argv[3]) : 0;
  int yResolution = argc > 4 ? _wtoi(argv[4]) : 0;
  if (yResolution < 0 || yResolution > 32767) return 2;
  if (pages < 0 || bitmapKb < 0 || bitmapKb > 64 * 1024) return 2;
  sink.file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (sink.file == INVALID_HANDLE_VALUE) return 1;
  sink.ok = true;
  spoolwrite::Sink out = {&sink, Write, 0};
  DEVMODEW mode = {};
  lstrcpynW(mode.dmDeviceName, L"Orvalis", CCHDEVICENAME);
  mode.dmSize = sizeof(mode);
  mode.dmSpecVersion = DM_SPECVERSION;
  mode.dmFields = DM_ORIENTATION | DM_PAPERSIZE;
  mode.dmOrientation = DMORIENT_PORTRAIT;
  mode.dmPaperSize = DMPAPER_LETTER;
  if (yResolution) {
    mode.dmFields |= DM_YRESOLUTION;
    mode.dmYResolution = static_cast<short>(yResolution);
  }
  bool ok = spoolwrite::WriteHeader(&out, L"Orvalis spoolgen document", L"orvl:") &&
            spoolwrite::WriteRecord(&out, spoolwrite::kDevmode, &mode, sizeof(mode));
  for (int page = 0; ok && page < pages; ++page) {
    bool mono = page % 2 == 1;
    HENHMETAFILE emf = spoolwrite::DrawSamplePage(page, pages, mono, bitmapKb * 1024u);
    ok = emf &&
         spoolwrite::WritePageEmf(&out, emf, spoolwrite::kMetafileData,
                                  mono ? spoolwrite::kBwMetafileExt : spoolwrite::kMetafileExt);
    if (emf) DeleteEnhMetaFile(emf);
  }
  ok = ok && Drain(&sink);
  CloseHandle(sink.file);
  return ok ? 0 : 1;
}
