// The sheet as ShowProperties builds it: its pages, their order, the start
// page, the command line, the single instance and the sheet callback.
#include "properties_fixture.h"

using namespace orvltest;
using namespace proptest;

class SheetTest : public PropertiesTest {
 protected:
  std::vector<std::wstring> Titles(TestSheet& sheet) {
    std::vector<std::wstring> titles;
    for (int i = 0; i < sheet.pageCount(); ++i) titles.push_back(sheet.PageTitle(i));
    return titles;
  }
  DWORD StoredPage() {
    DWORD value = 0xFFFF;
    ReadDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", &value);
    return value;
  }
};

TEST_F(SheetTest, AllPagesInTheirOrder) {
  TestSheet sheet;
  ASSERT_TRUE(sheet.Open());
  EXPECT_EQ(Titles(sheet),
            (std::vector<std::wstring>{L"General", L"Paper Size", L"EMF", L"About"}));
  EXPECT_EQ(WindowText(sheet.sheet()), L"Properties for Orvalis");
  EXPECT_EQ(WindowText(sheet.page()), L"General");
}

TEST_F(SheetTest, LeftOutPagesLeaveNoGap) {
  {
    TestSheet sheet;
    ASSERT_TRUE(sheet.Open(1, 0));
    EXPECT_EQ(Titles(sheet), (std::vector<std::wstring>{L"Paper Size", L"EMF", L"About"}));
  }
  {
    TestSheet sheet;
    ASSERT_TRUE(sheet.Open(0, 1));
    EXPECT_EQ(Titles(sheet), (std::vector<std::wstring>{L"General", L"EMF", L"About"}));
  }
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"EMF: Hide page", 1);
  {
    TestSheet sheet;
    ASSERT_TRUE(sheet.Open(0, 0));
    EXPECT_EQ(Titles(sheet), (std::vector<std::wstring>{L"General", L"Paper Size", L"About"}));
  }
  {
    TestSheet sheet;
    ASSERT_TRUE(sheet.Open(1, 1));
    EXPECT_EQ(Titles(sheet), (std::vector<std::wstring>{L"About"}));
  }
}

TEST_F(SheetTest, Windows9xNeverGetsThePaperPage) {
  TestSheet sheet;
  ASSERT_TRUE(sheet.Open(0, 0, VER_PLATFORM_WIN32_WINDOWS));
  EXPECT_EQ(Titles(sheet), (std::vector<std::wstring>{L"General", L"EMF", L"About"}));
}

TEST_F(SheetTest, OpensOnTheLastViewedPage) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", 2);
  TestSheet sheet;
  ASSERT_TRUE(sheet.Open());
  EXPECT_EQ(WindowText(sheet.page()), L"EMF");
  EXPECT_EQ(g_props.lastViewedPage, 2);
}

TEST_F(SheetTest, OutOfRangePageIndexOpensTheFirstPage) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", 3);
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"EMF: Hide page", 1);
  {
    TestSheet sheet;
    ASSERT_TRUE(sheet.Open(0, 1));
    ASSERT_EQ(sheet.pageCount(), 2);
    EXPECT_EQ(WindowText(sheet.page()), L"General");
  }
  SetDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", 0xFFFFFFFF);
  {
    TestSheet sheet;
    ASSERT_TRUE(sheet.Open());
    EXPECT_EQ(WindowText(sheet.page()), L"General");
  }
}

TEST_F(SheetTest, StoredIndexCountsThePagesBuiltThisTime) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", 0);
  TestSheet sheet;
  ASSERT_TRUE(sheet.Open(1, 0));
  EXPECT_EQ(WindowText(sheet.page()), L"Paper Size");
}

TEST_F(SheetTest, EveryButtonSavesTheActivePage) {
  TestSheet sheet;
  ASSERT_TRUE(sheet.Open());
  sheet.Select(3);
  EXPECT_EQ(g_props.lastViewedPage, 3);
  sheet.Select(1);
  EXPECT_EQ(g_props.lastViewedPage, 1);
  // Windows' comctl32 6 calls back for OK, Cancel and Apply; Wine does not,
  // so the callback is called as Windows calls it.
  for (int button : {PSBTN_CANCEL, PSBTN_OK, PSBTN_APPLYNOW}) {
    DeleteTree(HKEY_CURRENT_USER, kUserKey);
    EXPECT_EQ(PropSheetCallback(sheet.sheet(), PSCB_BUTTONPRESSED, button), 0);
    EXPECT_EQ(StoredPage(), 1u) << button;
  }
}

TEST_F(SheetTest, UnwritableKeySavesNothingAndShowsNothing) {
  g_props.lastViewedPage = 2;
  DenyKeyAccess deny(HKEY_CURRENT_USER, kUserKey);
  BoxCapture boxes;
  EXPECT_EQ(PropSheetCallback(nullptr, PSCB_BUTTONPRESSED, PSBTN_OK), 0);
  EXPECT_TRUE(boxes.boxes().empty());
}

namespace {
// A dialog template header of either layout, with the help button on.
std::vector<BYTE> Template(bool extended) {
  std::vector<BYTE> t(64, 0);
  DWORD style = WS_POPUP | WS_CAPTION | DS_CONTEXTHELP | DS_MODALFRAME;
  if (extended) {
    WORD head[2] = {1, 0xFFFF};
    memcpy(t.data(), head, 4);
    DWORD exStyle = WS_EX_CONTEXTHELP;
    memcpy(t.data() + 8, &exStyle, 4);
    memcpy(t.data() + 12, &style, 4);
  } else {
    memcpy(t.data(), &style, 4);
  }
  return t;
}
DWORD StyleOf(const std::vector<BYTE>& t, bool extended) {
  DWORD style;
  memcpy(&style, t.data() + (extended ? 12 : 0), 4);
  return style;
}
}  // namespace

