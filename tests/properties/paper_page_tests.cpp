// The Paper Size page: the driver's papers, their sizes in both units, the
// Delete rule, Apply, and adding and deleting custom forms.
#include "properties_fixture.h"

using namespace orvltest;
using namespace proptest;

namespace {

StandInPaper Paper(DWORD id, const wchar_t* name, LONG width, LONG length) {
  StandInPaper p = {};
  p.id = id;
  lstrcpynW(p.name, name, 64);
  p.width = width;
  p.length = length;
  return p;
}

const std::vector<StandInPaper> kPapers = {
    Paper(1, L"Letter", 2159, 2794), Paper(9, L"A4", 2100, 2970),
    Paper(300, L"Fax Custom", 2000, 2500), Paper(301, L"Tray Form", 1000, 1000),
    Paper(302, L"No Form", 1500, 1500)};

}  // namespace

class PaperPageTest : public PropertiesTest {
 protected:
  void SetUp() override {
    PropertiesTest::SetUp();
    SetPapers(kPapers);
  }
  // The sheet without the General page, so the Paper Size page comes first.
  void OpenPaper() {
    ASSERT_TRUE(sheet.Open(1, 0));
    ASSERT_EQ(WindowText(sheet.page()), L"Paper Size");
  }
  FakeForms forms;
  TestSheet sheet;
};

TEST_F(PaperPageTest, ListsThePapersAndSelectsTheCurrentOne) {
  StoreDevMode(1, 204, 196, 9, L"A4");
  OpenPaper();
  EXPECT_EQ(sheet.ComboTexts(IDC_PAPER_LIST),
            (std::vector<std::wstring>{L"Letter", L"A4", L"Fax Custom", L"Tray Form", L"No Form"}));
  EXPECT_EQ(sheet.ComboSelection(IDC_PAPER_LIST), 1);
  EXPECT_TRUE(sheet.Checked(IDC_METRIC));
  EXPECT_FALSE(sheet.Checked(IDC_ENGLISH));
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"210.00");
  EXPECT_EQ(sheet.Text(IDC_LENGTH), L"297.00");
  EXPECT_EQ(sheet.Text(IDC_WIDTH_UNIT), L"mm");
  EXPECT_EQ(sheet.Text(IDC_LENGTH_UNIT), L"mm");
  EXPECT_FALSE(sheet.Enabled(IDC_DELETE));
  EXPECT_TRUE(sheet.Enabled(IDC_ADD));
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(PaperPageTest, USMeasurementOpensInInches) {
  SetMeasure(L"1");
  StoreDevMode(1, 204, 196, 9, L"A4");
  OpenPaper();
  EXPECT_TRUE(sheet.Checked(IDC_ENGLISH));
  EXPECT_FALSE(sheet.Checked(IDC_METRIC));
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"8.27");
  EXPECT_EQ(sheet.Text(IDC_LENGTH), L"11.69");
  EXPECT_EQ(sheet.Text(IDC_WIDTH_UNIT), L"in");
}

TEST_F(PaperPageTest, SwitchingTheUnitChangesOnlyTheDisplay) {
  StoreDevMode(1, 204, 196, 1, L"Letter");
  OpenPaper();
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"215.90");
  EXPECT_EQ(sheet.Text(IDC_LENGTH), L"279.40");
  sheet.Click(IDC_ENGLISH);
  EXPECT_TRUE(sheet.Checked(IDC_ENGLISH));
  EXPECT_FALSE(sheet.Checked(IDC_METRIC));
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"8.50");
  EXPECT_EQ(sheet.Text(IDC_LENGTH), L"11.00");
  EXPECT_EQ(sheet.Text(IDC_LENGTH_UNIT), L"in");
  EXPECT_FALSE(sheet.ApplyEnabled());
  sheet.Click(IDC_METRIC);
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"215.90");
  EXPECT_EQ(sheet.Text(IDC_WIDTH_UNIT), L"mm");
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(PaperPageTest, DeleteOnlyForCustomForms) {
  StoreDevMode(1, 204, 196, 9, L"A4");
  OpenPaper();
  sheet.Choose(IDC_PAPER_LIST, 2, false);
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"200.00");
  EXPECT_TRUE(sheet.Enabled(IDC_DELETE));
  EXPECT_TRUE(sheet.ApplyEnabled());
  sheet.Choose(IDC_PAPER_LIST, 3, false);
  EXPECT_FALSE(sheet.Enabled(IDC_DELETE));
  sheet.Choose(IDC_PAPER_LIST, 4, false);
  EXPECT_FALSE(sheet.Enabled(IDC_DELETE));
  sheet.Choose(IDC_PAPER_LIST, 0, false);
  EXPECT_FALSE(sheet.Enabled(IDC_DELETE));
}

