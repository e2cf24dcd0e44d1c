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
#include "job_road.h"
#include "orvl_test.h"
#include "spool_builder.h"
#include "t4.h"

using namespace orvltest;
using namespace spoolbuild;

namespace {

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
    int colour = 0;
    while (static_cast<int>(row.size()) < width) {
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
// printer's reference device gives it. comment: a GDI comment to carry.
std::string FramedPage(RECT frame, const wchar_t* face = L"Arial",
                       const std::string& comment = "") {
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

// The page played with PlayEnhMetaFile into a 1-bit bitmap of the fax page's
// size at Fine; a Standard line is black where either of its two Fine lines is.
std::vector<std::vector<bool>> Reference(const std::wstring& emfPath, bool fine) {
  std::vector<std::vector<bool>> rows;
  HENHMETAFILE emf = GetEnhMetaFileW(emfPath.c_str());
  ENHMETAHEADER header;
  GetEnhMetaFileHeader(emf, sizeof(header), &header);
  FaxPage place;
  if (!PlaceFaxPage(header.rclFrame, fine, &place)) return rows;
  // A turned page is drawn upright (as wide as the fax page is long), then
  // read out a quarter turned: its top edge along the fax's left side.
  const int across = place.turned ? place.drawnFullRows : 1728;
  const int down = place.turned ? place.width : place.drawnRows;
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
  RECT area = {place.left, 0, place.left + place.width, place.drawnFullRows};
  if (place.turned) area = {0, 0, across, down};
  PlayEnhMetaFile(dc, emf, &area);
  GdiFlush();
  for (int y = 0; y < place.rows; ++y) {
    std::vector<bool> row(1728);
    for (int drawn = fine ? y : 2 * y; drawn <= (fine ? y : 2 * y + 1); ++drawn) {
      for (int x = 0; x < 1728; ++x) {
        int u = x, v = drawn;  // the pixel of the drawing that lands here
        if (place.turned) {
          if (x < place.left || x >= place.left + place.width) continue;
          u = place.drawnFullRows - 1 - drawn;
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

namespace {

struct FaxCase {
  const char* name;
  int paperMm;  // the length of the job's paper, for the field tools' check
  std::vector<std::string> pages;
  std::string devmode;  // empty: none
  const wchar_t* quality;
  std::vector<DWORD> rows;  // expected per page
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
      {"A4 and Letter at Standard",
       297,
       {FramedPage(kA4), FramedPage(kLetter)},
       Devmode(98),
       L"Standard",
       {1143, 1072},
       10},
      {"a landscape page turned a quarter",
       297,
       {FramedPage({0, 0, 29699, 20999})},
       Devmode(196),
       L"Fine",
       {2287},
       10},
      {"a page a kilometre long is cut at 14 inches",
       356,
       {FramedPage({0, 0, 20999, 99999999})},
       Devmode(98),
       L"Standard",
       {14 * 98},
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
    std::vector<TiffPage> pages = ReadTiff(ReadBytes(folder + L"\\fax.tif"));
    ASSERT_EQ(c.pages.size(), pages.size());
    bool fine = std::wstring(c.quality) == L"Fine";
    for (size_t i = 0; i < pages.size(); ++i) {
      const TiffPage& p = pages[i];
      const DWORD n = static_cast<DWORD>(pages.size()), at = static_cast<DWORD>(i + 1);
      const std::vector<DWORD> expected[] = {{2}, {1728},  {1},      {3},
                                             {0}, {1},     {1},      {4},
                                             {2}, {at, n}, {204, 1}, {fine ? 196u : 98u, 1}};
      const WORD tags[] = {254, 256, 258, 259, 262, 266, 277, 292, 296, 297, 282, 283};
      for (size_t t = 0; t < ARRAYSIZE(tags); ++t)
        EXPECT_EQ(expected[t], p.tags.at(tags[t])) << "tag " << tags[t];
      if (c.rows[i]) {
        EXPECT_EQ(c.rows[i], p.tag(257)) << "page " << i;
      }
      EXPECT_EQ(p.tag(257), p.tag(278));
      ASSERT_TRUE(p.decoded) << "page " << i;
      EXPECT_LE(
          Differing(p.rows, Reference(folder + L"\\page" + std::to_wstring(i) + L".emf", fine)),
          c.tolerance)
          << "page " << i;
    }
    EXPECT_EQ(folder + L"\\fax.tif", Ticket(folder, L"Fax", L"File"));
    EXPECT_EQ(std::to_wstring(c.pages.size()), Ticket(folder, L"Fax", L"Pages"));
    EXPECT_EQ(c.quality, Ticket(folder, L"Fax", L"Quality"));
    EXPECT_EQ(L"", Ticket(folder, L"Fonts", L"Count"));
    EXPECT_FALSE(HasFonts(folder));
    // Kept for the field tools that tools/check-fax runs after the suites:
    // fax-check\<n>-r<lines per inch>-l<paper mm>.tif beside the test program.
    std::wstring kept = BinDir() + L"\\fax-check";
    CreateDirectoryW(kept.c_str(), nullptr);
    kept += L"\\" + std::to_wstring(index) + L"-r" + (fine ? L"196" : L"98") + L"-l" +
            std::to_wstring(c.paperMm) + L".tif";
    EXPECT_TRUE(CopyFileW((folder + L"\\fax.tif").c_str(), kept.c_str(), FALSE));
  }
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

std::string Le(DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
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

std::vector<unsigned short> g_modes;
// MergeFontPackage as fontsub documents it: a subset package (here, a whole
// font already) becomes the working font; a delta is added to it.
ULONG __cdecl FakeMerge(const unsigned char* font, ULONG fontSize, const unsigned char* package,
                        ULONG packageSize, unsigned char** dest, ULONG* destSize, ULONG* written,
                        unsigned short mode, CFP_ALLOCPROC allocate, CFP_REALLOCPROC, CFP_FREEPROC,
                        void*) {
  g_modes.push_back(mode);
  std::string out = (mode == 2 ? std::string(reinterpret_cast<const char*>(font), fontSize) : "") +
                    std::string(reinterpret_cast<const char*>(package), packageSize);
  *dest = static_cast<unsigned char*>(allocate(out.size()));
  memcpy(*dest, out.data(), out.size());
  *destSize = *written = static_cast<ULONG>(out.size());
  return 0;
}

}  // namespace

// Every kind of font record: TrueType files as they are, Type 1 files with
// the padding their 4-byte end offsets give them (the record keeps no exact
// length), subset
// fonts made working fonts and their deltas merged in (through fontsub), a
// design vector and a delta without its subset left out. Wine's fontsub is a
// stub that faults: its subset fonts are left out and the job goes on.
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
    std::wstring folder = scratch.file(c.merging ? L"merged" : L"stub");
    g_modes.clear();
    {
      std::unique_ptr<IatPatch> merge;
      if (c.merging)
        merge.reset(new IatPatch("fontsub.dll", "MergeFontPackage",
                                 reinterpret_cast<const void*>(&FakeMerge)));
      ASSERT_EQ(kExtractOk, Extract(spool.bytes(), folder));
    }
    if (c.merging) {
      EXPECT_EQ(std::vector<unsigned short>({1, 1, 2}), g_modes);
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

namespace {

int g_played = 0;
BOOL WINAPI FaultOnThirdRecord(HDC dc, LPHANDLETABLE table, const ENHMETARECORD* record,
                               UINT objects) {
  if (++g_played == 3) *static_cast<volatile int*>(nullptr) = 1;
  return PlayEnhMetaFileRecord(dc, table, record, objects);
}

}  // namespace

// A page GDI faults on ends the extraction with its own code, leaving
// nothing (pages, fonts, fax document), and the process goes on drawing.
TEST(FaxDocument, FaultingPageLeavesNothing) {
  ScratchDir scratch;
  SpoolBuilder spool;  // with a font, written before the drawing faults
  spool.Page(FramedPage(kA4, L"Arial", FontComment(FileFont(kEngineFont, {"font"}))))
      .Page(SamplePage(1, 2));
  {
    IatPatch patch("gdi32.dll", "PlayEnhMetaFileRecord",
                   reinterpret_cast<const void*>(&FaultOnThirdRecord));
    ASSERT_TRUE(patch.active());
    g_played = 0;
    EXPECT_EQ(kExtractCannotDraw, Extract(spool.bytes(), scratch.file(L"faulted")));
    EXPECT_EQ(3, g_played);
  }
  EXPECT_FALSE(FileExists(scratch.file(L"faulted")));
  EXPECT_EQ(kExtractOk, Extract(spool.bytes(), scratch.file(L"after")));  // GDI still draws
  EXPECT_EQ(2u, ReadTiff(ReadBytes(scratch.file(L"after\\fax.tif"))).size());
}
