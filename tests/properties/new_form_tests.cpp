// The New Paper Form dialog: name and size checks in both units, unit
// switching and the request it hands back.
#include "properties_fixture.h"

using namespace orvltest;
using namespace proptest;

class NewFormTest : public PropertiesTest {
 protected:
  void Open() {
    ZeroMemory(&g_newForm, sizeof(g_newForm));
    dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_NEWFORM), nullptr,
                                NewFormDialogProc, 0);
    ASSERT_NE(dialog, nullptr);
  }
  void TearDown() override {
    if (dialog) DestroyWindow(dialog);
    PropertiesTest::TearDown();
  }
  void Type(int id, const wchar_t* text) { SetDlgItemTextW(dialog, id, text); }
  std::wstring Text(int id) { return WindowText(GetDlgItem(dialog, id)); }
  bool OkEnabled() { return IsWindowEnabled(GetDlgItem(dialog, IDOK)) != FALSE; }
  bool Checked(int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
  void Click(int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
  // OK enabled for this width and length (typed in the current unit)?
  bool Accepts(const wchar_t* width, const wchar_t* length) {
    Type(IDC_WIDTH, width);
    Type(IDC_LENGTH, length);
    return OkEnabled();
  }
  FakeForms forms;
  HWND dialog = nullptr;
};

TEST_F(NewFormTest, OpensEmptyInTheLocalesUnitWithOkDisabled) {
  Open();
  EXPECT_EQ(WindowText(dialog), L"New Paper Form");
  EXPECT_FALSE(OkEnabled());
  EXPECT_TRUE(Checked(IDC_METRIC));
  EXPECT_FALSE(Checked(IDC_ENGLISH));
  EXPECT_EQ(Text(IDC_WIDTH_UNIT), L"mm");
  EXPECT_EQ(Text(IDC_WIDTH_RANGE), L"[25 ... 841]");
  EXPECT_EQ(Text(IDC_LENGTH_RANGE), L"[25 ... 1189]");
  EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_FORM_NAME, EM_GETLIMITTEXT, 0, 0), 31);
}

TEST_F(NewFormTest, USLocaleOpensInInches) {
  SetMeasure(L"1");
  Open();
  EXPECT_TRUE(Checked(IDC_ENGLISH));
  EXPECT_FALSE(Checked(IDC_METRIC));
  EXPECT_EQ(Text(IDC_WIDTH_UNIT), L"in");
  EXPECT_EQ(Text(IDC_LENGTH_UNIT), L"in");
  EXPECT_EQ(Text(IDC_WIDTH_RANGE), L"[1 ... 33]");
  EXPECT_EQ(Text(IDC_LENGTH_RANGE), L"[1 ... 46]");
}

TEST_F(NewFormTest, NamesMustBeNewButCaseAndBlanksCount) {
  Open();
  Type(IDC_WIDTH, L"100");
  Type(IDC_LENGTH, L"100");
  EXPECT_FALSE(OkEnabled());
  Type(IDC_FORM_NAME, L"A4");
  EXPECT_FALSE(OkEnabled());
  Type(IDC_FORM_NAME, L"Fax Custom");
  EXPECT_FALSE(OkEnabled());
  Type(IDC_FORM_NAME, L"a4");
  EXPECT_TRUE(OkEnabled());
  Type(IDC_FORM_NAME, L" A4");
  EXPECT_TRUE(OkEnabled());
  Type(IDC_FORM_NAME, L"A4 ");
  EXPECT_TRUE(OkEnabled());
}

TEST_F(NewFormTest, MillimetreLimitsIncludeTheirBounds) {
  Open();
  Type(IDC_FORM_NAME, L"Memo");
  EXPECT_FALSE(Accepts(L"24.99", L"100"));
  EXPECT_TRUE(Accepts(L"25", L"100"));
  EXPECT_TRUE(Accepts(L"841", L"100"));
  EXPECT_FALSE(Accepts(L"841.01", L"100"));
  EXPECT_TRUE(Accepts(L"100", L"25"));
  EXPECT_FALSE(Accepts(L"100", L"24.99"));
  EXPECT_TRUE(Accepts(L"100", L"1189"));
  EXPECT_FALSE(Accepts(L"100", L"1189.01"));
  EXPECT_FALSE(Accepts(L"abc", L"100"));
  EXPECT_FALSE(Accepts(L"", L""));
  EXPECT_TRUE(Accepts(L"  1e2", L"2.5E2mm"));
}

TEST_F(NewFormTest, InchLimitsAreCheckedInMillimetres) {
  Open();
  Type(IDC_FORM_NAME, L"Memo");
  Click(IDC_ENGLISH);
  ASSERT_TRUE(Checked(IDC_ENGLISH));
  EXPECT_FALSE(Accepts(L"0.98", L"10"));
  EXPECT_TRUE(Accepts(L"0.99", L"10"));
  EXPECT_TRUE(Accepts(L"33.11", L"10"));
  EXPECT_FALSE(Accepts(L"33.12", L"10"));
  EXPECT_TRUE(Accepts(L"10", L"46.81"));
  EXPECT_FALSE(Accepts(L"10", L"46.82"));
  EXPECT_FALSE(Accepts(L"10", L"0.98"));
  EXPECT_FALSE(Accepts(L"0.985", L"10"));  // stored as 0.98 inch, below 25 mm
}

