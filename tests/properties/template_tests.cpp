// The dialog templates in properties.exe: size, caption, font, and every
// control's id, class, text, position and kind.
#include "properties_fixture.h"

using namespace orvltest;
using namespace proptest;

namespace {

struct Control {
  int id;
  int cls;  // 0x80 button, 0x81 edit, 0x82 static, 0x85 combo box
  std::wstring text;
  short x, y, cx, cy;
  DWORD style;
};

struct Dialog {
  DWORD style = 0;
  short cx = 0, cy = 0;
  std::wstring caption, font;
  WORD points = 0;
  std::vector<Control> controls;
};

const BYTE* Align(const BYTE* p, const BYTE* base) {
  size_t off = static_cast<size_t>(p - base);
  return base + ((off + 3) & ~size_t(3));
}

// Reads a name-or-ordinal; ordinals come back as "#n".
std::wstring NameOrOrdinal(const BYTE*& p) {
  const WORD* w = reinterpret_cast<const WORD*>(p);
  if (w[0] == 0xFFFF) {
    p += 4;
    return L"#" + std::to_wstring(w[1]);
  }
  std::wstring s(reinterpret_cast<const wchar_t*>(p));
  p += (s.size() + 1) * 2;
  return s;
}

Dialog Parse(const BYTE* base) {
  Dialog d;
  const BYTE* p = base;
  const WORD* head = reinterpret_cast<const WORD*>(p);
  EXPECT_EQ(head[0], 1);
  EXPECT_EQ(head[1], 0xFFFF);  // the extended layout
  memcpy(&d.style, p + 12, 4);
  WORD count;
  memcpy(&count, p + 16, 2);
  memcpy(&d.cx, p + 22, 2);
  memcpy(&d.cy, p + 24, 2);
  p += 26;
  NameOrOrdinal(p);  // menu
  NameOrOrdinal(p);  // class
  d.caption = NameOrOrdinal(p);
  memcpy(&d.points, p, 2);
  p += 6;
  d.font = NameOrOrdinal(p);
  for (WORD i = 0; i < count; ++i) {
    p = Align(p, base);
    Control c;
    memcpy(&c.style, p + 8, 4);
    memcpy(&c.x, p + 12, 2);
    memcpy(&c.y, p + 14, 2);
    memcpy(&c.cx, p + 16, 2);
    memcpy(&c.cy, p + 18, 2);
    DWORD id;
    memcpy(&id, p + 20, 4);
    c.id = static_cast<int>(static_cast<short>(id));
    p += 24;
    std::wstring cls = NameOrOrdinal(p);
    c.cls = cls[0] == L'#' ? std::stoi(cls.substr(1)) : 0;
    if (!lstrcmpiW(cls.c_str(), L"Button")) c.cls = 0x80;
    if (!lstrcmpiW(cls.c_str(), L"Edit")) c.cls = 0x81;
    if (!lstrcmpiW(cls.c_str(), L"Static")) c.cls = 0x82;
    if (!lstrcmpiW(cls.c_str(), L"ComboBox")) c.cls = 0x85;
    c.text = NameOrOrdinal(p);
    WORD extra;
    memcpy(&extra, p, 2);
    p += 2 + extra;
    d.controls.push_back(c);
  }
  return d;
}

class TemplateTest : public PropertiesTest {
 protected:
  Dialog Load(int id) {
    HMODULE exe =
        LoadLibraryExW((BinDir() + L"\\properties.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(exe, nullptr);
    Dialog d;
    if (!exe) return d;
    HRSRC r = FindResourceW(exe, MAKEINTRESOURCEW(id), RT_DIALOG);
    EXPECT_NE(r, nullptr) << id;
    if (r) d = Parse(static_cast<const BYTE*>(LockResource(LoadResource(exe, r))));
    FreeLibrary(exe);
    return d;
  }
  // The frame every template shares.
  void ExpectFrame(const Dialog& d, const wchar_t* caption, short cx, short cy) {
    EXPECT_EQ(d.caption, caption);
    EXPECT_EQ(d.cx, cx);
    EXPECT_EQ(d.cy, cy);
    DWORD frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SHELLFONT;
    EXPECT_EQ(d.style & frame, frame) << std::hex << d.style;
    EXPECT_EQ(d.font, L"MS Shell Dlg");
    EXPECT_EQ(d.points, 8);
  }
  // kind: the low style bits that make the control what it is.
  void Expect(const Dialog& d, const std::vector<Control>& want, DWORD kindMask = 0xF) {
    ASSERT_EQ(d.controls.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      const Control& g = d.controls[i];
      const Control& w = want[i];
      SCOPED_TRACE(w.id);
      EXPECT_EQ(g.id, w.id);
      EXPECT_EQ(g.cls, w.cls);
      EXPECT_EQ(g.text, w.text);
      EXPECT_EQ(g.x, w.x);
      EXPECT_EQ(g.y, w.y);
      EXPECT_EQ(g.cx, w.cx);
      EXPECT_EQ(g.cy, w.cy);
      EXPECT_EQ(g.style & kindMask, w.style & kindMask) << std::hex << g.style;
      EXPECT_TRUE(g.style & WS_VISIBLE);
    }
  }
};

const int B = 0x80, E = 0x81, S = 0x82, C = 0x85;

}  // namespace

TEST_F(TemplateTest, GeneralPage) {
  Dialog d = Load(IDD_GENERAL);
  ExpectFrame(d, L"General", 206, 126);
  Expect(d, {{1100, B, L"Orientation", 4, 3, 198, 46, BS_GROUPBOX},
             {1102, B, L"Portrait", 12, 19, 57, 10, BS_RADIOBUTTON},
             {1104, B, L"Landscape", 12, 31, 57, 10, BS_RADIOBUTTON},
             {1006, S, L"", 72, 13, 33, 31, SS_OWNERDRAW},
             {1106, B, L"Quality", 4, 52, 198, 37, BS_GROUPBOX},
             {1108, S, L"Print quality (resolution)", 13, 64, 57, 18, SS_LEFT},
             {1035, C, L"", 72, 67, 122, 110, CBS_DROPDOWNLIST},
             {1110, B, L"Change orientation and resolution settings", 12, 96, 184, 17,
              BS_PUSHBUTTON}});
  const Control& list = d.controls[6];
  EXPECT_TRUE(list.style & WS_VSCROLL);
  EXPECT_FALSE(list.style & CBS_SORT);
}

TEST_F(TemplateTest, PaperSizePage) {
  Dialog d = Load(IDD_PAPER);
  ExpectFrame(d, L"Paper Size", 195, 149);
  Expect(d,
         {{1120, S, L"Form", 7, 9, 50, 8, SS_RIGHT},
          {1039, C, L"", 62, 7, 129, 186, CBS_DROPDOWNLIST},
          {1130, S, L"Units:", 4, 29, 53, 8, SS_RIGHT},
          {1132, B, L"Metric", 62, 29, 58, 10, BS_RADIOBUTTON},
          {1134, B, L"English", 126, 29, 63, 10, BS_RADIOBUTTON},
          {1136, S, L"Paper size:", 2, 45, 55, 8, SS_RIGHT},
          {1122, S, L"Width", 6, 62, 51, 8, SS_RIGHT},
          {1041, E, L"", 62, 60, 32, 12, 0},
          {1087, S, L"mm", 99, 62, 21, 8, SS_LEFT},
          {1124, S, L"Length", 4, 79, 53, 8, SS_RIGHT},
          {1042, E, L"", 62, 77, 32, 12, 0},
          {1088, S, L"mm", 99, 79, 21, 8, SS_LEFT},
          {1126, B, L"Add", 129, 59, 60, 14, BS_PUSHBUTTON},
          {1128, B, L"Delete", 129, 76, 60, 14, BS_PUSHBUTTON}},
         0x3);
  for (int i : {7, 10}) {
    EXPECT_TRUE(d.controls[i].style & ES_READONLY);
    EXPECT_TRUE(d.controls[i].style & ES_AUTOHSCROLL);
    EXPECT_TRUE(d.controls[i].style & WS_BORDER);
  }
  EXPECT_TRUE(d.controls[1].style & WS_VSCROLL);
  EXPECT_FALSE(d.controls[1].style & CBS_SORT);
}

TEST_F(TemplateTest, NewPaperFormDialog) {
  Dialog d = Load(IDD_NEWFORM);
  ExpectFrame(d, L"New Paper Form", 208, 109);
  Expect(d, {{-1, B, L"", 4, 1, 200, 81, BS_GROUPBOX},
             {1400, S, L"Form name", 9, 14, 56, 8, SS_RIGHT},
             {1044, E, L"", 70, 12, 126, 12, 0},
             {1130, S, L"Units:", 6, 31, 59, 8, SS_RIGHT},
             {1132, B, L"Metric", 70, 31, 61, 10, BS_RADIOBUTTON},
             {1134, B, L"English", 136, 31, 60, 10, BS_RADIOBUTTON},
             {1402, S, L"Width", 9, 48, 57, 8, SS_RIGHT},
             {1041, E, L"", 70, 46, 32, 12, 0},
             {1087, S, L"mm", 106, 48, 12, 8, SS_LEFT},
             {1046, S, L"[min ... max]", 127, 48, 73, 8, SS_LEFT},
             {1404, S, L"Length", 9, 64, 57, 8, SS_RIGHT},
             {1042, E, L"", 70, 62, 32, 12, 0},
             {1088, S, L"mm", 106, 64, 12, 8, SS_LEFT},
             {1047, S, L"[min ... max]", 127, 64, 72, 8, SS_LEFT},
             {1, B, L"OK", 97, 89, 50, 15, BS_DEFPUSHBUTTON},
             {2, B, L"Cancel", 153, 89, 50, 15, BS_PUSHBUTTON}});
  for (int i : {2, 7, 11}) {
    EXPECT_FALSE(d.controls[i].style & ES_READONLY);
    EXPECT_FALSE(d.controls[i].style & ES_NUMBER);
    EXPECT_TRUE(d.controls[i].style & ES_AUTOHSCROLL);
    EXPECT_TRUE(d.controls[i].style & WS_BORDER);
  }
}

TEST_F(TemplateTest, EmfAndAboutPages) {
  Dialog emf = Load(IDD_EMF);
  ExpectFrame(emf, L"EMF", 205, 77);
  Expect(emf, {{1240, B, L"Save to EMF", 5, 6, 196, 10, BS_AUTOCHECKBOX}});
  EXPECT_TRUE(emf.controls[0].style & WS_TABSTOP);
  Dialog about = Load(IDD_ABOUT);
  ExpectFrame(about, L"About", 206, 186);
  Expect(about, {{1007, S, L"<printer name>", 5, 4, 196, 14, SS_LEFT},
                 {1083, S, L"", 12, 23, 189, 48, SS_LEFT},
                 {1021, B, L"", 5, 75, 112, 14, BS_PUSHBUTTON}});
  EXPECT_TRUE(about.controls[0].style & SS_CENTERIMAGE);
  EXPECT_TRUE(about.controls[0].style & WS_GROUP);
  EXPECT_TRUE(about.controls[0].style & WS_TABSTOP);
  EXPECT_TRUE(about.controls[1].style & WS_GROUP);
  EXPECT_TRUE(about.controls[2].style & WS_TABSTOP);
}