TEST_F(PaperPageTest, WithoutAdministerRightsAddAndDeleteStayDisabled) {
  OpenPrinterFault fault({PRINTER_ACCESS_ADMINISTER}, ERROR_ACCESS_DENIED);
  StoreDevMode(1, 204, 196, 300, L"Fax Custom");
  OpenPaper();
  EXPECT_EQ(g_props.canAdminister, 0u);
  EXPECT_EQ(sheet.ComboSelection(IDC_PAPER_LIST), 2);
  EXPECT_FALSE(sheet.Enabled(IDC_ADD));
  EXPECT_FALSE(sheet.Enabled(IDC_DELETE));
  sheet.Choose(IDC_PAPER_LIST, 2, false);
  EXPECT_FALSE(sheet.Enabled(IDC_DELETE));
}

TEST_F(PaperPageTest, ApplyWritesPaperNumberAndFormNameOnce) {
  // A paper length and width would override the paper number in the driver.
  StoreDevMode(2, 204, 98, 9, L"A4", DM_PAPERLENGTH | DM_PAPERWIDTH);
  OpenPaper();
  sheet.Choose(IDC_PAPER_LIST, 0, false);
  SetPrinterSpy spy;
  sheet.Press(PSBTN_APPLYNOW);
  EXPECT_EQ(spy.levels, std::vector<DWORD>{9});
  DEVMODEW stored = StoredDevMode();
  EXPECT_EQ(stored.dmPaperSize, 1);
  EXPECT_STREQ(stored.dmFormName, L"Letter");
  EXPECT_EQ(stored.dmFields & (DM_PAPERSIZE | DM_FORMNAME | DM_PAPERLENGTH | DM_PAPERWIDTH),
            DWORD(DM_PAPERSIZE | DM_FORMNAME));
  EXPECT_EQ(stored.dmOrientation, 2);
  EXPECT_EQ(stored.dmYResolution, 98);
  EXPECT_FALSE(sheet.ApplyEnabled());
  sheet.Press(PSBTN_APPLYNOW);
  EXPECT_EQ(spy.levels.size(), 1u);
}

TEST_F(PaperPageTest, WindowsNt4WritesAtLevelTwo) {
  FakeVersion nt4(VER_PLATFORM_WIN32_NT, 4, 0);
  StoreDevMode(1, 204, 196, 9, L"A4");
  OpenPaper();
  sheet.Choose(IDC_PAPER_LIST, 0, false);
  SetPrinterSpy spy;
  sheet.Press(PSBTN_OK);
  EXPECT_EQ(spy.levels, std::vector<DWORD>{2});
  EXPECT_EQ(StoredDevMode().dmPaperSize, 1);
}

TEST_F(PaperPageTest, ApplyFailureIsReportedAndKeepsTheDefault) {
  StoreDevMode(1, 204, 196, 9, L"A4");
  OpenPaper();
  sheet.Choose(IDC_PAPER_LIST, 0, false);
  SetPrinterSpy refuse(ERROR_ACCESS_DENIED);
  BoxCapture boxes;
  sheet.Press(PSBTN_APPLYNOW);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text,
            ErrorReport(L"SetPrinter(PRINTER_INFO_9) failed.", ERROR_ACCESS_DENIED));
  EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis properties");
  EXPECT_FALSE(sheet.ApplyEnabled());
  EXPECT_EQ(StoredDevMode().dmPaperSize, 9);
}

