// The fax document and the embedded fonts: the T.4 coder against the code
// words of the standard; fax.tif read back tag by tag and decoded line by
// line against a reference drawing of the same pages; fonts written, listed
// and used; a page GDI faults on leaves nothing.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which it needs
#include <fontsub.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fax_document.h"
#include "fax_parts.h"
#include "job_road.h"
#include "orvl_test.h"
#include "spool_builder.h"
#include "t4.h"

using namespace orvltest;
using namespace spoolbuild;

namespace {

std::string Le(DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

std::string Bits(DWORD code, int bits) {
  std::string s;
  for (int i = bits - 1; i >= 0; --i) s += (code >> i) & 1 ? '1' : '0';
  return s;
}

// ---- reading fax.tif back -----------------------------------------------------

struct TiffPage {
  std::map<WORD, std::vector<DWORD>>
      tags;  // SHORT and LONG values; RATIONALs as numerator, denominator
  std::vector<std::vector<bool>> rows;  // decoded, true = black
  bool decoded = false;
  DWORD ifd = 0;           // where its directory lies
  bool evenValues = true;  // every value outside the directory at an even offset
  int mostRuns = 0;        // the most runs in one row
  DWORD tag(WORD t, size_t i = 0) const {
    auto it = tags.find(t);
    return it == tags.end() || it->second.size() <= i ? 0xFFFFFFFF : it->second[i];
  }
};

DWORD Get(const std::string& b, size_t at, int bytes) {
  DWORD v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<BYTE>(b.at(at + i));
  return v;
}

// A decoder of one-dimensional T.4 written for the test: every row starts
// with an EOL, runs alternate from white, makeup codes add up.
bool DecodeStrip(const std::string& data, int width, int rows, TiffPage& page) {
  std::map<std::pair<int, DWORD>, int> codes[2];  // (bits, code) -> run, per colour
  for (int colour = 0; colour < 2; ++colour)
    for (int run = 0; run <= 2560; run = run < 63 ? run + 1 : (run / 64 + 1) * 64) {
      DWORD code;
      int bits, rest;
      T4RunCode(run, colour == 1, &code, &bits, &rest);
      codes[colour][{bits, code}] = run;
    }
  size_t bit = 0, total = data.size() * 8;
  auto next = [&]() { return (static_cast<BYTE>(data[bit / 8]) >> (7 - bit % 8)) & 1; };
  for (int y = 0; y < rows; ++y) {
    int zeros = 0;
    while (bit < total && !next()) ++zeros, ++bit;
    if (bit >= total || zeros < 11) return false;
    ++bit;  // the EOL's 1
    std::vector<bool> row;
    int colour = 0, runs = 0;
    while (static_cast<int>(row.size()) < width) {
      ++runs;
      int run = 0, part;
      do {
        DWORD code = 0;
        int bits = 0;
        part = -1;
        while (part < 0 && bits < 14 && bit < total) {
          code = (code << 1) | next();
          ++bit, ++bits;
          auto it = codes[colour].find({bits, code});
          if (it != codes[colour].end()) part = it->second;
        }
        if (part < 0) return false;
        run += part;
      } while (part >= 64);
      row.insert(row.end(), run, colour == 1);
      colour ^= 1;
    }
    if (static_cast<int>(row.size()) != width) return false;
    if (runs > page.mostRuns) page.mostRuns = runs;
    page.rows.push_back(row);
    bit = (bit + 7) / 8 * 8;  // rows end on a byte
  }
  return true;
}

std::vector<TiffPage> ReadTiff(const std::string& b) {
  std::vector<TiffPage> pages;
  if (b.size() < 8 || b.compare(0, 4, std::string("II*\0", 4)) != 0) return pages;
  for (DWORD ifd = Get(b, 4, 4); ifd && pages.size() < 1000;
       ifd = Get(b, ifd + 2 + Get(b, ifd, 2) * 12, 4)) {
    TiffPage page;
    page.ifd = ifd;
    for (DWORD i = 0, n = Get(b, ifd, 2); i < n; ++i) {
      size_t e = ifd + 2 + i * 12;
      WORD tag = Get(b, e, 2), type = Get(b, e + 2, 2);
      DWORD count = Get(b, e + 4, 4);
      if (type == 3)
        for (DWORD k = 0; k < count && k < 2; ++k)
          page.tags[tag].push_back(Get(b, e + 8 + 2 * k, 2));
      else if (type == 4)
        page.tags[tag].push_back(Get(b, e + 8, 4));
      else if (type == 5)
        page.tags[tag] = {Get(b, Get(b, e + 8, 4), 4), Get(b, Get(b, e + 8, 4) + 4, 4)};
      if ((type == 5 || (type == 2 && count > 4)) && Get(b, e + 8, 4) % 2) page.evenValues = false;
    }
    page.decoded =
        DecodeStrip(b.substr(page.tag(273), page.tag(279)), page.tag(256), page.tag(257), page);
    pages.push_back(page);
  }
  return pages;
}

// ---- pages and references -----------------------------------------------------------

std::string EmfBytes(HENHMETAFILE emf) {
  std::string bytes(GetEnhMetaFileBits(emf, 0, nullptr), '\0');
  GetEnhMetaFileBits(emf, static_cast<UINT>(bytes.size()), reinterpret_cast<BYTE*>(&bytes[0]));
  DeleteEnhMetaFile(emf);
  return bytes;
}

// A page of the given frame (0.01 mm, inclusive) with a border, a heading and
// lines, drawn to fit; the frame is then set exactly in the header, as a
// printer's reference device gives it. comment: a GDI comment to carry;
// extra: more to draw, in the page's 1000 x 1000 units.
std::string FramedPage(RECT frame, const wchar_t* face = L"Arial", const std::string& comment = "",
                       void (*extra)(HDC) = nullptr) {
  HDC dc = CreateEnhMetaFileW(nullptr, nullptr, &frame, nullptr);
  SetMapMode(dc, MM_ANISOTROPIC);
  SetWindowExtEx(dc, 1000, 1000, nullptr);
  SetViewportExtEx(
      dc, MulDiv(GetDeviceCaps(dc, HORZRES), frame.right, GetDeviceCaps(dc, HORZSIZE) * 100),
      MulDiv(GetDeviceCaps(dc, VERTRES), frame.bottom, GetDeviceCaps(dc, VERTSIZE) * 100), nullptr);
  if (!comment.empty())
    GdiComment(dc, static_cast<UINT>(comment.size()),
               reinterpret_cast<const BYTE*>(comment.data()));
  Rectangle(dc, 20, 20, 980, 980);
  HFONT font = CreateFontW(-80, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, face);
  HGDIOBJ old = SelectObject(dc, font);
  // Wingdings (the private font of the font test) maps its glyphs at U+F0xx.
  TextOutW(dc, 60, 60,
           lstrcmpW(face, L"Arial") ? L"\xF041\xF042\xF043\xF04E\xF06C\xF06E" : L"ABCabc", 6);
  SelectObject(dc, old);
  DeleteObject(font);
  for (int y = 300; y < 900; y += 100) {
    MoveToEx(dc, 60, y, nullptr);
    LineTo(dc, 900, y + 40);
  }
  if (extra) extra(dc);
  std::string bytes = EmfBytes(CloseEnhMetaFile(dc));
  RECTL exact = {frame.left, frame.top, frame.right, frame.bottom};
  memcpy(&bytes[24], &exact, sizeof(exact));  // EMR_HEADER's rclFrame
  return bytes;
}

std::string Devmode(short yResolution) {
  DEVMODEW mode = {};
  mode.dmSize = sizeof(mode);
  mode.dmSpecVersion = DM_SPECVERSION;
  mode.dmFields = DM_YRESOLUTION | DM_PRINTQUALITY;
  mode.dmPrintQuality = 204;
  mode.dmYResolution = yResolution;
  return std::string(reinterpret_cast<const char*>(&mode), sizeof(mode));
}

// The same EMF with an older, shorter header (88 or 100 bytes of the 108).
std::string ShortHeader(std::string emf, DWORD size) {
  DWORD cut = Get(emf, 4, 4) - size, bytes = Get(emf, 48, 4) - cut;
  emf.erase(size, cut);
  memcpy(&emf[4], &size, 4);
  memcpy(&emf[48], &bytes, 4);
  return emf;
}

// The same EMF with records put in after its header (nBytes, nRecords and
// nHandles, for handle 1 of records, grown to match).
std::string WithRecords(std::string emf, const std::string& records, DWORD count) {
  DWORD header = Get(emf, 4, 4), bytes = Get(emf, 48, 4) + static_cast<DWORD>(records.size());
  DWORD n = Get(emf, 52, 4) + count;
  WORD handles = static_cast<WORD>(Get(emf, 56, 2) < 2 ? 2 : Get(emf, 56, 2));
  emf.insert(header, records);
  memcpy(&emf[48], &bytes, 4);
  memcpy(&emf[52], &n, 4);
  memcpy(&emf[56], &handles, 2);
  return emf;
}

// A page of full-width bands of the grey levels from to from + 127, each 16
// drawn lines high: every line of the dither matrix at every level.
std::string TintPage(RECT frame, int from) {
  RECTL exact = {frame.left, frame.top, frame.right, frame.bottom};
  FaxPage place;
  PlaceFaxPage(exact, &place);
  HDC dc = CreateEnhMetaFileW(nullptr, nullptr, &frame, nullptr);
  SetMapMode(dc, MM_ANISOTROPIC);
  SetWindowExtEx(dc, place.width, place.drawnFullRows, nullptr);
  SetViewportExtEx(
      dc, MulDiv(GetDeviceCaps(dc, HORZRES), frame.right, GetDeviceCaps(dc, HORZSIZE) * 100),
      MulDiv(GetDeviceCaps(dc, VERTRES), frame.bottom, GetDeviceCaps(dc, VERTSIZE) * 100), nullptr);
  for (int level = 0; level < 128; ++level) {
    HBRUSH brush = CreateSolidBrush(RGB(from + level, from + level, from + level));
    RECT band = {0, level * 16, place.width, level * 16 + 16};
    FillRect(dc, &band, brush);
    DeleteObject(brush);
  }
  std::string bytes = EmfBytes(CloseEnhMetaFile(dc));
  memcpy(&bytes[24], &exact, sizeof(exact));
  return bytes;
}

// Keeps a fax document for the field tools that tools/check-fax runs after
// the suites: fax-check\<name>-r<lines per inch>-l<paper mm>.tif beside the
// test program.
void KeepForCheck(const std::wstring& tiff, const std::wstring& name, bool fine, int paperMm) {
  std::wstring kept = BinDir() + L"\\fax-check";
  CreateDirectoryW(kept.c_str(), nullptr);
  kept +=
      L"\\" + name + L"-r" + (fine ? L"196" : L"98") + L"-l" + std::to_wstring(paperMm) + L".tif";
  EXPECT_TRUE(CopyFileW(tiff.c_str(), kept.c_str(), FALSE));
}

// The page played with PlayEnhMetaFile into a 1-bit bitmap of the whole
// page's size at Fine; a Standard line is black where either of its two Fine
// lines is. The rows of all its fax pages in turn; the first column white.
std::vector<std::vector<bool>> Reference(const std::wstring& emfPath, bool fine) {
  std::vector<std::vector<bool>> rows;
  HENHMETAFILE emf = GetEnhMetaFileW(emfPath.c_str());
  ENHMETAHEADER header;
  GetEnhMetaFileHeader(emf, sizeof(header), &header);
  FaxPage place;
  if (!PlaceFaxPage(header.rclFrame, &place)) return rows;
  // A turned page is drawn upright (as wide as the fax page is long), then
  // read out a quarter turned: its top edge along the fax's left side.
  const int full = place.drawnFullRows;
  const int across = place.turned ? full : 1728;
  const int down = place.turned ? place.width : full;
  const int stride = (across + 31) / 32 * 4;
  struct {
    BITMAPINFOHEADER h;
    RGBQUAD colours[2];
  } info = {};
  info.h = {sizeof(BITMAPINFOHEADER), across, -down, 1, 1, BI_RGB, 0, 0, 0, 0, 0};
  info.colours[1] = {255, 255, 255, 0};
  void* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap =
      CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, bitmap);
  PatBlt(dc, 0, 0, across, down, WHITENESS);
  RECT area = {place.left, 0, place.left + place.width, full};
  if (place.turned) area = {0, 0, across, down};
  PlayEnhMetaFile(dc, emf, &area);
  GdiFlush();
  for (int y = 0; y < (fine ? full : (full + 1) / 2); ++y) {
    std::vector<bool> row(1728);
    for (int drawn = fine ? y : 2 * y; drawn <= (fine ? y : 2 * y + 1) && drawn < full; ++drawn) {
      for (int x = 1; x < 1728; ++x) {
        int u = x, v = drawn;  // the pixel of the drawing that lands here
        if (place.turned) {
          if (x < place.left || x >= place.left + place.width) continue;
          u = full - 1 - drawn;
          v = x - place.left;
        }
        const BYTE* line = static_cast<const BYTE*>(bits) + v * stride;
        if (!((line[u / 8] >> (7 - u % 8)) & 1)) row[x] = true;  // index 0 is black
      }
    }
    rows.push_back(row);
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  DeleteEnhMetaFile(emf);
  return rows;
}

// Of the pixels black in either, the share that differ, in thousandths, over
// rows [from, to): 0 for the same drawing, 1000 for two that share no ink.
int Differing(const std::vector<std::vector<bool>>& a, const std::vector<std::vector<bool>>& b,
              size_t from = 0, size_t to = 0) {
  if (a.size() != b.size() || a.empty()) return 1000;
  if (!to || to > a.size()) to = a.size();
  size_t differ = 0, ink = 0;
  for (size_t y = from; y < to; ++y)
    for (size_t x = 0; x < 1728; ++x) {
      differ += a[y][x] != b[y][x];
      ink += a[y][x] || b[y][x];
    }
  return ink ? static_cast<int>(differ * 1000 / ink) : 0;
}

std::wstring Ticket(const std::wstring& folder, const wchar_t* section, const wchar_t* key) {
  wchar_t value[260] = {};
  GetPrivateProfileStringW(section, key, L"", value, 260, (folder + L"\\job.ini").c_str());
  return value;
}

bool HasFonts(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\font*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

}  // namespace

// The code words of T.4's tables, and whole rows as fax.tif holds them.
TEST(T4Coder, KnownCodeWordsAndRows) {
  const struct {
    int run;
    bool black;
    const char* bits;
    int rest;
  } words[] = {
      {0, false, "00110101", -1},       {1, false, "000111", -1},
      {63, false, "00110100", -1},      {64, false, "11011", 0},
      {1728, false, "010011011", 0},    {1700, false, "011000", 36},
      {0, true, "0000110111", -1},      {1, true, "010", -1},
      {63, true, "000001100111", -1},   {64, true, "0000001111", 0},
      {1728, true, "0000001100101", 0}, {2560, true, "000000011111", 0},
  };
  for (const auto& w : words) {
    DWORD code;
    int bits, rest;
    T4RunCode(w.run, w.black, &code, &bits, &rest);
    EXPECT_EQ(w.bits, Bits(code, bits)) << w.run << (w.black ? " black" : " white");
    EXPECT_EQ(w.rest, rest) << w.run;
  }
  BYTE white[216] = {}, black[216], mixed[216] = {};
  memset(black, 0xFF, sizeof(black));
  mixed[8] = 0x80;  // pixel 64
  const struct {
    const BYTE* row;
    std::vector<BYTE> coded;
  } rows[] = {
      {white, {0x00, 0x01, 0x4D, 0x9A, 0x80}},        // EOL (fill bits first), white 1728 + white 0
      {black, {0x00, 0x01, 0x35, 0x03, 0x28, 0x6E}},  // white 0, black 1728 + black 0
      {mixed, {0x00, 0x01, 0xD9, 0xAA, 0x4D, 0x1A, 0x00}},  // white 64+0, black 1, white 1600+63
  };
  for (const auto& r : rows) {
    BYTE out[kT4MaxRowBytes];
    DWORD n = T4CodeRow(r.row, 1728, out);
    EXPECT_EQ(r.coded, std::vector<BYTE>(out, out + n));
  }
}

// The code tables against a decoder that is not ours: one row for each
// white run 0 to 1728 (the rest of the row black), so every run length of
// both colours is coded, written as fax.tif writes a page, and beside it the
// same pixels uncompressed. tools/check-fax has libtiff compare the two
// (tiffcmp decodes both).
TEST(T4Coder, EveryRunLengthOfBothColoursForLibtiff) {
  const int kRows = 1729;
  std::string pixels;
  std::vector<BYTE> coded(static_cast<size_t>(kRows) * kT4MaxRowBytes);
  DWORD codedBytes = 0;
  for (int white = 0; white < kRows; ++white) {
    BYTE row[216];
    for (int x = 0; x < 1728; x += 8) {
      BYTE b = 0;
      for (int i = 0; i < 8; ++i) b = static_cast<BYTE>((b << 1) | (x + i >= white));
      row[x / 8] = b;
    }
    pixels.append(reinterpret_cast<const char*>(row), sizeof(row));
    codedBytes += T4CodeRow(row, 1728, &coded[codedBytes]);
  }
  std::wstring kept = BinDir() + L"\\fax-check";
  CreateDirectoryW(kept.c_str(), nullptr);
  HANDLE file = CreateFileW((kept + L"\\t4-runs.tif").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  std::vector<BYTE> buffer(kTiffBuffer);
  Tiff t = {file, buffer.data(), 0, 0, true, false};
  WriteTiffHeader(t);
  WriteTiffPage(t, coded.data(), codedBytes, kRows, true, 0, 1);
  EXPECT_TRUE(FlushTiff(t));
  CloseHandle(file);
  // Uncompressed: ImageWidth, ImageLength, BitsPerSample, Compression 1,
  // Photometric 0, StripOffsets, SamplesPerPixel, RowsPerStrip, StripByteCounts.
  std::string plain = std::string("II*\0", 4) + Le(8) + std::string("\x09\0", 2);
  const DWORD data = 8 + 2 + 9 * 12 + 4;
  const DWORD entries[9][3] = {{256, 4, 1728}, {257, 4, kRows}, {258, 3, 1},
                               {259, 3, 1},    {262, 3, 0},     {273, 4, data},
                               {277, 3, 1},    {278, 4, kRows}, {279, 4, 0}};
  for (const auto& e : entries) {
    WORD head[2] = {static_cast<WORD>(e[0]), static_cast<WORD>(e[1])};
    plain += std::string(reinterpret_cast<const char*>(head), 4) + Le(1) +
             Le(e[0] == 279 ? static_cast<DWORD>(pixels.size()) : e[2]);
  }
  plain += Le(0) + pixels;
  EXPECT_TRUE(WriteBytes(kept + L"\\t4-runs-pixels.tif", plain));
}

namespace {

struct FaxCase {
  const char* name;
  int paperMm;  // the length of the job's paper, for the field tools' check
  std::vector<std::string> pages;
  std::string devmode;  // empty: none
  const wchar_t* quality;
  std::vector<DWORD> rows;  // expected per fax page (a long page makes several)
  // Of the ink, the thousandths that may differ from the reference drawing:
  // dithered tints differ from GDI's nearest colour, line art must not.
  int tolerance;
};

const RECT kA4 = {0, 0, 20999, 29699}, kLetter = {0, 0, 21589, 27939};

std::vector<FaxCase> FaxCases() {
  return {
      {"the builder's letter pages, no device mode",
       280,
       {SamplePage(0, 2), SamplePage(1, 2, true)},
       "",
       L"Fine",
       {0, 0},
       120},
      // Letter (215.9 mm) is a little wider than the fax line (215.1 mm): scaled to fit.
      {"A4 and Letter at Fine",
       297,
       {FramedPage(kA4), FramedPage(kLetter)},
       Devmode(196),
       L"Fine",
       {2287, 2144},
       10},
      // A4 is 2287 lines at Fine: its odd last line is kept.
      {"A4 and Letter at Standard",
       297,
       {FramedPage(kA4), FramedPage(kLetter)},
       Devmode(98),
       L"Standard",
       {1144, 1072},
       10},
      {"a landscape page turned a quarter",
       297,
       {FramedPage({0, 0, 29699, 20999})},
       Devmode(196),
       L"Fine",
       {2287},
       10},
      {"a page a metre long continues on the next fax pages",
       356,
       {FramedPage(kA4), FramedPage({0, 0, 20999, 99999})},
       Devmode(98),
       L"Standard",
       {1144, 14 * 98, 14 * 98, 1106},
       10},
      {"EMF headers of 88 and 100 bytes, older layouts",
       297,
       {ShortHeader(FramedPage(kA4), 88), ShortHeader(FramedPage(kA4), 100)},
       Devmode(196),
       L"Fine",
       {2287, 2287},
       10},
      {"a page ten metres wide is scaled to the fax width",
       215,
       {FramedPage({0, 0, 999999, 999999})},
       "",
       L"Fine",
       {1657},
       10},
  };
}

}  // namespace

// Each job becomes fax.tif: one page per page, the Class F tags, lines that
// decode to the page's drawing; the ticket names it; no fonts, no font files.
TEST(FaxDocument, PagesBecomeTiffClassF) {
  ScratchDir scratch;
  int index = 0;
  for (const FaxCase& c : FaxCases()) {
    SCOPED_TRACE(c.name);
    std::wstring folder = scratch.file(L"job" + std::to_wstring(index++));
    SpoolBuilder spool;
    if (!c.devmode.empty()) spool.Record(kDevmode, c.devmode);
    for (const std::string& page : c.pages) spool.Page(page);
    ASSERT_EQ(kExtractOk, Extract(spool.bytes(), folder));
    std::string tiff = ReadBytes(folder + L"\\fax.tif");
    std::vector<TiffPage> pages = ReadTiff(tiff);
    ASSERT_EQ(c.rows.size(), pages.size());
    bool fine = std::wstring(c.quality) == L"Fine";
    for (size_t i = 0; i < pages.size(); ++i) {
      const TiffPage& p = pages[i];
      const DWORD n = static_cast<DWORD>(pages.size()), at = static_cast<DWORD>(i);
      const std::vector<DWORD> expected[] = {{2}, {1728},  {1},      {3},
                                             {0}, {1},     {1},      {4},
                                             {2}, {at, n}, {204, 1}, {fine ? 196u : 98u, 1}};
      const WORD tags[] = {254, 256, 258, 259, 262, 266, 277, 292, 296, 297, 282, 283};
      for (size_t t = 0; t < ARRAYSIZE(tags); ++t)
        EXPECT_EQ(expected[t], p.tags.at(tags[t])) << "tag " << tags[t];
      EXPECT_EQ(0u, p.tags.count(327)) << "CleanFaxData is for received faxes";
      if (c.rows[i]) {
        EXPECT_EQ(c.rows[i], p.tag(257)) << "page " << i;
      }
      EXPECT_EQ(p.tag(257), p.tag(278));
      // Each directory on a word boundary and ahead of its strip, the first at 8.
      EXPECT_EQ(0u, p.ifd % 2);
      EXPECT_TRUE(p.evenValues);
      EXPECT_LT(p.ifd, p.tag(273));
      EXPECT_EQ(i ? (pages[i - 1].tag(273) + pages[i - 1].tag(279) + 1) & ~1u : 8u, p.ifd);
      ASSERT_TRUE(p.decoded) << "page " << i;
    }
    // Each page's drawing across the fax pages it takes, nothing cut.
    for (size_t page = 0, first = 0; page < c.pages.size(); ++page) {
      std::wstring emf = folder + L"\\page" + std::to_wstring(page) + L".emf";
      std::vector<std::vector<bool>> reference = Reference(emf, fine), drawn;
      for (; first < pages.size() && drawn.size() < reference.size(); ++first)
        drawn.insert(drawn.end(), pages[first].rows.begin(), pages[first].rows.end());
      EXPECT_LE(Differing(drawn, reference), c.tolerance) << "page " << page;
    }
    EXPECT_EQ(folder + L"\\fax.tif", Ticket(folder, L"Fax", L"File"));
    EXPECT_EQ(std::to_wstring(c.rows.size()), Ticket(folder, L"Fax", L"Pages"));
    EXPECT_EQ(c.rows.size() > c.pages.size() ? L"1" : L"0", Ticket(folder, L"Fax", L"Split"));
    EXPECT_EQ(c.quality, Ticket(folder, L"Fax", L"Quality"));
    EXPECT_EQ(L"", Ticket(folder, L"Fonts", L"Count"));
    EXPECT_FALSE(HasFonts(folder));
    KeepForCheck(folder + L"\\fax.tif", std::to_wstring(index), fine, c.paperMm);
  }
}

// Full-width tints of every grey level on every paper the driver offers, at
// both qualities: no row has more runs than libtiff decodes (1728), so
// every fax server reads them; tools/check-fax decodes the kept files with
// libtiff and asks tiffcheck.
TEST(FaxDocument, EveryGreyLevelDecodesEverywhere) {
  ScratchDir scratch;
  const struct {
    const wchar_t* name;
    RECT frame;
    int paperMm;
  } papers[] = {
      {L"letter", kLetter, 280}, {L"a4", kA4, 297}, {L"legal", {0, 0, 21589, 35559}, 356}};
  for (const auto& paper : papers)
    for (bool fine : {true, false}) {
      SCOPED_TRACE(Narrow(paper.name) + (fine ? " Fine" : " Standard"));
      SpoolBuilder spool;
      spool.Record(kDevmode, Devmode(fine ? 196 : 98));
      spool.Page(TintPage(paper.frame, 0)).Page(TintPage(paper.frame, 128));
      std::wstring folder = scratch.file(std::wstring(paper.name) + (fine ? L"-fine" : L"-std"));
      ASSERT_EQ(kExtractOk, Extract(spool.bytes(), folder));
      std::vector<TiffPage> pages = ReadTiff(ReadBytes(folder + L"\\fax.tif"));
      ASSERT_EQ(2u, pages.size());
      for (const TiffPage& p : pages) {
        ASSERT_TRUE(p.decoded);
        EXPECT_LE(p.mostRuns, 1728);
        EXPECT_GT(p.mostRuns, 1000);  // the fine tints do change at nearly every pixel
      }
      KeepForCheck(folder + L"\\fax.tif", std::wstring(L"tint-") + paper.name, fine, paper.paperMm);
    }
}

// Colour-management records, as pages of real Windows spool files carry
// them, are not played (Wine faults on EMR_SETCOLORSPACE; on a 1-bit page
// they mean nothing): the page draws exactly as without them.
TEST(FaxDocument, ColourManagementRecordsAreLeftOut) {
  ScratchDir scratch;
  std::string plain = FramedPage(kA4);
  std::string icm = Le(EMR_SETICMMODE) + Le(12) + Le(ICM_ON);
  std::string space(sizeof(LOGCOLORSPACEA), '\0');
  LOGCOLORSPACEA lcs = {};
  lcs.lcsSignature = 0x50534F43;  // "PSOC"
  lcs.lcsVersion = 0x400;
  lcs.lcsSize = sizeof(lcs);
  lcs.lcsCSType = 0x73524742;  // "sRGB"
  lcs.lcsIntent = LCS_GM_IMAGES;
  memcpy(&space[0], &lcs, sizeof(lcs));
  icm += Le(EMR_CREATECOLORSPACE) + Le(12 + space.size()) + Le(1) + space;
  icm += Le(EMR_SETCOLORSPACE) + Le(12) + Le(1);
  std::vector<std::vector<bool>> rows[2];
  for (int with = 0; with < 2; ++with) {
    SpoolBuilder spool;
    spool.Page(with ? WithRecords(plain, icm, 3) : plain);
    std::wstring folder = scratch.file(with ? L"with" : L"without");
    ASSERT_EQ(kExtractOk, Extract(spool.bytes(), folder));
    std::vector<TiffPage> pages = ReadTiff(ReadBytes(folder + L"\\fax.tif"));
    ASSERT_EQ(1u, pages.size());
    rows[with] = pages[0].rows;
  }
  EXPECT_EQ(rows[0], rows[1]);
}

namespace {

// Pixels whose two neighbours in the row are both of the other colour, in
// rows [top, bottom) and columns [left, right): what a dither pattern makes
// and a solid shape never does.
int LonePixels(const std::vector<std::vector<bool>>& rows, size_t top, size_t bottom, size_t left,
               size_t right) {
  int lone = 0;
  for (size_t y = top; y < bottom && y < rows.size(); ++y)
    for (size_t x = left; x < right; ++x)
      lone += rows[y][x - 1] != rows[y][x] && rows[y][x + 1] != rows[y][x];
  return lone;
}

const COLORREF kTint = RGB(160, 160, 160);
// Each draws across the page's middle (units 300 to 700, 420 to 580).
void TintBrush(HDC dc) {
  HBRUSH brush = CreateSolidBrush(kTint);
  RECT box = {300, 420, 700, 580};
  FillRect(dc, &box, brush);
  DeleteObject(brush);
}
void BlackBrush(HDC dc) {
  RECT box = {300, 420, 700, 580};
  FillRect(dc, &box, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
}
void LightGreyStockBrush(HDC dc) {
  SelectObject(dc, GetStockObject(LTGRAY_BRUSH));
  SelectObject(dc, GetStockObject(NULL_PEN));
  Rectangle(dc, 300, 420, 700, 580);
}
void WideTintPen(HDC dc) {
  HPEN pen = CreatePen(PS_SOLID, 160, kTint);
  HGDIOBJ old = SelectObject(dc, pen);
  MoveToEx(dc, 380, 500, nullptr);
  LineTo(dc, 620, 500);
  SelectObject(dc, old);
  DeleteObject(pen);
}
void TintBackground(HDC dc) {
  SetBkColor(dc, kTint);
  RECT box = {300, 420, 700, 580};
  ExtTextOutW(dc, 300, 420, ETO_OPAQUE, &box, L"", 0, nullptr);
}
void TintText(HDC dc) {
  HFONT font = CreateFontW(-120, 0, 0, 0, FW_BLACK, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Arial");
  HGDIOBJ old = SelectObject(dc, font);
  SetTextColor(dc, kTint);
  TextOutW(dc, 300, 420, L"WWWW", 4);
  SelectObject(dc, old);
  DeleteObject(font);
}
void TintPicture(HDC dc) {
  const BYTE pixel[4] = {160, 160, 160, 0};
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), 1, 1, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  StretchDIBits(dc, 300, 420, 400, 160, 0, 0, 1, 1, pixel, &info, DIB_RGB_COLORS, SRCCOPY);
}

}  // namespace

// A page in pure black and white is drawn into a 1-bit bitmap, a page with
// any other colour into the grey one: each way of putting a grey on a text
// page still shows as a dither pattern where it is drawn (GDI alone would
// turn it black), at both qualities, and the rest of the page decodes to
// exactly the pixels of the same page without it.
TEST(FaxDocument, GreyOnATextPageIsDithered) {
  ScratchDir scratch;
  const struct {
    const char* name;
    void (*draw)(HDC);
    bool grey;
  } cases[] = {{"plain", nullptr, false},
               {"black box", BlackBrush, false},
               {"tinted box", TintBrush, true},
               {"light grey stock brush", LightGreyStockBrush, true},
               {"wide tinted pen", WideTintPen, true},
               {"tinted text background", TintBackground, true},
               {"tinted text", TintText, true},
               {"grey picture", TintPicture, true}};
  for (bool fine : {true, false}) {
    std::vector<std::vector<bool>> plain;
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (fine ? " Fine" : " Standard"));
      SpoolBuilder spool;
      spool.Record(kDevmode, Devmode(fine ? 196 : 98));
      spool.Page(FramedPage(kA4, L"Arial", "", c.draw));
      std::wstring folder = scratch.file(std::to_wstring(&c - cases) + (fine ? L"f" : L"s"));
      ASSERT_EQ(kExtractOk, Extract(spool.bytes(), folder));
      std::vector<TiffPage> pages = ReadTiff(ReadBytes(folder + L"\\fax.tif"));
      ASSERT_EQ(1u, pages.size());
      ASSERT_TRUE(pages[0].decoded);
      const std::vector<std::vector<bool>>& rows = pages[0].rows;
      if (!c.draw) plain = rows;
      ASSERT_EQ(plain.size(), rows.size());
      const size_t n = rows.size();
      // Inside the drawn area (the columns of units 350 to 650 on A4).
      const int lone = LonePixels(rows, n * 43 / 100, n * 57 / 100, 600, 1120);
      if (c.grey) {
        EXPECT_GT(lone, 200);
      } else {
        EXPECT_EQ(0, lone);
      }
      for (size_t y = 0; y < n; ++y)
        if (y < n * 41 / 100 || y >= n * 59 / 100) {
          ASSERT_EQ(plain[y], rows[y]) << "row " << y;
        }
    }
  }
}

// A job of more fax pages than a TIFF numbers (65,535) is refused before
// fax.tif is written, and leaves nothing: 24 pages a kilometre long make
// 24 x 2,807 fax pages.
TEST(FaxDocument, JobPastWhatATiffHoldsIsRefused) {
  ScratchDir scratch;
  SpoolBuilder spool;
  std::string long_page = FramedPage({0, 0, 20999, 99999999});
  for (int i = 0; i < 24; ++i) spool.Page(long_page);
  EXPECT_EQ(kExtractTooLarge, Extract(spool.bytes(), scratch.file(L"job")));
  EXPECT_FALSE(FileExists(scratch.file(L"job")));
}

namespace {

// A TrueType font no one has installed: Wine's Wingdings under a name of its own.
std::string PrivateFont() {
  std::string font = ReadBytes(L"Z:\\usr\\share\\wine\\fonts\\wingding.ttf");
  const std::string from = "Wingdings", to = "Orvltestx";
  for (const std::string& f : {from, std::string("\0W\0i\0n\0g\0d\0i\0n\0g\0s", 18)}) {
    std::string t = f.size() == from.size() ? to : std::string("\0O\0r\0v\0l\0t\0e\0s\0t\0x", 18);
    for (size_t at = font.find(f); at != std::string::npos; at = font.find(f, at + 1))
      font.replace(at, f.size(), t);
  }
  return font;
}

std::string Padded(const std::string& s) { return s + std::string((4 - s.size() % 4) % 4, '\0'); }

// A font definition record: kind, size, body.
std::string FontRecord(DWORD kind, const std::string& body) {
  return Le(kind) + Le(body.size()) + body;
}

// EMRI_ENGINE_FONT (sizes) or EMRI_TYPE1_FONT (end offsets): Type1ID, NumFiles,
// the sizes or ends, padding to 8 bytes from the record's start, the files.
std::string FileFont(DWORD kind, const std::vector<std::string>& files) {
  std::string body = Le(0) + Le(files.size()), data;
  for (const std::string& f : files) {
    data += Padded(f);
    body += Le(kind == kEngineFont ? f.size() : data.size());
  }
  if ((8 + body.size()) % 8) body += Le(0);
  return FontRecord(kind, body + data);
}

// EMRI_SUBSET_FONT or EMRI_DELTA_FONT: UniversalFontId, the font package.
std::string PackageFont(DWORD kind, DWORD checksum, const std::string& package) {
  return FontRecord(kind, Le(checksum) + Le(0) + Padded(package));
}

// An EMFSPOOL comment: CommentIdentifier 0, the font definitions' identifier, records.
std::string FontComment(const std::string& records) { return Le(0) + Le(0x544F4E46) + records; }

}  // namespace

// The fonts a document embeds become files beside the pages, the ticket
// lists them, and fax.tif draws the text in them.
TEST(FaxDocument, EmbeddedFontsAreWrittenListedAndUsed) {
  ScratchDir scratch;
  std::string font = PrivateFont();
  ASSERT_GT(font.size(), 1000u);
  // Recorded and drawn for reference before anything loads the font.
  std::string page = FramedPage(kA4, L"Orvltestx", FontComment(FileFont(kEngineFont, {font})));
  SpoolBuilder spool;
  spool.Page(page);
  std::wstring scratchPage = scratch.file(L"page.emf");
  ASSERT_TRUE(WriteBytes(scratchPage, page));
  std::vector<std::vector<bool>> substituted = Reference(scratchPage, true);

  std::wstring folder = scratch.file(L"job");
  ASSERT_EQ(kExtractOk, Extract(spool.bytes(), folder));
  EXPECT_EQ(font, ReadBytes(folder + L"\\font0.ttf"));
  EXPECT_EQ(L"1", Ticket(folder, L"Fonts", L"Count"));
  EXPECT_EQ(folder + L"\\font0.ttf", Ticket(folder, L"Fonts", L"File0"));
  std::vector<TiffPage> pages = ReadTiff(ReadBytes(folder + L"\\fax.tif"));
  ASSERT_EQ(1u, pages.size());
  ASSERT_TRUE(pages[0].decoded);

  // The reference with the written font loaded, as a player of the pages would.
  std::string written = ReadBytes(folder + L"\\font0.ttf");
  DWORD count = 0;
  HANDLE loaded =
      AddFontMemResourceEx(&written[0], static_cast<DWORD>(written.size()), nullptr, &count);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(1u, count);
  // GDI keeps the face it found for a font description: the page's own
  // description found a substitute above, so the reference asks with an
  // otherwise equal one (no smoothing, meaningless on a 1-bit bitmap).
  std::string asked = page;
  for (size_t at = 0; at + 8 <= asked.size() && Get(asked, at + 4, 4) >= 8;
       at += Get(asked, at + 4, 4))
    if (Get(asked, at, 4) == EMR_EXTCREATEFONTINDIRECTW)
      asked[at + 12 + 26] = NONANTIALIASED_QUALITY;
  std::wstring askedPage = scratch.file(L"asked.emf");
  ASSERT_TRUE(WriteBytes(askedPage, asked));
  std::vector<std::vector<bool>> withFont = Reference(askedPage, true);
  RemoveFontMemResourceEx(loaded);
  // The heading's band of the page (its text is 8% of the page high, from 6%).
  int drawn = Differing(pages[0].rows, withFont, 100, 400);
  int other = Differing(pages[0].rows, substituted, 100, 400);
  EXPECT_LT(drawn * 2, other);  // the embedded font's glyphs, not a substitute's
  EXPECT_LE(drawn, 20) << other;
}

namespace {

// The child stand-in (child_stub.cpp) under the name that picks its fault,
// made the road's child until the end of the scope.
struct StubChild {
  explicit StubChild(const std::wstring& folder, const wchar_t* name,
                     const DrawingLimits* limits = nullptr) {
    path = folder + L"\\" + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_TRUE(CopyFileW((BinDir() + L"\\fax_child_stub.exe").c_str(), path.c_str(), FALSE));
    SetDrawingChild(path.c_str(), limits);
  }
  ~StubChild() { SetDrawingChild((BinDir() + L"\\package\\orvlui2.exe").c_str(), nullptr); }
  std::wstring path;
};

}  // namespace

// Every kind of font record: TrueType files as they are, Type 1 files with
// the padding their 4-byte end offsets give them (the record keeps no exact
// length), subset
// fonts made working fonts and their deltas merged in (through fontsub), a
// design vector and a delta without its subset left out. Wine's fontsub is a
// stub that faults in the merging child: its subset fonts are left out and
// the job goes on.
TEST(FaxDocument, FontRecordsOfEveryKind) {
  ScratchDir scratch;
  const std::string e1 = "engine one", e2 = "engine two!", pfm = "pfm metrics",
                    pfb = "\x80\x01 pfb";
  const std::string sa = "subset A", da = "+delta A", sb = "subset B";
  std::string records = FileFont(kEngineFont, {e1, e2}) + FileFont(kType1Font, {pfm, pfb}) +
                        FontRecord(kDesignVector, Le(7) + Le(0) + Le(0x08007664) + Le(0)) +
                        PackageFont(kSubsetFont, 7, sa) + PackageFont(kSubsetFont, 8, sb) +
                        PackageFont(kDeltaFont, 7, da) + PackageFont(kDeltaFont, 9, "no subset");
  SpoolBuilder spool;
  spool.Page(FramedPage(kA4, L"Arial", FontComment(records)));
  const struct {
    bool merging;
    std::vector<std::pair<std::wstring, std::string>> files;
  } cases[] = {
      {true,
       {{L"font0.ttf", e1},
        {L"font1.ttf", e2},
        {L"font2.pfm", Padded(pfm)},
        {L"font3.pfb", Padded(pfb)},
        {L"font4.ttf", Padded(sa) + Padded(da)},
        {L"font5.ttf", Padded(sb)}}},
      {false,
       {{L"font0.ttf", e1},
        {L"font1.ttf", e2},
        {L"font2.pfm", Padded(pfm)},
        {L"font3.pfb", Padded(pfb)}}},
  };
  for (const auto& c : cases) {
    std::wstring folder = scratch.file(c.merging ? L"merged" : L"unmerged");
    {
      std::unique_ptr<StubChild> merge;
      if (c.merging) merge.reset(new StubChild(scratch.file(L"stub"), L"merge-child.exe"));
      ASSERT_EQ(kExtractOk, Extract(spool.bytes(), folder));
    }
    EXPECT_EQ(std::to_wstring(c.files.size()), Ticket(folder, L"Fonts", L"Count"));
    for (size_t i = 0; i < c.files.size(); ++i) {
      EXPECT_EQ(c.files[i].second, ReadBytes(folder + L"\\" + c.files[i].first))
          << Narrow(c.files[i].first);
      EXPECT_EQ(folder + L"\\" + c.files[i].first,
                Ticket(folder, L"Fonts", (L"File" + std::to_wstring(i)).c_str()));
    }
    EXPECT_FALSE(FileExists(folder + L"\\font" + std::to_wstring(c.files.size()) + L".ttf"));
  }
}

// A fault inside drawing, a stack overflow, a hang and a runaway allocation
// each end the drawing child only, a child of the job's own (a job with a
// font) or the child kept for the session alike: the extraction gives its
// own code and leaves nothing (pages, fonts, fax document), and the next job
// draws in the same process (the kept child replaced).
TEST(FaxDocument, FaultingPageLeavesNothing) {
  ScratchDir scratch;
  SpoolBuilder spool;  // with a font, written before the drawing fails
  spool.Page(FramedPage(kA4, L"Arial", FontComment(FileFont(kEngineFont, {"font"}))))
      .Page(SamplePage(1, 2));
  SpoolBuilder fontless;
  fontless.Page(SamplePage(0, 2)).Page(SamplePage(1, 2));
  const DrawingLimits quick = {3000, 1000, 60000};
  for (bool kept : {false, true}) {
    KeepDrawingChild(kept);
    const std::string bytes = kept ? fontless.bytes() : spool.bytes();
    for (const wchar_t* child :
         {L"fault-child.exe", L"deep-child.exe", L"hang-child.exe", L"hog-child.exe"}) {
      SCOPED_TRACE(Narrow(child) + (kept ? " kept" : ""));
      std::wstring folder = scratch.file(std::wstring(kept ? L"kept-" : L"job-") + child);
      {
        StubChild stub(scratch.file(L"stub"), child, &quick);
        EXPECT_EQ(kExtractCannotDraw, Extract(bytes, folder));
      }
      EXPECT_FALSE(FileExists(folder));
      std::wstring after = folder + L"-after";
      ASSERT_EQ(kExtractOk, Extract(bytes, after));
      EXPECT_EQ(2u, ReadTiff(ReadBytes(after + L"\\fax.tif")).size());
    }
  }
  KeepDrawingChild(false);
}

namespace {

int g_keptStarts = 0, g_ownStarts = 0;
IatPatch* g_starts = nullptr;
BOOL WINAPI CountingCreateProcess(const wchar_t* exe, wchar_t* line, SECURITY_ATTRIBUTES* pa,
                                  SECURITY_ATTRIBUTES* ta, BOOL inherit, DWORD flags, void* env,
                                  const wchar_t* dir, STARTUPINFOW* si, PROCESS_INFORMATION* pi) {
  if (wcsstr(line, L" /draw ")) ++g_keptStarts;
  if (wcsstr(line, L" /fax ")) ++g_ownStarts;
  return g_starts->original<decltype(&CreateProcessW)>()(exe, line, pa, ta, inherit, flags, env,
                                                         dir, si, pi);
}

}  // namespace

// The kept child draws job after job, the same fax.tif as a child of the
// job's own, and holds no job folder between jobs; a job with embedded fonts
// gets a child of its own.
TEST(FaxDocument, TheKeptChildDrawsJobAfterJob) {
  ScratchDir scratch;
  SpoolBuilder plain, withFont;
  plain.Page(SamplePage(0, 2)).Page(FramedPage(kA4, L"Arial", ""));
  withFont.Page(FramedPage(kA4, L"Arial", FontComment(FileFont(kEngineFont, {"font"}))));
  ASSERT_EQ(kExtractOk, Extract(plain.bytes(), scratch.file(L"own")));
  const std::string own = ReadBytes(scratch.file(L"own\\fax.tif"));
  IatPatch starts("kernel32.dll", "CreateProcessW",
                  reinterpret_cast<const void*>(&CountingCreateProcess));
  g_starts = &starts;
  g_keptStarts = g_ownStarts = 0;
  KeepDrawingChild(true);
  for (const wchar_t* job : {L"a", L"b", L"c"}) {
    std::wstring folder = scratch.file(job);
    ASSERT_EQ(kExtractOk, Extract(plain.bytes(), folder));
    EXPECT_EQ(own, ReadBytes(folder + L"\\fax.tif"));
    EXPECT_TRUE(MoveFileW(folder.c_str(), (folder + L"-moved").c_str())) << GetLastError();
  }
  EXPECT_EQ(1, g_keptStarts);
  EXPECT_EQ(0, g_ownStarts);
  ASSERT_EQ(kExtractOk, Extract(withFont.bytes(), scratch.file(L"fonts")));
  EXPECT_EQ(1, g_keptStarts);
  EXPECT_EQ(1, g_ownStarts);
  KeepDrawingChild(false);
  g_starts = nullptr;
}
