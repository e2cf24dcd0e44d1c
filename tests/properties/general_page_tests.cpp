// The General page: orientation, print quality from the driver's list and
// what Apply leaves in the printer's default device mode.
#include "properties_fixture.h"

using namespace orvltest;
using namespace proptest;

class GeneralPageTest : public PropertiesTest {
 protected:
  // Opens the sheet on the General page.
  void OpenGeneral() {
    ASSERT_TRUE(sheet.Open());
    sheet.Select(0);
    ASSERT_EQ(WindowText(sheet.page()), L"General");
  }
  TestSheet sheet;
};

TEST_F(GeneralPageTest, ListsTheDriversResolutionsWithTheFaxModes) {
  SetResolutions({{300, 300}, {204, 98}, {204, 196}, {204, 97}, {200, 98}});
  BoxCapture boxes;
  OpenGeneral();
  EXPECT_EQ(sheet.ComboTexts(IDC_QUALITY),
            (std::vector<std::wstring>{L"300 x 300 DPI", L"204 x 98 DPI - Standard FAX mode",
                                       L"204 x 196 DPI - Fine FAX mode", L"204 x 97 DPI",
                                       L"200 x 98 DPI"}));
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(GeneralPageTest, ShowsTheDriversDeviceMode) {
  SetDriverDevMode(2, 204, 98, 9);
  OpenGeneral();
  EXPECT_FALSE(sheet.Checked(IDC_PORTRAIT));
  EXPECT_TRUE(sheet.Checked(IDC_LANDSCAPE));
  EXPECT_EQ(sheet.ComboSelection(IDC_QUALITY), 1);
  EXPECT_FALSE(sheet.Visible(IDC_DRIVER_DIALOG));
  EXPECT_TRUE(sheet.Enabled(IDC_PORTRAIT));
  EXPECT_TRUE(sheet.Enabled(IDC_QUALITY));
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(GeneralPageTest, ApplyWritesTheUsersDefaultAtLevelNine) {
  StoreDevMode(1, 300, 300, 9, L"A4");
  SetDriverDevMode(1, 300, 300, 9);
  OpenGeneral();
  sheet.Click(IDC_LANDSCAPE);
  EXPECT_TRUE(sheet.Checked(IDC_LANDSCAPE));
  EXPECT_FALSE(sheet.Checked(IDC_PORTRAIT));
  sheet.Choose(IDC_QUALITY, 2, true);
  EXPECT_TRUE(sheet.ApplyEnabled());
  SetPrinterSpy spy;
  sheet.Press(PSBTN_APPLYNOW);
  EXPECT_EQ(spy.levels, std::vector<DWORD>{9});
  EXPECT_FALSE(sheet.ApplyEnabled());
  DEVMODEW stored = StoredDevMode();
  EXPECT_EQ(stored.dmOrientation, 2);
  EXPECT_EQ(stored.dmPrintQuality, 204);
  EXPECT_EQ(stored.dmYResolution, 196);
  EXPECT_EQ(stored.dmPaperSize, 9);
  EXPECT_EQ(stored.dmFields & 0x2401u, 0x2401u);
  EXPECT_STREQ(stored.dmFormName, L"A4");
}

TEST_F(GeneralPageTest, WindowsNt4WritesThePrintersDefaultAtLevelTwo) {
  FakeVersion nt4(VER_PLATFORM_WIN32_NT, 4, 0);
  StoreDevMode(1, 204, 196, 9);
  SetDriverDevMode(1, 204, 196, 9);
  OpenGeneral();
  sheet.Click(IDC_LANDSCAPE);
  SetPrinterSpy spy;
  sheet.Press(PSBTN_OK);
  EXPECT_EQ(spy.levels, std::vector<DWORD>{2});
  EXPECT_EQ(StoredDevMode().dmOrientation, 2);
}

TEST_F(GeneralPageTest, ApplyWithNothingChangedOpensNoPrinter) {
  OpenGeneral();
  OpenPrinterFault watch({0xDEAD}, 0);
  SetPrinterSpy spy;
  sheet.Press(PSBTN_APPLYNOW);
  EXPECT_TRUE(watch.asked.empty());
  EXPECT_TRUE(spy.levels.empty());
}

TEST_F(GeneralPageTest, QualityNotInTheListIsWrittenBackUnchanged) {
  StoreDevMode(1, 600, 600, 9);
  SetDriverDevMode(1, 600, 600, 9);
  OpenGeneral();
  EXPECT_EQ(sheet.ComboSelection(IDC_QUALITY), -1);
  sheet.Click(IDC_PORTRAIT);  // the checked one: still a change
  EXPECT_TRUE(sheet.ApplyEnabled());
  sheet.Press(PSBTN_APPLYNOW);
  DEVMODEW stored = StoredDevMode();
  EXPECT_EQ(stored.dmPrintQuality, 600);
  EXPECT_EQ(stored.dmYResolution, 600);
  EXPECT_EQ(stored.dmOrientation, 1);
}

TEST_F(GeneralPageTest, UnknownOrientationsCheckNeitherButton) {
  SetDriverDevMode(0, 204, 196, 9);
  OpenGeneral();
  EXPECT_FALSE(sheet.Checked(IDC_PORTRAIT));
  EXPECT_FALSE(sheet.Checked(IDC_LANDSCAPE));
  sheet.Close();
  SetDriverDevMode(3, 204, 196, 9);
  OpenGeneral();
  EXPECT_FALSE(sheet.Checked(IDC_PORTRAIT));
  EXPECT_FALSE(sheet.Checked(IDC_LANDSCAPE));
}

TEST_F(GeneralPageTest, NoResolutionsLeavesTheListEmptyButOrientationSaves) {
  SetResolutions({});
  StoreDevMode(1, 204, 196, 9);
  OpenGeneral();
  EXPECT_TRUE(sheet.ComboTexts(IDC_QUALITY).empty());
  sheet.Click(IDC_LANDSCAPE);
  sheet.Press(PSBTN_APPLYNOW);
  EXPECT_EQ(StoredDevMode().dmOrientation, 2);
}

TEST_F(GeneralPageTest, FailingDriverCountGivesAnEmptyList) {
  // Counts beyond any real driver's list count as failing; 0x20000000 pairs
  // would need 4 GiB, a size that wraps to 0 in 32 bits.
  for (DWORD count : {0xFFFFFFFFu, 4097u, 0x20000000u}) {
    SCOPED_TRACE(count);
    SetDriverDword(L"ResolutionCount", count);
    OpenGeneral();
    EXPECT_TRUE(sheet.ComboTexts(IDC_QUALITY).empty());
    EXPECT_TRUE(sheet.Enabled(IDC_PORTRAIT));
    sheet.Close();
  }
}

TEST_F(GeneralPageTest, Windows9xShowsOnlyTheDriverButton) {
  FakeVersion win98(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
  SetDriverDevMode(1, 204, 98, 9);
  OpenGeneral();
  EXPECT_FALSE(sheet.Enabled(IDC_PORTRAIT));
  EXPECT_FALSE(sheet.Enabled(IDC_LANDSCAPE));
  EXPECT_FALSE(sheet.Enabled(IDC_QUALITY));
  EXPECT_TRUE(sheet.Visible(IDC_DRIVER_DIALOG));
  EXPECT_TRUE(sheet.Enabled(IDC_DRIVER_DIALOG));
  EXPECT_TRUE(sheet.Checked(IDC_PORTRAIT));
  // What the driver's dialog leaves is shown afterwards.
  SetDriverDevMode(2, 204, 196, 9);
  {
    BoxCapture boxes;  // PrinterProperties is not carried out under Wine
    sheet.Click(IDC_DRIVER_DIALOG);
  }
  EXPECT_TRUE(sheet.Checked(IDC_LANDSCAPE));
  EXPECT_EQ(sheet.ComboSelection(IDC_QUALITY), 2);
  EXPECT_FALSE(sheet.ApplyEnabled());
  // Nothing of this page is saved there, even after a change.
  SendMessageW(sheet.page(), WM_COMMAND, MAKEWPARAM(IDC_PORTRAIT, BN_CLICKED),
               reinterpret_cast<LPARAM>(sheet.item(IDC_PORTRAIT)));
  SetPrinterSpy spy;
  OpenPrinterFault watch({0xDEAD}, 0);
  sheet.Press(PSBTN_APPLYNOW);
  EXPECT_TRUE(spy.levels.empty());
  EXPECT_TRUE(watch.asked.empty());
}

TEST_F(GeneralPageTest, UnreadableDeviceModeDisablesEverything) {
  SetDriverDword(L"DocumentProperties", 0xFFFFFFFF);
  BoxCapture boxes;
  OpenGeneral();
  for (int id : {IDC_PORTRAIT, IDC_LANDSCAPE, IDC_QUALITY, IDC_DRIVER_DIALOG, IDC_PREVIEW})
    EXPECT_FALSE(sheet.Enabled(id)) << id;
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text,
            ErrorReport(L"DocumentProperties() failed.", ERROR_NOT_SUPPORTED));
  EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis properties");
}

TEST_F(GeneralPageTest, PrinterThatCannotBeOpenedIsReported) {
  OpenPrinterFault fault({PRINTER_ACCESS_USE}, ERROR_ACCESS_DENIED);
  BoxCapture boxes;
  OpenGeneral();
  ASSERT_GE(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text,
            ErrorReport(L"OpenPrinter(PRINTER_ACCESS_USE) error.", ERROR_ACCESS_DENIED));
  EXPECT_EQ(boxes.boxes()[0].style & 0x3000, 0);
  EXPECT_FALSE(boxes.boxes()[0].systemModal());
  EXPECT_FALSE(sheet.Enabled(IDC_PORTRAIT));
  EXPECT_FALSE(sheet.Enabled(IDC_QUALITY));
}

TEST_F(GeneralPageTest, ApplyFailuresAreReportedAndTheSheetCloses) {
  StoreDevMode(1, 204, 196, 9);
  OpenGeneral();
  sheet.Click(IDC_LANDSCAPE);
  {
    SetPrinterSpy refuse(ERROR_ACCESS_DENIED);
    BoxCapture boxes;
    sheet.Press(PSBTN_APPLYNOW);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text,
              ErrorReport(L"SetPrinter(PRINTER_INFO_9) failed.", ERROR_ACCESS_DENIED));
  }
  EXPECT_FALSE(sheet.ApplyEnabled());
  EXPECT_EQ(StoredDevMode().dmOrientation, 1);
  sheet.Click(IDC_LANDSCAPE);
  {
    OpenPrinterFault fault({PRINTER_ACCESS_USE}, ERROR_ACCESS_DENIED);
    BoxCapture boxes;
    sheet.Press(PSBTN_APPLYNOW);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text,
              ErrorReport(L"OpenPrinter(PRINTER_ACCESS_USE) failed.", ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(StoredDevMode().dmOrientation, 1);
}

TEST_F(GeneralPageTest, Nt4ApplyFailuresNameTheirCalls) {
  FakeVersion nt4(VER_PLATFORM_WIN32_NT, 4, 0);
  OpenGeneral();
  sheet.Click(IDC_LANDSCAPE);
  {
    SetPrinterSpy refuse(ERROR_ACCESS_DENIED);
    BoxCapture boxes;
    sheet.Press(PSBTN_APPLYNOW);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text,
              ErrorReport(L"SetPrinter(PRINTER_INFO_2) failed.", ERROR_ACCESS_DENIED));
  }
  sheet.Click(IDC_LANDSCAPE);
  {
    OpenPrinterFault fault({PRINTER_ALL_ACCESS}, ERROR_ACCESS_DENIED);
    BoxCapture boxes;
    sheet.Press(PSBTN_APPLYNOW);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text,
              ErrorReport(L"OpenPrinter(PRINTER_ALL_ACCESS) failed.", ERROR_ACCESS_DENIED));
  }
}

namespace {
BOOL WINAPI RefuseGetPrinterW(HANDLE, DWORD, LPBYTE, DWORD, LPDWORD needed) {
  *needed = 4096;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
}  // namespace

TEST_F(GeneralPageTest, UnreadablePrinterRecordIsReported) {
  OpenGeneral();
  sheet.Click(IDC_LANDSCAPE);
  IatPatch refuse("winspool.drv", "GetPrinterW", reinterpret_cast<const void*>(RefuseGetPrinterW));
  SetPrinterSpy spy;
  BoxCapture boxes;
  sheet.Press(PSBTN_APPLYNOW);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text,
            ErrorReport(L"GetPrinter(PRINTER_INFO_2) failed.", ERROR_INVALID_HANDLE));
  EXPECT_TRUE(spy.levels.empty());
}

namespace {
// Columns of the preview that hold the page's black outline.
int OutlineWidth(const Pixels& p) {
  int first = -1, last = -1;
  for (int x = 0; x < p.width; ++x)
    for (int y = 0; y < p.height; ++y)
      if (p.at(x, y) == RGB(0, 0, 0)) {
        if (first < 0) first = x;
        last = x;
      }
  return first < 0 ? 0 : last - first + 1;
}
int OutlineHeight(const Pixels& p) {
  int first = -1, last = -1;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x)
      if (p.at(x, y) == RGB(0, 0, 0)) {
        if (first < 0) first = y;
        last = y;
      }
  return first < 0 ? 0 : last - first + 1;
}
}  // namespace

