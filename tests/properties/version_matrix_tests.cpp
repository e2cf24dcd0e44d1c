// The real properties.exe under each Windows version Wine can pretend to be.
// The 9x family gets no Paper Size page and a General page that only shows
// the settings, with the driver's dialog button as its one live control, and
// Apply there saves nothing. NT 4 and later get all four pages, the button
// hidden, and OK saves the General page into the printer's device mode (Wine
// keeps one device mode for levels 2 and 9, so which level was written is
// covered by the in-process General page suite).
#include "properties_fixture.h"

using namespace orvltest;
using namespace proptest;

namespace {

struct VersionCase {
  const wchar_t* name;
  bool nineX;
};

const VersionCase kVersions[] = {
    {L"win95", true},  {L"win98", true},   {L"nt40", false},  {L"win2k", false}, {L"winxp", false},
    {L"win2003", false}, {L"vista", false}, {L"win7", false}, {L"win8", false}};

int TabCount(HWND sheet) {
  HWND tab = FindWindowExW(sheet, nullptr, L"SysTabControl32", nullptr);
  return static_cast<int>(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0));
}

HWND CurrentPage(HWND sheet) {
  return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

std::vector<std::wstring> PageTitles(HWND sheet) {
  std::vector<std::wstring> titles;
  int n = TabCount(sheet);
  for (int i = 0; i < n; ++i) {
    SendMessageW(sheet, PSM_SETCURSEL, i, 0);
    titles.push_back(WindowText(CurrentPage(sheet)));
  }
  SendMessageW(sheet, PSM_SETCURSEL, 0, 0);
  return titles;
}

bool Checked(HWND page, int id) {
  return SendMessageW(GetDlgItem(page, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

}  // namespace

class PropertiesVersionTest : public PropertiesTest,
                              public ::testing::WithParamInterface<VersionCase> {
 protected:
  void SetUp() override {
    PropertiesTest::SetUp();
    version_.reset(new WineVersion(L"properties.exe", GetParam().name));
  }
  void TearDown() override {
    version_.reset();
    PropertiesTest::TearDown();
  }

 private:
  std::unique_ptr<WineVersion> version_;
};

TEST_P(PropertiesVersionTest, PagesFollowThePlatformFamily) {
  LiveProgram program;
  ASSERT_TRUE(program.Start(L""));
  HWND sheet = program.WaitForSheet();
  ASSERT_NE(sheet, nullptr);
  if (GetParam().nineX) {
    EXPECT_EQ(PageTitles(sheet), (std::vector<std::wstring>{L"General", L"EMF", L"About"}));
  } else {
    EXPECT_EQ(PageTitles(sheet),
              (std::vector<std::wstring>{L"General", L"Paper Size", L"EMF", L"About"}));
  }
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
  EXPECT_EQ(program.Wait(), 0u);
  EXPECT_TRUE(program.boxes.empty());
}

TEST_P(PropertiesVersionTest, PaperSwitchOnlyMattersWhereThePageExists) {
  LiveProgram program;
  ASSERT_TRUE(program.Start(L"/nopaper"));
  HWND sheet = program.WaitForSheet();
  ASSERT_NE(sheet, nullptr);
  EXPECT_EQ(PageTitles(sheet), (std::vector<std::wstring>{L"General", L"EMF", L"About"}));
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
  EXPECT_EQ(program.Wait(), 0u);
}

TEST_P(PropertiesVersionTest, GeneralPageControlsFollowThePlatformFamily) {
  StoreDevMode(1, 204, 196, 9);
  SetDriverDevMode(1, 204, 196, 9);
  LiveProgram program;
  ASSERT_TRUE(program.Start(L""));
  HWND sheet = program.WaitForSheet();
  ASSERT_NE(sheet, nullptr);
  HWND page = CurrentPage(sheet);
  EXPECT_EQ(WindowText(page), L"General");
  // Both families show the device mode the driver reports.
  EXPECT_TRUE(Checked(page, IDC_PORTRAIT));
  EXPECT_FALSE(Checked(page, IDC_LANDSCAPE));
  HWND quality = GetDlgItem(page, IDC_QUALITY);
  LRESULT sel = SendMessageW(quality, CB_GETCURSEL, 0, 0);
  wchar_t text[128] = {0};
  if (sel != CB_ERR) SendMessageW(quality, CB_GETLBTEXT, sel, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, L"204 x 196 DPI - Fine FAX mode");
  bool nineX = GetParam().nineX;
  EXPECT_EQ(IsWindowEnabled(GetDlgItem(page, IDC_PORTRAIT)) != 0, !nineX);
  EXPECT_EQ(IsWindowEnabled(GetDlgItem(page, IDC_LANDSCAPE)) != 0, !nineX);
  EXPECT_EQ(IsWindowEnabled(quality) != 0, !nineX);
  EXPECT_EQ(IsWindowVisible(GetDlgItem(page, IDC_DRIVER_DIALOG)) != 0, nineX);
  if (nineX) {
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, IDC_DRIVER_DIALOG)));
  }
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
  EXPECT_EQ(program.Wait(), 0u);
  EXPECT_TRUE(program.boxes.empty());
}

TEST_P(PropertiesVersionTest, OkSavesTheOrientationOnNtOnly) {
  StoreDevMode(1, 204, 196, 9);
  SetDriverDevMode(1, 204, 196, 9);
  LiveProgram program;
  ASSERT_TRUE(program.Start(L""));
  HWND sheet = program.WaitForSheet();
  ASSERT_NE(sheet, nullptr);
  HWND page = CurrentPage(sheet);
  HWND landscape = GetDlgItem(page, IDC_LANDSCAPE);
  // The command a click sends; on the 9x family the button itself is disabled.
  SendMessageW(page, WM_COMMAND, MAKEWPARAM(IDC_LANDSCAPE, BN_CLICKED),
               reinterpret_cast<LPARAM>(landscape));
  EXPECT_TRUE(Checked(page, IDC_LANDSCAPE));
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
  EXPECT_EQ(program.Wait(), 0u);
  EXPECT_TRUE(program.boxes.empty());
  DEVMODEW stored = StoredDevMode();
  EXPECT_EQ(stored.dmOrientation, GetParam().nineX ? 1 : 2);
  EXPECT_EQ(stored.dmPrintQuality, 204);
  EXPECT_EQ(stored.dmYResolution, 196);
  EXPECT_EQ(stored.dmPaperSize, 9);
}

INSTANTIATE_TEST_SUITE_P(Windows, PropertiesVersionTest, ::testing::ValuesIn(kVersions),
                         [](const ::testing::TestParamInfo<VersionCase>& info) {
                           return Narrow(info.param.name);
                         });