TEST_F(NewFormTest, SwitchingUnitsConvertsAndRounds) {
  Open();
  Type(IDC_WIDTH, L"210");
  Type(IDC_LENGTH, L"297");
  Click(IDC_ENGLISH);
  EXPECT_TRUE(Checked(IDC_ENGLISH));
  EXPECT_FALSE(Checked(IDC_METRIC));
  EXPECT_EQ(Text(IDC_WIDTH), L"8.27");
  EXPECT_EQ(Text(IDC_LENGTH), L"11.69");
  EXPECT_EQ(Text(IDC_WIDTH_UNIT), L"in");
  EXPECT_EQ(Text(IDC_LENGTH_UNIT), L"in");
  EXPECT_EQ(Text(IDC_WIDTH_RANGE), L"[1 ... 33]");
  EXPECT_EQ(Text(IDC_LENGTH_RANGE), L"[1 ... 46]");
  Click(IDC_ENGLISH);  // already chosen: nothing happens
  EXPECT_EQ(Text(IDC_WIDTH), L"8.27");
  Click(IDC_METRIC);
  EXPECT_EQ(Text(IDC_WIDTH), L"210.06");
  EXPECT_EQ(Text(IDC_LENGTH), L"296.93");
  EXPECT_EQ(Text(IDC_WIDTH_UNIT), L"mm");
  EXPECT_EQ(Text(IDC_WIDTH_RANGE), L"[25 ... 841]");
  EXPECT_EQ(Text(IDC_LENGTH_RANGE), L"[25 ... 1189]");
}

TEST_F(NewFormTest, SwitchingWithEmptyFieldsFillsZeros) {
  Open();
  Click(IDC_ENGLISH);
  EXPECT_EQ(Text(IDC_WIDTH), L"0.00");
  EXPECT_EQ(Text(IDC_LENGTH), L"0.00");
}

TEST_F(NewFormTest, OkHandsBackThousandthsOfAMillimetre) {
  // Every value typed to two decimals exactly, further decimals cut off.
  struct Case {
    bool inches;
    const wchar_t* width;
    const wchar_t* length;
    double storedWidth;
    double storedLength;
  } cases[] = {
      {false, L"210", L"297", 210000, 297000},
      {false, L"32.05", L"1189", 32050, 1189000},  // not 32049
      {false, L"25", L"32.059", 25000, 32050},     // beyond the second decimal: cut
      {false, L"0.2505e2", L"2.5E2mm", 25050, 250000},
      {true, L"1.13", L"46.81", 28702, 1188974},  // not 28701
      {true, L"0.99", L"33.11", 25146, 840994},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.width) + " x " + Narrow(c.length));
    SetMeasure(c.inches ? L"1" : L"0");
    Open();
    Type(IDC_FORM_NAME, L"Memo");
    Type(IDC_WIDTH, c.width);
    Type(IDC_LENGTH, c.length);
    ASSERT_TRUE(OkEnabled());
    Click(IDOK);
    EXPECT_STREQ(g_newForm.name, L"Memo");
    EXPECT_EQ(g_newForm.width, c.storedWidth);
    EXPECT_EQ(g_newForm.length, c.storedLength);
    DestroyWindow(dialog);
    dialog = nullptr;
  }
}

TEST_F(NewFormTest, OkInInches) {
  Open();
  Click(IDC_ENGLISH);
  Type(IDC_FORM_NAME, L"Memo");
  Type(IDC_WIDTH, L"8.5");
  Type(IDC_LENGTH, L"11");
  Click(IDOK);
  EXPECT_DOUBLE_EQ(g_newForm.width, 215900);
  EXPECT_DOUBLE_EQ(g_newForm.length, 279400);
}

TEST_F(NewFormTest, CommaEndsTheNumber) {
  Open();
  Type(IDC_FORM_NAME, L"Memo");
  Type(IDC_WIDTH, L"210,5");
  Type(IDC_LENGTH, L"297");
  Click(IDOK);
  EXPECT_DOUBLE_EQ(g_newForm.width, 210000);
}

TEST_F(NewFormTest, CancelLeavesTheRequestEmpty) {
  Open();
  Type(IDC_FORM_NAME, L"Memo");
  Type(IDC_WIDTH, L"210");
  Type(IDC_LENGTH, L"297");
  Click(IDCANCEL);
  EXPECT_STREQ(g_newForm.name, L"");
  EXPECT_DOUBLE_EQ(g_newForm.width, 0);
}

TEST_F(NewFormTest, DisabledOkIgnoresEnter) {
  Open();
  Type(IDC_FORM_NAME, L"A4");
  Type(IDC_WIDTH, L"210");
  Type(IDC_LENGTH, L"297");
  ASSERT_FALSE(OkEnabled());
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  EXPECT_STREQ(g_newForm.name, L"");
}

TEST_F(NewFormTest, UnopenablePrinterSkipsTheNameCheck) {
  OpenPrinterFault fault({PRINTER_ACCESS_USE}, ERROR_ACCESS_DENIED);
  Open();
  Type(IDC_FORM_NAME, L"A4");
  EXPECT_TRUE(Accepts(L"210", L"297"));
}

TEST_F(NewFormTest, UnreadableLocaleKeepsThePreviousUnit) {
  SetMeasure(L"1");
  Open();
  ASSERT_TRUE(Checked(IDC_ENGLISH));
  DestroyWindow(dialog);
  SetLocaleUnreadable(true);
  Open();
  EXPECT_TRUE(Checked(IDC_ENGLISH));
  DestroyWindow(dialog);
  SetLocaleUnreadable(false);
  SetMeasure(L"0");
  Open();
  EXPECT_TRUE(Checked(IDC_METRIC));
}

TEST_F(NewFormTest, UnitChosenByHandLastsOnlyUntilTheNextOpening) {
  Open();
  Click(IDC_ENGLISH);
  DestroyWindow(dialog);
  Open();
  EXPECT_TRUE(Checked(IDC_METRIC));
  EXPECT_EQ(Text(IDC_WIDTH_UNIT), L"mm");
}
