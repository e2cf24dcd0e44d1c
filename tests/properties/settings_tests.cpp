// The settings the program reads at start: keys, precedence and the texts of
// a key that cannot be opened.
#include "properties_fixture.h"

using namespace orvltest;
using namespace proptest;

class SettingsTest : public PropertiesTest {};

TEST_F(SettingsTest, NothingStoredGivesTheDefaults) {
  g_props.lastViewedPage = 0;
  BoxCapture boxes;
  EXPECT_TRUE(LoadSettings());
  EXPECT_EQ(g_props.lastViewedPage, 0);
  EXPECT_EQ(g_props.hideEmfPage, 0u);
  EXPECT_EQ(g_props.emfEnabled, 0u);
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(SettingsTest, ReadsEachValueFromItsKey) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", 2);
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"EMF: Hide page", 1);
  SetDword(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", 1);
  EXPECT_TRUE(LoadSettings());
  EXPECT_EQ(g_props.lastViewedPage, 2);
  EXPECT_EQ(g_props.hideEmfPage, 1u);
  EXPECT_EQ(g_props.emfEnabled, 1u);
}

TEST_F(SettingsTest, UsersEmfChoiceWinsOverTheMachineDefault) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", 0);
  SetDword(HKEY_LOCAL_MACHINE, kDefaultsKey, L"EMF: Enabled", 1);
  EXPECT_TRUE(LoadSettings());
  EXPECT_EQ(g_props.emfEnabled, 0u);
}

TEST_F(SettingsTest, MachineDefaultAppliesWhenTheUserHasNoValue) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", 1);
  SetDword(HKEY_LOCAL_MACHINE, kDefaultsKey, L"EMF: Enabled", 1);
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"EMF: Enabled", 0);
  EXPECT_TRUE(LoadSettings());
  EXPECT_EQ(g_props.emfEnabled, 1u);
}

TEST_F(SettingsTest, MachineKeyAloneNeverGivesTheEmfOption) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"EMF: Enabled", 1);
  EXPECT_TRUE(LoadSettings());
  EXPECT_EQ(g_props.emfEnabled, 0u);
}

TEST_F(SettingsTest, HidePageCountsOnlyInTheMachineKey) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"EMF: Hide page", 1);
  SetDword(HKEY_LOCAL_MACHINE, kDefaultsKey, L"EMF: Hide page", 1);
  EXPECT_TRUE(LoadSettings());
  EXPECT_EQ(g_props.hideEmfPage, 0u);
}

TEST_F(SettingsTest, OversizedPageIndexIsNotRead) {
  SetBinary(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", std::string("\x02\0\0\0\0\0\0\0", 8));
  EXPECT_TRUE(LoadSettings());
  EXPECT_EQ(g_props.lastViewedPage, 0);
}

TEST_F(SettingsTest, ClosedUserKeyFailsWithItsText) {
  DenyKeyAccess deny(HKEY_CURRENT_USER, kUserKey);
  BoxCapture boxes;
  EXPECT_FALSE(LoadSettings());
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text,
            ErrorReport(L"Failed to open registry key\nHKCU\\Software\\Orvalis", 5));
  EXPECT_EQ(boxes.boxes()[0].caption, L"Orvalis properties");
  EXPECT_FALSE(boxes.boxes()[0].systemModal());
  EXPECT_EQ(boxes.boxes()[0].buttons, std::vector<int>{IDOK});
}

TEST_F(SettingsTest, ClosedMachineKeysFailWithTheirTexts) {
  {
    DenyKeyAccess deny(HKEY_LOCAL_MACHINE, kMachineKey);
    BoxCapture boxes;
    EXPECT_FALSE(LoadSettings());
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text,
              ErrorReport(L"Failed to open registry key\nHKLM\\Software\\Orvalis", 5));
  }
  {
    DenyKeyAccess deny(HKEY_LOCAL_MACHINE, kDefaultsKey);
    SetDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", 2);
    g_props.lastViewedPage = 0;
    BoxCapture boxes;
    EXPECT_FALSE(LoadSettings());
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text,
              ErrorReport(L"Failed to open registry key\nHKLM\\Software\\Orvalis\\Defaults", 5));
    // The load ends there: the user's values are not read.
    EXPECT_EQ(g_props.lastViewedPage, 0);
  }
}

TEST_F(SettingsTest, ShowPropertiesReturnsOneWithoutASheet) {
  DenyKeyAccess deny(HKEY_CURRENT_USER, kUserKey);
  BoxCapture boxes;
  EXPECT_EQ(ShowProperties(0, 0), 1);
  EXPECT_EQ(boxes.boxes().size(), 1u);
  EXPECT_TRUE(SheetWindows().empty());
}
