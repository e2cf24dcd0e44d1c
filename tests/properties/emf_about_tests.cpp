// The EMF page and the About page.
#include "properties_fixture.h"

#include <shellapi.h>

using namespace orvltest;
using namespace proptest;

class EmfPageTest : public PropertiesTest {
 protected:
  // The EMF page, first after /nogeneral /nopaper.
  void OpenEmf() {
    ASSERT_TRUE(sheet.Open(1, 1));
    ASSERT_EQ(WindowText(sheet.page()), L"EMF");
  }
  bool UserValue(DWORD* value) {
    return ReadDword(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", value);
  }
  TestSheet sheet;
};

TEST_F(EmfPageTest, StartsClearWithNothingStored) {
  OpenEmf();
  EXPECT_EQ(sheet.Text(IDC_SAVE_EMF), L"Save to EMF");
  EXPECT_FALSE(sheet.Checked(IDC_SAVE_EMF));
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(EmfPageTest, MachineDefaultShowsAndIsNotCopiedWithoutAClick) {
  SetDword(HKEY_LOCAL_MACHINE, kDefaultsKey, L"EMF: Enabled", 1);
  OpenEmf();
  EXPECT_TRUE(sheet.Checked(IDC_SAVE_EMF));
  sheet.Press(PSBTN_APPLYNOW);
  DWORD value = 0;
  EXPECT_FALSE(UserValue(&value));
}

TEST_F(EmfPageTest, TwoClicksStoreTheShownValueForTheUser) {
  SetDword(HKEY_LOCAL_MACHINE, kDefaultsKey, L"EMF: Enabled", 1);
  OpenEmf();
  sheet.Click(IDC_SAVE_EMF);
  EXPECT_FALSE(sheet.Checked(IDC_SAVE_EMF));
  sheet.Click(IDC_SAVE_EMF);
  EXPECT_TRUE(sheet.ApplyEnabled());
  sheet.Press(PSBTN_APPLYNOW);
  DWORD value = 0;
  ASSERT_TRUE(UserValue(&value));
  EXPECT_EQ(value, 1u);
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(EmfPageTest, CancelKeepsTheStoredValue) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", 1);
  OpenEmf();
  sheet.Click(IDC_SAVE_EMF);
  sheet.Press(PSBTN_CANCEL);
  DWORD value = 0;
  ASSERT_TRUE(UserValue(&value));
  EXPECT_EQ(value, 1u);
}

TEST_F(EmfPageTest, OtherNonZeroValuesShowChecked) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", 7);
  OpenEmf();
  EXPECT_TRUE(sheet.Checked(IDC_SAVE_EMF));
}

TEST_F(EmfPageTest, UnwritableUserKeyIsReported) {
  OpenEmf();
  sheet.Click(IDC_SAVE_EMF);
  DenyKeyAccess deny(HKEY_CURRENT_USER, kUserKey);
  BoxCapture boxes;
  sheet.Press(PSBTN_APPLYNOW);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text,
            ErrorReport(L"Failed to create/open registry key\nHKCU\\Software\\Orvalis", 5));
  EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis properties");
  EXPECT_FALSE(sheet.ApplyEnabled());
}

class AboutPageTest : public PropertiesTest {
 protected:
  void OpenAbout() {
    SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"EMF: Hide page", 1);
    ASSERT_TRUE(sheet.Open(1, 1));
    ASSERT_EQ(sheet.pageCount(), 1);
    ASSERT_EQ(WindowText(sheet.page()), L"About");
  }
  TestSheet sheet;
};

namespace {
struct ShellCall {
  HWND owner;
  std::wstring verb, file;
  bool noParameters, noDirectory;
  int show;
};
std::vector<ShellCall> g_shell;
HINSTANCE WINAPI FakeShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                   LPCWSTR directory, INT show) {
  g_shell.push_back({owner, verb ? verb : L"", file ? file : L"", parameters == nullptr,
                     directory == nullptr, show});
  return reinterpret_cast<HINSTANCE>(33);
}
}  // namespace

TEST_F(AboutPageTest, ShowsNameVersionAndMaker) {
  OpenAbout();
  EXPECT_EQ(sheet.Text(IDC_BANNER), L"Orvalis");
  EXPECT_EQ(sheet.Text(IDC_VERSION_TEXT), L"Version 1.00\n\nCopyright (C) 2026 Orvalis");
  EXPECT_EQ(sheet.Text(IDC_WEB), L"www.orvalis.example");
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(AboutPageTest, WebButtonOpensTheFullAddress) {
  OpenAbout();
  g_shell.clear();
  IatPatch shell("shell32.dll", "ShellExecuteW", reinterpret_cast<const void*>(FakeShellExecuteW));
  sheet.Click(IDC_WEB);
  ASSERT_EQ(g_shell.size(), 1u);
  EXPECT_EQ(g_shell[0].owner, nullptr);
  EXPECT_EQ(g_shell[0].verb, L"open");
  EXPECT_EQ(g_shell[0].file, L"http://www.orvalis.example/");
  EXPECT_TRUE(g_shell[0].noParameters);
  EXPECT_TRUE(g_shell[0].noDirectory);
  EXPECT_EQ(g_shell[0].show, SW_SHOWNORMAL);
  EXPECT_TRUE(IsWindowVisible(sheet.sheet()));
}

TEST_F(AboutPageTest, BannerIsGreyWithWhiteTextFromEightPixels) {
  if (!HaveDisplay()) GTEST_SKIP() << "needs a display";
  OpenAbout();
  HWND banner = sheet.item(IDC_BANNER);
  for (int pass = 0; pass < 2; ++pass) {  // also after being painted again
    Pixels p = Grab(banner);
    ASSERT_FALSE(p.empty());
    int firstWhite = -1, whiteCount = 0;
    for (int x = 0; x < p.width; ++x)
      for (int y = 0; y < p.height; ++y) {
        COLORREF c = p.at(x, y);
        if (c == RGB(255, 255, 255)) {
          ++whiteCount;
          if (firstWhite < 0 || x < firstWhite) firstWhite = x;
        }
      }
    EXPECT_EQ(p.at(0, 0), RGB(128, 128, 128));
    EXPECT_EQ(p.at(p.width - 1, p.height - 1), RGB(128, 128, 128));
    EXPECT_GT(whiteCount, 20);
    EXPECT_GE(firstWhite, 8);
    EXPECT_LE(firstWhite, 12);
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < 8; ++x) EXPECT_EQ(p.at(x, y), RGB(128, 128, 128)) << x << "," << y;
  }
}