TEST_F(PaperPageTest, LongPaperNameIsCutToTheFormNameField) {
  std::vector<StandInPaper> papers = kPapers;
  papers.push_back(Paper(303, L"An Extraordinarily Long Fax Paper Name", 2000, 2000));
  SetPapers(papers);
  StoreDevMode(1, 204, 196, 9, L"A4");
  OpenPaper();
  sheet.Choose(IDC_PAPER_LIST, 5, false);
  sheet.Press(PSBTN_APPLYNOW);
  DEVMODEW stored = StoredDevMode();
  EXPECT_EQ(stored.dmPaperSize, 303);
  EXPECT_STREQ(stored.dmFormName, L"An Extraordinarily Long Fax Pap");
}

TEST_F(PaperPageTest, AddedFormBecomesTheSelectionToApply) {
  std::vector<StandInPaper> papers = kPapers;
  papers.push_back(Paper(310, L"Memo", 2105, 2970));
  SetPapers(papers);
  StoreDevMode(1, 204, 196, 9, L"A4");
  OpenPaper();
  ScriptDialog(L"New Paper Form", [](HWND dialog) {
    SetDlgItemTextW(dialog, IDC_FORM_NAME, L"Memo");
    SetDlgItemTextW(dialog, IDC_WIDTH, L"210.5");
    SetDlgItemTextW(dialog, IDC_LENGTH, L"297");
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  });
  sheet.Click(IDC_ADD);
  EXPECT_TRUE(ScriptedDialogRan());
  ASSERT_EQ(forms.added.size(), 1u);
  const FakeForm& f = forms.added[0];
  EXPECT_EQ(f.name, L"Memo");
  EXPECT_EQ(f.flags, DWORD(FORM_USER));
  EXPECT_EQ(f.width, 210500);
  EXPECT_EQ(f.length, 297000);
  EXPECT_EQ(f.area.left, 0);
  EXPECT_EQ(f.area.top, 0);
  EXPECT_EQ(f.area.right, 210500);
  EXPECT_EQ(f.area.bottom, 297000);
  EXPECT_EQ(sheet.ComboSelection(IDC_PAPER_LIST), 5);
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"210.50");
  EXPECT_TRUE(sheet.Enabled(IDC_DELETE));
  EXPECT_TRUE(sheet.ApplyEnabled());
  EXPECT_EQ(StoredDevMode().dmPaperSize, 9);  // only Apply makes it the paper
  sheet.Press(PSBTN_APPLYNOW);
  EXPECT_EQ(StoredDevMode().dmPaperSize, 310);
}

