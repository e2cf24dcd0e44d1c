#include "spool_writer.h"

#include <strsafe.h>

namespace spoolwrite {

namespace {

bool Put(Sink* sink, const void* data, DWORD size) {
  if (!sink->write(sink->context, data, size)) return false;
  sink->written += size;
  return true;
}

DWORD Units(const wchar_t* text) { return text ? lstrlenW(text) + 1 : 0; }

}  // namespace

HENHMETAFILE DrawSamplePage(int page, int pages, bool mono, DWORD bitmapBytes) {
  // A letter-size fax page in 0.01 mm units, drawn at 204 x 196 dpi.
  RECT frame = {0, 0, 21590, 27940};
  HDC dc = CreateEnhMetaFileW(nullptr, nullptr, &frame, L"Orvalis spoolgen\0page\0");
  if (!dc) return nullptr;
  // 1728 x 2200 logical units fill the frame, whatever the reference device.
  SetMapMode(dc, MM_ANISOTROPIC);
  SetWindowExtEx(dc, 1728, 2200, nullptr);
  SetViewportExtEx(
      dc, MulDiv(GetDeviceCaps(dc, HORZRES), frame.right, GetDeviceCaps(dc, HORZSIZE) * 100),
      MulDiv(GetDeviceCaps(dc, VERTRES), frame.bottom, GetDeviceCaps(dc, VERTSIZE) * 100), nullptr);
  Rectangle(dc, 40, 40, 1688, 2160);
  HFONT font = CreateFontW(-64, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Arial");
  HGDIOBJ oldFont = SelectObject(dc, font);
  wchar_t text[96];
  StringCchPrintfW(text, 96, L"Orvalis %s page %d of %d", mono ? L"black-and-white" : L"colour",
                   page + 1, pages);
  TextOutW(dc, 120, 120, text, lstrlenW(text));
  SelectObject(dc, oldFont);
  DeleteObject(font);
  HPEN pen = CreatePen(PS_SOLID, 3, mono ? RGB(0, 0, 0) : RGB(0, 64, 192));
  HGDIOBJ oldPen = SelectObject(dc, pen);
  for (int y = 400; y < 2000; y += 80) {
    MoveToEx(dc, 120, y, nullptr);
    LineTo(dc, 1600 - ((y + page * 40) % 400), y);
  }
  SelectObject(dc, oldPen);
  DeleteObject(pen);
  if (!mono) {
    HBRUSH brush = CreateSolidBrush(RGB(220, 40 + (page * 37) % 200, 40));
    RECT box = {1300, 120, 1600, 300};
    FillRect(dc, &box, brush);
    DeleteObject(brush);
  }
  if (bitmapBytes > 0) {
    // A 24-bit bitmap 512 pixels wide, as many rows as the size asks.
    const LONG width = 512;
    const DWORD stride = width * 3;
    LONG rows = static_cast<LONG>(bitmapBytes / stride);
    if (rows < 1) rows = 1;
    BYTE* bits = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, stride * rows));
    if (bits) {
      for (DWORD i = 0; i < stride * static_cast<DWORD>(rows); ++i)
        bits[i] = static_cast<BYTE>(mono ? ((i / stride + page) % 2) * 255 : (i * 7 + page));
      BITMAPINFO info = {};
      info.bmiHeader.biSize = sizeof(info.bmiHeader);
      info.bmiHeader.biWidth = width;
      info.bmiHeader.biHeight = rows;
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = 24;
      info.bmiHeader.biCompression = BI_RGB;
      StretchDIBits(dc, 120, 2020, 1480, 100, 0, 0, width, rows, bits, &info, DIB_RGB_COLORS,
                    SRCCOPY);
      HeapFree(GetProcessHeap(), 0, bits);
    }
  }
  return CloseEnhMetaFile(dc);
}

bool WriteHeader(Sink* sink, const wchar_t* docName, const wchar_t* output) {
  DWORD docBytes = Units(docName) * sizeof(wchar_t);
  DWORD outBytes = Units(output) * sizeof(wchar_t);
  DWORD size = (16 + docBytes + outBytes + 3) & ~3u;
  DWORD head[4] = {kSpoolVersion, size, docName ? 16u : 0u, output ? 16u + docBytes : 0u};
  static const BYTE zeros[4] = {};
  return Put(sink, head, sizeof(head)) && (!docBytes || Put(sink, docName, docBytes)) &&
         (!outBytes || Put(sink, output, outBytes)) &&
         Put(sink, zeros, size - 16 - docBytes - outBytes);
}

bool WriteRecord(Sink* sink, DWORD kind, const void* data, DWORD size) {
  DWORD padded = (size + 3) & ~3u;
  DWORD head[2] = {kind, padded};
  static const BYTE zeros[4] = {};
  return Put(sink, head, sizeof(head)) && (!size || Put(sink, data, size)) &&
         Put(sink, zeros, padded - size);
}

bool WritePage(Sink* sink, const void* emf, DWORD size, DWORD kind, DWORD ext) {
  ULONGLONG at = sink->written;
  if (!WriteRecord(sink, kind, emf, size)) return false;
  if (!ext) return true;
  ULONGLONG back = sink->written - at;
  return WriteRecord(sink, ext, &back, sizeof(back));
}

bool WritePageEmf(Sink* sink, HENHMETAFILE emf, DWORD kind, DWORD ext) {
  UINT size = GetEnhMetaFileBits(emf, 0, nullptr);
  if (!size) return false;
  BYTE* bytes = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size));
  if (!bytes) return false;
  bool ok = GetEnhMetaFileBits(emf, size, bytes) == size && WritePage(sink, bytes, size, kind, ext);
  HeapFree(GetProcessHeap(), 0, bytes);
  return ok;
}

}  // namespace spoolwrite
