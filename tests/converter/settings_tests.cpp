// The settings a run reads, their precedence, and how reports reach the user:
// message boxes or broadcasts.
#include "converter_fixture.h"

#include <strsafe.h>

using namespace orvltest;

class EmfOptionTest : public ConverterTest {
 protected:
  // Runs a one-page job; true when its page file is still there.
  bool PageKept() {
    auto pages = MakePages(1);
    std::wstring ticket = WriteTicket(TicketBody(pages));
    EXPECT_EQ(Run(ticket), 0);
    EXPECT_TRUE(boxes.empty());
    bool kept = FileExists(pages[0]);
    EXPECT_EQ(kept, ReadBytes(ticket).find("[EMF]") != std::string::npos);
    return kept;
  }
};

TEST_F(EmfOptionTest, NothingSetDeletesPages) { EXPECT_FALSE(PageKept()); }

TEST_F(EmfOptionTest, UserValueWinsOverDefaults) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", 0);
  SetDword(HKEY_LOCAL_MACHINE, kDefaultsKey, L"EMF: Enabled", 1);
  EXPECT_FALSE(PageKept());
}

TEST_F(EmfOptionTest, DefaultsCountWhenTheUserHasNoValue) {
  SetDword(HKEY_LOCAL_MACHINE, kDefaultsKey, L"EMF: Enabled", 1);
  EXPECT_TRUE(PageKept());
}

TEST_F(EmfOptionTest, DefaultsCountWhenTheUserKeyHasOtherValuesOnly) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"Last Viewed Page", 2);
  SetDword(HKEY_LOCAL_MACHINE, kDefaultsKey, L"EMF: Enabled", 1);
  EXPECT_TRUE(PageKept());
}

TEST_F(EmfOptionTest, UserValueKeepsPages) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", 7);
  EXPECT_TRUE(PageKept());
}

TEST_F(EmfOptionTest, MachineKeyItselfIsNeverAsked) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"EMF: Enabled", 1);
  EXPECT_FALSE(PageKept());
}

TEST_F(EmfOptionTest, UserValueTooLongForFourBytesIsNotRead) {
  SetBinary(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", std::string("\1\0\0\0\0\0\0\0", 8));
  SetDword(HKEY_LOCAL_MACHINE, kDefaultsKey, L"EMF: Enabled", 0);
  EXPECT_FALSE(PageKept());
}

TEST_F(EmfOptionTest, StoredTypeIsNotLookedAt) {
  SetBinary(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", std::string("\1\0\0\0", 4), REG_BINARY);
  EXPECT_TRUE(PageKept());
}

TEST_F(ConverterTest, DefaultsKeyClosedToTheUserStopsBeforeDeleting) {
  DenyKeyAccess deny(HKEY_LOCAL_MACHINE, kDefaultsKey);
  auto pages = MakePages(2);
  std::string body = TicketBody(pages);
  std::wstring ticket = WriteTicket(body);
  EXPECT_EQ(Run(ticket), 1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            ErrorReport(L"Failed to open registry key\nHKLM\\Software\\Orvalis\\Defaults", 5));
  EXPECT_EQ(boxes[0].caption, L"Orvalis converter");
  EXPECT_TRUE(boxes[0].systemModal());
  EXPECT_TRUE(FileExists(pages[0]));
  EXPECT_TRUE(FileExists(pages[1]));
  EXPECT_EQ(ReadBytes(ticket), body);
}

TEST_F(ConverterTest, UserKeyClosedToTheUserStopsBeforeDeleting) {
  DenyKeyAccess deny(HKEY_CURRENT_USER, kUserKey);
  auto pages = MakePages(1);
  EXPECT_EQ(Run(WriteTicket(TicketBody(pages))), 1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, ErrorReport(L"Failed to open registry key\nHKCU\\Software\\Orvalis", 5));
  EXPECT_TRUE(FileExists(pages[0]));
}

TEST_F(ConverterTest, MachineKeyClosedToTheUserIsNoErrorAndLeavesLogOff) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Log", 1);
  SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"LogDestDir", dir.path());
  {
    DenyKeyAccess deny(HKEY_LOCAL_MACHINE, kMachineKey);
    auto pages = MakePages(1);
    EXPECT_EQ(Run(WriteTicket(TicketBody(pages))), 0);
    EXPECT_FALSE(FileExists(pages[0]));
  }
  EXPECT_TRUE(boxes.empty());
  EXPECT_FALSE(FileExists(LogPath()));
}

class MessageModeTest : public ConverterTest {
 protected:
  BroadcastListener listener{L"Orvalis_notify_message"};
};