TEST_F(PaperPageTest, AddedFormTheDriverDoesNotOfferChangesNoSelection) {
  StoreDevMode(1, 204, 196, 9, L"A4");
  OpenPaper();
  sheet.Choose(IDC_PAPER_LIST, 0, false);
  sheet.Press(PSBTN_APPLYNOW);
  ScriptDialog(L"New Paper Form", [](HWND dialog) {
    SetDlgItemTextW(dialog, IDC_FORM_NAME, L"Unlisted");
    SetDlgItemTextW(dialog, IDC_WIDTH, L"100");
    SetDlgItemTextW(dialog, IDC_LENGTH, L"100");
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  });
  sheet.Click(IDC_ADD);
  ASSERT_EQ(forms.added.size(), 1u);
  EXPECT_EQ(sheet.ComboSelection(IDC_PAPER_LIST), 0);
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(PaperPageTest, CancelledAddAddsNothing) {
  OpenPaper();
  ScriptDialog(L"New Paper Form", [](HWND dialog) {
    SetDlgItemTextW(dialog, IDC_FORM_NAME, L"Memo");
    SendMessageW(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
  });
  sheet.Click(IDC_ADD);
  EXPECT_TRUE(ScriptedDialogRan());
  EXPECT_TRUE(forms.added.empty());
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(PaperPageTest, RefusedAddIsReported) {
  forms.failAdd = ERROR_ACCESS_DENIED;
  OpenPaper();
  ScriptDialog(L"New Paper Form", [](HWND dialog) {
    SetDlgItemTextW(dialog, IDC_FORM_NAME, L"Memo");
    SetDlgItemTextW(dialog, IDC_WIDTH, L"100");
    SetDlgItemTextW(dialog, IDC_LENGTH, L"100");
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  });
  BoxCapture boxes;
  sheet.Click(IDC_ADD);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"Failed to add new form.", ERROR_ACCESS_DENIED));
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(PaperPageTest, DeletingTheCurrentPaperAppliesTheFirstPaperAtOnce) {
  StoreDevMode(1, 204, 196, 300, L"Fax Custom");
  forms.onDelete = [](const std::wstring& name) {
    std::vector<StandInPaper> left;
    for (const auto& p : kPapers)
      if (name != p.name) left.push_back(p);
    SetPapers(left);
  };
  OpenPaper();
  ASSERT_EQ(sheet.ComboSelection(IDC_PAPER_LIST), 2);
  ASSERT_TRUE(sheet.Enabled(IDC_DELETE));
  SetPrinterSpy spy;
  sheet.Click(IDC_DELETE);
  EXPECT_EQ(forms.deleted, std::vector<std::wstring>{L"Fax Custom"});
  EXPECT_EQ(spy.levels, std::vector<DWORD>{9});
  EXPECT_EQ(StoredDevMode().dmPaperSize, 1);
  EXPECT_STREQ(StoredDevMode().dmFormName, L"Letter");
  EXPECT_EQ(sheet.ComboTexts(IDC_PAPER_LIST).size(), 4u);
  EXPECT_EQ(sheet.ComboSelection(IDC_PAPER_LIST), 0);
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"215.90");
  EXPECT_FALSE(sheet.Enabled(IDC_DELETE));
  EXPECT_TRUE(sheet.ApplyEnabled());
}

TEST_F(PaperPageTest, RefusedDeleteIsReported) {
  forms.failDelete = ERROR_ACCESS_DENIED;
  StoreDevMode(1, 204, 196, 300, L"Fax Custom");
  OpenPaper();
  BoxCapture boxes;
  sheet.Click(IDC_DELETE);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, ErrorReport(L"Failed to delete form.", ERROR_ACCESS_DENIED));
  EXPECT_FALSE(sheet.ApplyEnabled());
}

TEST_F(PaperPageTest, PrinterThatCannotBeOpenedLeavesAnEmptyDisabledPage) {
  OpenPrinterFault fault({PRINTER_ACCESS_USE}, ERROR_ACCESS_DENIED);
  BoxCapture boxes;
  OpenPaper();
  EXPECT_TRUE(sheet.ComboTexts(IDC_PAPER_LIST).empty());
  for (int id : {IDC_PAPER_LIST, IDC_METRIC, IDC_ENGLISH, IDC_ADD, IDC_DELETE, IDC_WIDTH})
    EXPECT_FALSE(sheet.Enabled(id)) << id;
  EXPECT_TRUE(boxes.boxes().empty());
}