TEST_F(SheetTest, PrecreateDropsTheHelpButtonAndCentresBothLayouts) {
  for (bool extended : {false, true}) {
    std::vector<BYTE> t = Template(extended);
    EXPECT_EQ(PropSheetCallback(nullptr, PSCB_PRECREATE, reinterpret_cast<LPARAM>(t.data())), 0);
    DWORD style = StyleOf(t, extended);
    EXPECT_EQ(style & DS_CONTEXTHELP, 0u) << extended;
    EXPECT_EQ(style & DS_CENTER, DWORD(DS_CENTER)) << extended;
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | DS_MODALFRAME),
              DWORD(WS_POPUP | WS_CAPTION | DS_MODALFRAME));
  }
  std::vector<BYTE> t = Template(true);
  DWORD ex;
  PropSheetCallback(nullptr, PSCB_PRECREATE, reinterpret_cast<LPARAM>(t.data()));
  memcpy(&ex, t.data() + 8, 4);
  EXPECT_EQ(ex, DWORD(WS_EX_CONTEXTHELP));  // only the style is changed
}

TEST_F(SheetTest, SheetCarriesBothIconsAndNoHelpButton) {
  TestSheet sheet;
  ASSERT_TRUE(sheet.Open());
  HICON small = reinterpret_cast<HICON>(SendMessageW(sheet.sheet(), WM_GETICON, ICON_SMALL, 0));
  HICON big = reinterpret_cast<HICON>(SendMessageW(sheet.sheet(), WM_GETICON, ICON_BIG, 0));
  ASSERT_NE(small, nullptr);
  ASSERT_NE(big, nullptr);
  ICONINFO info;
  ASSERT_TRUE(GetIconInfo(small, &info));
  BITMAP bm;
  GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bm), &bm);
  EXPECT_EQ(bm.bmWidth, GetSystemMetrics(SM_CXSMICON));
  if (info.hbmColor) DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  ASSERT_TRUE(GetIconInfo(big, &info));
  GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bm), &bm);
  EXPECT_EQ(bm.bmWidth, GetSystemMetrics(SM_CXICON));
  if (info.hbmColor) DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  EXPECT_EQ(GetWindowLongW(sheet.sheet(), GWL_EXSTYLE) & WS_EX_CONTEXTHELP, 0);
  EXPECT_EQ(GetWindowLongW(sheet.sheet(), GWL_STYLE) & DS_CONTEXTHELP, 0);
  sheet.Close();  // the icons end with the sheet
  EXPECT_FALSE(GetIconInfo(small, &info));
  EXPECT_FALSE(GetIconInfo(big, &info));
}

TEST_F(SheetTest, SheetOpensCentredAcross) {
  TestSheet sheet;
  ASSERT_TRUE(sheet.Open());
  RECT r;
  GetWindowRect(sheet.sheet(), &r);
  // Wine centres the sheet before it adds the tabs and buttons, so only the
  // horizontal centre is exact there.
  EXPECT_LE(abs((r.left + r.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2), 2);
}

TEST_F(SheetTest, CommandLineFlagsIgnoreAsciiCaseOnly) {
  struct Case {
    const wchar_t* line;
    int general, paper;
  } cases[] = {
      {L"", 0, 0},
      {L"/nogeneral", 1, 0},
      {L"/NOGENERAL /NoPaper", 1, 1},
      {L"  /nopaper   other  ", 0, 1},
      {L"/nogeneral,/nopaper", 0, 0},
      {L"/nogeneral\t/nopaper", 0, 0},
      {L"/nogeneralx /no paper", 0, 0},
      {L"-nogeneral nopaper", 0, 0},
  };
  for (const Case& c : cases) {
    int general = 0, paper = 0;
    ParseCommandLine(c.line, &general, &paper);
    EXPECT_EQ(general, c.general) << Narrow(c.line);
    EXPECT_EQ(paper, c.paper) << Narrow(c.line);
  }
}

TEST_F(SheetTest, OnlyOneInstanceHoldsTheMutex) {
  ASSERT_EQ(AcquireInstanceMutex(), kEntryRun);
  HANDLE first = g_props.instanceMutex;
  ASSERT_NE(first, nullptr);
  g_props.instanceMutex = nullptr;
  EXPECT_EQ(AcquireInstanceMutex(), kEntryOtherInstance);
  EXPECT_EQ(g_props.instanceMutex, nullptr);
  CloseHandle(first);
  ASSERT_EQ(AcquireInstanceMutex(), kEntryRun);
  CloseHandle(g_props.instanceMutex);
  g_props.instanceMutex = nullptr;
}

TEST_F(SheetTest, PreviewBitmapsHaveTheirSizesAndDepth) {
  ASSERT_NE(g_props.portraitPreview, nullptr);
  ASSERT_NE(g_props.landscapePreview, nullptr);
  HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(IDB_PORTRAIT), MAKEINTRESOURCEW(2));
  ASSERT_NE(res, nullptr);
  const auto* info = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(nullptr, res)));
  EXPECT_EQ(info->biWidth, 35);
  EXPECT_EQ(info->biHeight, 45);
  EXPECT_EQ(info->biBitCount, 8);
  res = FindResourceW(nullptr, MAKEINTRESOURCEW(IDB_LANDSCAPE), MAKEINTRESOURCEW(2));
  info = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(nullptr, res)));
  EXPECT_EQ(info->biWidth, 45);
  EXPECT_EQ(info->biHeight, 35);
  EXPECT_EQ(info->biBitCount, 8);
}