TEST_F(GeneralPageTest, PreviewShowsThePageInItsOrientation) {
  if (!HaveDisplay()) GTEST_SKIP() << "needs a display";
  SetDriverDevMode(1, 204, 196, 9);
  OpenGeneral();
  HWND preview = sheet.item(IDC_PREVIEW);
  Pixels portrait = Grab(preview);
  ASSERT_FALSE(portrait.empty());
  EXPECT_EQ(portrait.at(0, 0), GetSysColor(COLOR_BTNFACE));
  EXPECT_EQ(OutlineWidth(portrait), 31);
  EXPECT_EQ(OutlineHeight(portrait), 43);
  // Centred: as much room left of the outline as right of the shadow.
  sheet.Click(IDC_LANDSCAPE);
  Pixels landscape = Grab(preview);
  EXPECT_EQ(OutlineWidth(landscape), 41);
  EXPECT_EQ(OutlineHeight(landscape), 33);
  sheet.Close();
  SetDriverDevMode(0, 204, 196, 9);
  OpenGeneral();
  Pixels none = Grab(sheet.item(IDC_PREVIEW));
  EXPECT_EQ(OutlineWidth(none), 0);
}

TEST_F(GeneralPageTest, OnlyAFinishedChoiceOfQualityCounts) {
  SetDriverDevMode(1, 204, 196, 9);
  OpenGeneral();
  sheet.Choose(IDC_QUALITY, 0, false);  // still browsing the list
  EXPECT_FALSE(sheet.ApplyEnabled());
  sheet.Choose(IDC_QUALITY, 0, true);
  EXPECT_TRUE(sheet.ApplyEnabled());
  sheet.Press(PSBTN_APPLYNOW);
  EXPECT_EQ(StoredDevMode().dmPrintQuality, 300);
  EXPECT_EQ(StoredDevMode().dmYResolution, 300);
}

TEST_F(GeneralPageTest, CancelLeavesTheDeviceModeAlone) {
  StoreDevMode(1, 204, 196, 9);
  OpenGeneral();
  sheet.Click(IDC_LANDSCAPE);
  SetPrinterSpy spy;
  sheet.Press(PSBTN_CANCEL);
  EXPECT_TRUE(spy.levels.empty());
  EXPECT_EQ(StoredDevMode().dmOrientation, 1);
}

TEST_F(GeneralPageTest, PrinterWithoutDeviceModeWritesNothing) {
  // No device mode, and one whose public part (dmSize) ends before dmYResolution.
  for (WORD dmSize : {WORD(0), WORD(offsetof(DEVMODEW, dmYResolution))}) {
    SCOPED_TRACE(dmSize);
    OpenGeneral();
    sheet.Click(IDC_LANDSCAPE);
    ShortDevMode bare(dmSize);
    SetPrinterSpy spy;
    BoxCapture boxes;
    sheet.Press(PSBTN_APPLYNOW);
    EXPECT_TRUE(spy.levels.empty());
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_FALSE(sheet.ApplyEnabled());
    sheet.Close();
  }
}