namespace {
BOOL WINAPI RefuseGetPrinter(HANDLE, DWORD, LPBYTE, DWORD, LPDWORD needed) {
  *needed = 0;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
}  // namespace

TEST_F(PaperPageTest, UnreadableCurrentPaperSelectsNothing) {
  StoreDevMode(1, 204, 196, 9, L"A4");
  IatPatch refuse("winspool.drv", "GetPrinterW", reinterpret_cast<const void*>(RefuseGetPrinter));
  BoxCapture boxes;
  OpenPaper();
  EXPECT_EQ(sheet.ComboTexts(IDC_PAPER_LIST).size(), 5u);
  EXPECT_EQ(sheet.ComboSelection(IDC_PAPER_LIST), -1);
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"");
  sheet.Click(IDC_ENGLISH);
  EXPECT_EQ(sheet.Text(IDC_WIDTH_UNIT), L"in");
  EXPECT_EQ(sheet.Text(IDC_WIDTH), L"");
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(PaperPageTest, DriverWithoutPapersGivesAnEmptyList) {
  SetPapers({});
  OpenPaper();
  EXPECT_TRUE(sheet.ComboTexts(IDC_PAPER_LIST).empty());
  EXPECT_TRUE(sheet.Enabled(IDC_ADD));
}

TEST_F(PaperPageTest, FailingDriverCountGivesAnEmptyList) {
  // And odd counts list only the papers that every answer covers.
  struct Case {
    const wchar_t* capability;
    DWORD count;
    size_t listed;
  } cases[] = {{L"PaperCount", 0xFFFFFFFF, 0},
               {L"PaperCount", 4097, 0},
               {L"PaperCount", 2, 2},  // the names and sizes of all five still arrive
               {L"PaperNameCount", 2, 2},
               {L"PaperSizeCount", 3, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.capability) + " " + std::to_string(c.count));
    SetDriverDword(c.capability, c.count);
    BoxCapture boxes;
    OpenPaper();
    std::vector<std::wstring> names = {L"Letter", L"A4", L"Fax Custom", L"Tray Form", L"No Form"};
    names.resize(c.listed);
    EXPECT_EQ(sheet.ComboTexts(IDC_PAPER_LIST), names);
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
    EXPECT_TRUE(boxes.boxes().empty());
    sheet.Close();
    DeleteTree(HKEY_CURRENT_USER, ORVL_STAND_IN_KEY);
    SetPapers(kPapers);
  }
}

TEST_F(PaperPageTest, PaperNameFillingAllSixtyFourUnitsIsCutToSixtyThree) {
  StandInPaper full = Paper(320, L"", 2000, 2000);
  for (int i = 0; i < 64; ++i) full.name[i] = static_cast<wchar_t>(L'A' + i % 26);
  std::vector<StandInPaper> papers = {full, Paper(9, L"A4", 2100, 2970)};
  SetPapers(papers);
  StoreDevMode(1, 204, 196, 9, L"A4");
  OpenPaper();
  std::vector<std::wstring> texts = sheet.ComboTexts(IDC_PAPER_LIST);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], std::wstring(full.name, 63));
  EXPECT_EQ(texts[1], L"A4");
}

TEST_F(PaperPageTest, PrinterWithoutDeviceModeSelectsNothingAndWritesNothing) {
  // No device mode, and one whose public part (dmSize) ends before dmFormName.
  for (WORD dmSize : {WORD(0), WORD(offsetof(DEVMODEW, dmFormName))}) {
    SCOPED_TRACE(dmSize);
    ShortDevMode bare(dmSize);
    OpenPaper();
    EXPECT_EQ(sheet.ComboSelection(IDC_PAPER_LIST), -1);
    sheet.Choose(IDC_PAPER_LIST, 0, false);
    SetPrinterSpy spy;
    BoxCapture boxes;
    sheet.Press(PSBTN_APPLYNOW);
    EXPECT_TRUE(spy.levels.empty());
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_FALSE(sheet.ApplyEnabled());
    sheet.Close();
  }
}

TEST_F(PaperPageTest, AdministerRightsLostMeanwhileEndAddAndDeleteSilently) {
  StoreDevMode(1, 204, 196, 300, L"Fax Custom");
  OpenPaper();
  ASSERT_TRUE(sheet.Enabled(IDC_ADD));
  ASSERT_TRUE(sheet.Enabled(IDC_DELETE));
  OpenPrinterFault fault({PRINTER_ACCESS_ADMINISTER}, ERROR_ACCESS_DENIED);
  ScriptDialog(L"New Paper Form", [](HWND dialog) {
    SetDlgItemTextW(dialog, IDC_FORM_NAME, L"Memo");
    SetDlgItemTextW(dialog, IDC_WIDTH, L"100");
    SetDlgItemTextW(dialog, IDC_LENGTH, L"100");
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  });
  BoxCapture boxes;
  sheet.Click(IDC_ADD);
  EXPECT_TRUE(ScriptedDialogRan());
  sheet.Click(IDC_DELETE);
  EXPECT_TRUE(forms.added.empty());
  EXPECT_TRUE(forms.deleted.empty());
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_FALSE(sheet.ApplyEnabled());
}
