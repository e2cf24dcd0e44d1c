// The real converter.exe under each Windows version Wine can pretend to be:
// the same jobs give the same exit codes, files, tickets, logs, boxes and
// reports on every one of them.
#include "converter_fixture.h"

using namespace orvltest;

namespace {

const wchar_t* const kVersions[] = {L"win95", L"win98", L"nt40",  L"win2k", L"winxp",
                                    L"win2003", L"vista", L"win7", L"win8"};

}  // namespace

class ConverterVersionTest : public ConverterTest,
                             public ::testing::WithParamInterface<const wchar_t*> {
 protected:
  RunResult RunExe(const std::wstring& tail) {
    WineVersion version(L"converter.exe", GetParam());
    return RunProgram(BinDir() + L"\\converter.exe", tail);
  }
};

TEST_P(ConverterVersionTest, JobIsProcessedLoggedAndItsTicketKept) {
  EnableLog();
  auto pages = MakePages(3);
  std::wstring ticket = WriteTicket("[Job]\r\nId=7\r\n" + TicketBody(pages));
  RunResult r = RunExe(ticket);
  ASSERT_TRUE(r.started);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_TRUE(r.boxes.empty());
  for (const auto& p : pages) EXPECT_FALSE(FileExists(p)) << Narrow(p);
  std::string after = ReadBytes(ticket);
  EXPECT_EQ(after.find("[EMF]"), std::string::npos) << after;
  EXPECT_NE(after.find("Id=7"), std::string::npos) << after;
  EXPECT_NE(after.find("DeviceName=Orvalis"), std::string::npos) << after;
  EXPECT_EQ(LogEntries(ReadBytes(LogPath())),
            (std::vector<std::string>{"Converter started.", "Delete EMF files.", "Converter exits."}));
}

TEST_P(ConverterVersionTest, TicketOfAnotherPrinterIsLeftAloneWithExitCodeOne) {
  auto pages = MakePages(2);
  std::string body = TicketBody(pages, "Other Printer");
  std::wstring ticket = WriteTicket(body);
  RunResult r = RunExe(ticket);
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_TRUE(r.boxes.empty());
  for (const auto& p : pages) EXPECT_TRUE(FileExists(p));
  EXPECT_EQ(ReadBytes(ticket), body);
}

TEST_P(ConverterVersionTest, QuotedPathShowsTheSystemModalParameterBox) {
  auto pages = MakePages(1);
  RunResult r = RunExe(L"\"" + WriteTicket(TicketBody(pages)) + L"\"");
  EXPECT_EQ(r.exitCode, 0u);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0].caption, L"Orvalis converter");
  EXPECT_EQ(r.boxes[0].text, L"Invalid command line parameter.");
  EXPECT_TRUE(r.boxes[0].systemModal());
  EXPECT_TRUE(FileExists(pages[0]));
}

TEST_P(ConverterVersionTest, MessageModeOneBroadcastsInsteadOfShowingBoxes) {
  BroadcastListener listener(L"Orvalis_notify_message");
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", 1);
  RunResult noPages = RunExe(WriteTicket("[Device]\r\nDeviceName=Orvalis\r\n"));
  EXPECT_EQ(noPages.exitCode, 0u);
  EXPECT_TRUE(noPages.boxes.empty());
  {
    DenyKeyAccess deny(HKEY_LOCAL_MACHINE, kDefaultsKey);
    auto pages = MakePages(1);
    RunResult denied = RunExe(WriteTicket(TicketBody(pages), L"two.ini"));
    EXPECT_EQ(denied.exitCode, 1u);
    EXPECT_TRUE(denied.boxes.empty());
    EXPECT_TRUE(FileExists(pages[0]));
  }
  listener.Pump(100);
  ASSERT_EQ(listener.received.size(), 2u);
  EXPECT_EQ(listener.received[0], std::make_pair(WPARAM(0xF012), LPARAM(0)));
  EXPECT_EQ(listener.received[1], std::make_pair(WPARAM(0xF013), LPARAM(5)));
}

INSTANTIATE_TEST_SUITE_P(Windows, ConverterVersionTest, ::testing::ValuesIn(kVersions),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return Narrow(info.param);
                         });
