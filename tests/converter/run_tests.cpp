// A job from its ticket to its exit code: what the caller and the user see.
#include "converter_fixture.h"

using namespace orvltest;

namespace {

void ExpectInvalidCommandLineBox(const std::vector<CapturedBox>& boxes) {
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, L"Orvalis converter");
  EXPECT_EQ(boxes[0].text, L"Invalid command line parameter.");
  EXPECT_TRUE(boxes[0].systemModal());
  EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});
}

}  // namespace

TEST_F(ConverterTest, EmptyCommandLineIsInvalidAndNotLogged) {
  EnableLog();
  EXPECT_EQ(Run(L""), 0);
  ExpectInvalidCommandLineBox(boxes);
  EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(ConverterTest, QuotedTicketPathIsInvalid) {
  auto pages = MakePages(1);
  std::wstring ticket = WriteTicket(TicketBody(pages));
  EXPECT_EQ(Run(L"\"" + ticket + L"\""), 0);
  ExpectInvalidCommandLineBox(boxes);
  EXPECT_TRUE(FileExists(pages[0]));
}

TEST_F(ConverterTest, MissingTicketIsInvalid) {
  EnableLog();
  EXPECT_EQ(Run(dir.file(L"nothing.ini")), 0);
  ExpectInvalidCommandLineBox(boxes);
  EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(ConverterTest, CommandLineLongerThanAPathIsInvalidWithoutTouchingAnything) {
  // Cut to 259 characters this would name the ticket: it must not be taken.
  auto pages = MakePages(1);
  std::wstring ticket = WriteTicket(TicketBody(pages));
  std::wstring longLine = ticket + std::wstring(400 - ticket.size(), L' ') + L"x";
  EXPECT_EQ(Run(longLine), 0);
  ExpectInvalidCommandLineBox(boxes);
  EXPECT_TRUE(FileExists(pages[0]));
}

TEST_F(ConverterTest, TicketPathWithSpacesIsTakenWhole) {
  std::wstring sub = dir.file(L"my jobs");
  CreateDirectoryW(sub.c_str(), nullptr);
  auto pages = MakePages(2);
  std::wstring ticket = sub + L"\\job 1.ini";
  ASSERT_TRUE(WriteBytes(ticket, TicketBody(pages)));
  EXPECT_EQ(Run(ticket), 0);
  EXPECT_TRUE(boxes.empty());
  EXPECT_FALSE(FileExists(pages[0]));
  EXPECT_FALSE(FileExists(pages[1]));
}

TEST_F(ConverterTest, NormalRunDeletesPagesAndTheirListOnly) {
  auto pages = MakePages(3);
  std::string body = "[Job]\r\nOwner=alice\r\n" + TicketBody(pages) + "[Extra]\r\nKeep=1\r\n";
  std::wstring ticket = WriteTicket(body);
  std::wstring other = dir.file(L"other.emf");
  ASSERT_TRUE(WriteBytes(other, "not listed"));

  EXPECT_EQ(Run(ticket), 0);
  EXPECT_TRUE(boxes.empty());
  for (const auto& p : pages) EXPECT_FALSE(FileExists(p)) << Narrow(p);
  EXPECT_TRUE(FileExists(other));
  std::string after = ReadBytes(ticket);
  EXPECT_EQ(after.find("[EMF]"), std::string::npos) << after;
  EXPECT_EQ(after.find("File0"), std::string::npos) << after;
  EXPECT_NE(after.find("DeviceName=Orvalis"), std::string::npos) << after;
  EXPECT_NE(after.find("Owner=alice"), std::string::npos) << after;
  EXPECT_NE(after.find("Keep=1"), std::string::npos) << after;
}

TEST_F(ConverterTest, OtherPrinterEndsSilentlyWithOne) {
  EnableLog();
  auto pages = MakePages(2);
  std::string body = TicketBody(pages, "orvalis");
  std::wstring ticket = WriteTicket(body);
  EXPECT_EQ(Run(ticket), 1);
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(FileExists(pages[0]));
  EXPECT_TRUE(FileExists(pages[1]));
  EXPECT_EQ(ReadBytes(ticket), body);
  EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(ConverterTest, DeviceNameIsComparedCodeUnitByCodeUnit) {
  // A soft hyphen compares equal in a locale-aware comparison; here it differs.
  auto pages = MakePages(1);
  std::wstring body = L"[Device]\r\nDeviceName=Orva\x00ADlis\r\n[EMF]\r\nCount=1\r\nFile0=" +
                      pages[0] + L"\r\n";
  std::wstring ticket = dir.file(L"utf16.ini");
  ASSERT_TRUE(WriteBytes(ticket, "\xFF\xFE" + Utf16(body)));
  EXPECT_EQ(Run(ticket), 1);
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(FileExists(pages[0]));
}

TEST_F(ConverterTest, DeviceNameWithBlanksAndQuotesReadsAsThePlatformReadsIt) {
  auto pages = MakePages(1);
  std::string body = TicketBody(pages, "  \"Orvalis\"  ");
  EXPECT_EQ(Run(WriteTicket(body)), 0);
  EXPECT_FALSE(FileExists(pages[0]));
}

TEST_F(ConverterTest, DirectoryAsTicketEndsSilentlyWithOne) {
  std::wstring sub = dir.file(L"folder");
  CreateDirectoryW(sub.c_str(), nullptr);
  EXPECT_EQ(Run(sub), 1);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(ConverterTest, TicketWithoutCountReportsNoPages) {
  EnableLog();
  std::string body = "[Device]\r\nDeviceName=Orvalis\r\n[EMF]\r\nFile0=x.emf\r\n";
  std::wstring ticket = WriteTicket(body);
  EXPECT_EQ(Run(ticket), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"No pages to process.");
  EXPECT_EQ(boxes[0].caption, L"Orvalis converter");
  EXPECT_TRUE(boxes[0].systemModal());
  EXPECT_EQ(ReadBytes(ticket), body);
  EXPECT_EQ(ReadBytes(LogPath()), ExpectedLog({L"Converter started.", L"No pages to process."}));
}

TEST_F(ConverterTest, MissingPageKeySkipsThatPageSilently) {
  auto pages = MakePages(3);
  std::string body = "[Device]\r\nDeviceName=Orvalis\r\n[EMF]\r\nCount=3\r\nFile0=" +
                     Narrow(pages[0]) + "\r\nFile2=" + Narrow(pages[2]) + "\r\n";
  std::wstring ticket = WriteTicket(body);
  EXPECT_EQ(Run(ticket), 0);
  EXPECT_TRUE(boxes.empty());
  EXPECT_FALSE(FileExists(pages[0]));
  EXPECT_TRUE(FileExists(pages[1]));  // not listed
  EXPECT_FALSE(FileExists(pages[2]));
  EXPECT_EQ(ReadBytes(ticket).find("[EMF]"), std::string::npos);
}

TEST_F(ConverterTest, PagesBeyondCountAreLeft) {
  auto pages = MakePages(3);
  std::string body = TicketBody(pages);
  body.replace(body.find("Count=3"), 7, "Count=2");
  EXPECT_EQ(Run(WriteTicket(body)), 0);
  EXPECT_FALSE(FileExists(pages[0]));
  EXPECT_FALSE(FileExists(pages[1]));
  EXPECT_TRUE(FileExists(pages[2]));
}

TEST_F(ConverterTest, LockedOrMissingPageFilesDoNotStopTheRun) {
  auto pages = MakePages(3);
  DeleteFileW(pages[0].c_str());
  HANDLE locked = CreateFileW(pages[1].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  std::wstring ticket = WriteTicket(TicketBody(pages));
  EXPECT_EQ(Run(ticket), 0);
  CloseHandle(locked);
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(FileExists(pages[1]));
  EXPECT_FALSE(FileExists(pages[2]));
  EXPECT_EQ(ReadBytes(ticket).find("[EMF]"), std::string::npos);
}

TEST_F(ConverterTest, NegativeCountMeansNoPagesAndNothingIsDeleted) {
  for (const char* count : {"-1", "-4294967295", "4294967296", "99999999999999999999", "abc", "0"}) {
    SCOPED_TRACE(count);
    auto pages = MakePages(1);
    std::string body = "[Device]\r\nDeviceName=Orvalis\r\n[EMF]\r\nCount=" + std::string(count) +
                       "\r\nFile0=" + Narrow(pages[0]) + "\r\n";
    std::wstring ticket = WriteTicket(body);
    EXPECT_EQ(Run(ticket), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"No pages to process.");
    EXPECT_TRUE(FileExists(pages[0]));
    EXPECT_EQ(ReadBytes(ticket), body);
  }
}

TEST_F(ConverterTest, CountWithTrailingTextReadsItsDigits) {
  auto pages = MakePages(3);
  std::string body = TicketBody(pages);
  body.replace(body.find("Count=3"), 7, "Count=2 pages");
  EXPECT_EQ(Run(WriteTicket(body)), 0);
  EXPECT_FALSE(FileExists(pages[0]));
  EXPECT_FALSE(FileExists(pages[1]));
  EXPECT_TRUE(FileExists(pages[2]));
}

TEST_F(ConverterTest, HugeCountFinishesAtOnceAndDeletesTheListedPages) {
  auto pages = MakePages(2);
  std::string body = TicketBody(pages);
  body.replace(body.find("Count=2"), 7, "Count=4294967295");
  // A walk over four billion keys would run into the test's time limit.
  EXPECT_EQ(Run(WriteTicket(body)), 0);
  EXPECT_FALSE(FileExists(pages[0]));
  EXPECT_FALSE(FileExists(pages[1]));
}

TEST_F(ConverterTest, TicketIsFlushedAndKeptWhenEmfOptionKeepsPages) {
  SetDword(HKEY_CURRENT_USER, kUserKey, L"EMF: Enabled", 1);
  auto pages = MakePages(2);
  std::string body = TicketBody(pages);
  std::wstring ticket = WriteTicket(body);
  EXPECT_EQ(Run(ticket), 0);
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(FileExists(pages[0]));
  EXPECT_TRUE(FileExists(pages[1]));
  EXPECT_EQ(ReadBytes(ticket), body);
}