TEST_F(MessageModeTest, ModeOneBroadcastsNoPagesInsteadOfABox) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", 1);
  EXPECT_EQ(Run(WriteTicket("[Device]\r\nDeviceName=Orvalis\r\n")), 0);
  listener.Pump(50);
  EXPECT_TRUE(boxes.empty());
  ASSERT_EQ(listener.received.size(), 1u);
  EXPECT_EQ(listener.received[0].first, 61458u);
  EXPECT_EQ(listener.received[0].second, 0);
}

TEST_F(MessageModeTest, ModeOneBroadcastsTheErrorNumber) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", 1);
  EnableLog();
  DenyKeyAccess deny(HKEY_LOCAL_MACHINE, kDefaultsKey);
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(1)))), 1);
  listener.Pump(50);
  EXPECT_TRUE(boxes.empty());
  ASSERT_EQ(listener.received.size(), 1u);
  EXPECT_EQ(listener.received[0].first, 61459u);
  EXPECT_EQ(listener.received[0].second, 5);
  // Logged before it was sent.
  EXPECT_EQ(ReadBytes(LogPath()),
            ExpectedLog({L"Converter started.",
                         ErrorReport(L"Failed to open registry key\nHKLM\\Software\\Orvalis\\Defaults", 5)}));
}

TEST_F(MessageModeTest, ModeOneBroadcastsInvalidCommandLineAndLogFailure) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", 1);
  EXPECT_EQ(Run(L""), 0);
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Log", 1);
  SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"LogDestDir", dir.file(L"missing"));
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(1)))), 0);
  listener.Pump(50);
  EXPECT_TRUE(boxes.empty());
  ASSERT_EQ(listener.received.size(), 2u);
  EXPECT_EQ(listener.received[0], std::make_pair(WPARAM(61457), LPARAM(0)));
  EXPECT_EQ(listener.received[1], std::make_pair(WPARAM(61441), LPARAM(3)));
}

TEST_F(MessageModeTest, NormalRunBroadcastsNothing) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", 1);
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(2)))), 0);
  listener.Pump(50);
  EXPECT_TRUE(listener.received.empty());
  EXPECT_TRUE(boxes.empty());
}

TEST_F(MessageModeTest, OtherModesShowBoxes) {
  for (DWORD mode : {0u, 2u, 0x101u}) {
    SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", mode);
    EXPECT_EQ(Run(WriteTicket("[Device]\r\nDeviceName=Orvalis\r\n")), 0);
    ASSERT_EQ(boxes.size(), 1u) << mode;
    EXPECT_EQ(boxes[0].text, L"No pages to process.");
  }
  listener.Pump(50);
  EXPECT_TRUE(listener.received.empty());
}

TEST_F(ConverterTest, ReportErrorWithoutAnyErrorNumberDoesNothing) {
  EnableLog();
  BoxCapture capture;
  SetLastError(0);
  EXPECT_EQ(ReportError(L"context", kCodeNoPages, 0, nullptr, kConverterBoxStyle), 0);
  EXPECT_TRUE(capture.boxes().empty());
}

TEST_F(ConverterTest, ReportErrorShowsLargeNumbersSignedAndUnknownOnesWithoutText) {
  BoxCapture capture;
  StringCchPrintfW(g_converter.caption, kPathUnits, L"Orvalis converter");
  g_converter.messageMode = 0;
  g_converter.logFlag = 0;
  ReportError(L"ctx", kCodeNoPages, 0x80070005u, nullptr, kConverterBoxStyle);
  ReportError(L"ctx", kCodeNoPages, 0x2FFFFu, nullptr, kConverterBoxStyle);
  ASSERT_EQ(capture.boxes().size(), 2u);
  EXPECT_EQ(capture.boxes()[0].text.substr(0, 25), L"ctx\nError # -2147024891: ");
  EXPECT_EQ(capture.boxes()[1].text, L"ctx\nError # 196607: ");
}

// The 32-bit build reads the machine keys in the 32-bit registry view.
TEST_F(ConverterTest, MachineSettingsComeFromTheProgramsOwnRegistryView) {
#ifdef _WIN64
  REGSAM other = KEY_WOW64_32KEY;
#else
  REGSAM other = KEY_WOW64_64KEY;
#endif
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, nullptr, 0,
                            KEY_ALL_ACCESS | other, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  DWORD mode = 1;
  RegSetValueExW(key, L"Message Mode", 0, REG_DWORD, reinterpret_cast<BYTE*>(&mode), 4);
  RegCloseKey(key);
  EXPECT_EQ(Run(WriteTicket("[Device]\r\nDeviceName=Orvalis\r\n")), 0);
  EXPECT_EQ(boxes.size(), 1u) << "the other view's Message Mode must not count";
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineKey, 0, KEY_ALL_ACCESS | other, &key),
            ERROR_SUCCESS);
  RegDeleteValueW(key, L"Message Mode");
  RegCloseKey(key);
}
