// The log file: its place, its bytes and its lines.
#include "converter_fixture.h"

using namespace orvltest;

TEST_F(ConverterTest, NormalRunLogsItsThreeLinesAfterAByteOrderMark) {
  EnableLog();
  auto pages = MakePages(1);
  EXPECT_EQ(Run(WriteTicket(TicketBody(pages))), 0);
  EXPECT_EQ(ReadBytes(LogPath()),
            ExpectedLog({L"Converter started.", L"Delete EMF files.", L"Converter exits."}));
}

TEST_F(ConverterTest, SecondRunAppendsWithoutAnotherMark) {
  EnableLog();
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(1)))), 0);
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(1)))), 0);
  EXPECT_EQ(ReadBytes(LogPath()),
            ExpectedLog({L"Converter started.", L"Delete EMF files.", L"Converter exits.",
                         L"Converter started.", L"Delete EMF files.", L"Converter exits."}));
}

TEST_F(ConverterTest, ExistingLogKeepsItsContentWhateverItHolds) {
  EnableLog();
  std::string old = "plain 8-bit text\n";
  ASSERT_TRUE(WriteBytes(LogPath(), old));
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(1)))), 0);
  EXPECT_EQ(
      ReadBytes(LogPath()),
      old + ExpectedLog({L"Converter started.", L"Delete EMF files.", L"Converter exits."}, false));
}

TEST_F(ConverterTest, ReaderThatSharesOnlyWritingDoesNotKeepTheLogClosed) {
  // The converter asks for write access only, and still appends at the end.
  EnableLog();
  ASSERT_TRUE(WriteBytes(LogPath(), "old\n"));
  HANDLE reader = CreateFileW(LogPath().c_str(), GENERIC_READ, FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(1)))), 0);
  CloseHandle(reader);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(ReadBytes(LogPath()), "old\n" + ExpectedLog({L"Converter started.",
                                                         L"Delete EMF files.", L"Converter exits."},
                                                        false));
}

TEST_F(ConverterTest, ExistingEmptyLogGetsTheMarkWithItsFirstLine) {
  EnableLog();
  ASSERT_TRUE(WriteBytes(LogPath(), ""));
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(1)))), 0);
  EXPECT_EQ(ReadBytes(LogPath()),
            ExpectedLog({L"Converter started.", L"Delete EMF files.", L"Converter exits."}));
}

TEST_F(ConverterTest, LogDirectoryWithTrailingBackslashGetsNoSecondOne) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Log", 1);
  SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"LogDestDir", dir.path() + L"\\");
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(1)))), 0);
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(FileExists(LogPath()));
}

TEST_F(ConverterTest, MissingLogDirectoryIsReportedAndNoPageIsTouched) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Log", 1);
  std::wstring missing = dir.file(L"no such dir");
  SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"LogDestDir", missing);
  auto pages = MakePages(1);
  std::string body = TicketBody(pages);
  std::wstring ticket = WriteTicket(body);
  EXPECT_EQ(Run(ticket), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            ErrorReport(L"Failed to open the log file:\n" + missing + L"\\vp_log.txt", 3));
  EXPECT_TRUE(boxes[0].systemModal());
  EXPECT_TRUE(FileExists(pages[0]));
  EXPECT_EQ(ReadBytes(ticket), body);
}

TEST_F(ConverterTest, LogPathLongerThanAPathIsALogThatCannotBeOpened) {
  // 250 characters of directory leave no room for "\vp_log.txt" in 259.
  std::wstring longDir = dir.path() + L"\\" + std::wstring(250 - dir.path().size() - 1, L'd');
  ASSERT_EQ(longDir.size(), 250u);
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Log", 1);
  SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"LogDestDir", longDir);
  auto pages = MakePages(1);
  EXPECT_EQ(Run(WriteTicket(TicketBody(pages))), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, ErrorReport(L"Failed to open the log file:\n" + longDir + L"\\vp_log.txt",
                                       ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(FileExists(pages[0]));
}

TEST_F(ConverterTest, LogDirectoryOverItsBufferIsNotReadAndTheRootIsUsed) {
  // 300 characters do not fit 512 bytes: the directory stays empty and the
  // log goes to the root of the current drive.
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Log", 1);
  SetString(HKEY_LOCAL_MACHINE, kMachineKey, L"LogDestDir", std::wstring(300, L'x'));
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW(L"C:\\");
  DeleteFileW(L"C:\\vp_log.txt");
  auto pages = MakePages(1);
  int code = Run(WriteTicket(TicketBody(pages)));
  SetCurrentDirectoryW(saved);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(ReadBytes(L"C:\\vp_log.txt"),
            ExpectedLog({L"Converter started.", L"Delete EMF files.", L"Converter exits."}));
  DeleteFileW(L"C:\\vp_log.txt");
}

TEST_F(ConverterTest, LoggedErrorReportSpansLines) {
  EnableLog();
  DenyKeyAccess deny(HKEY_LOCAL_MACHINE, kDefaultsKey);
  EXPECT_EQ(Run(WriteTicket(TicketBody(MakePages(1)))), 1);
  std::wstring report =
      ErrorReport(L"Failed to open registry key\nHKLM\\Software\\Orvalis\\Defaults", 5);
  ASSERT_EQ(report.substr(report.size() - 2), L"\r\n");  // the system text's own line end
  EXPECT_EQ(ReadBytes(LogPath()), ExpectedLog({L"Converter started.", report}));
}

TEST_F(ConverterTest, StampIsUtcWithUnpaddedYearAndThreeDigitMilliseconds) {
  // Without the fixed clock: the stamp must match the system's UTC time.
  EnableLog();
  SYSTEMTIME before;
  GetSystemTime(&before);
  BoxCapture capture;
  EXPECT_EQ(RunConverter(WriteTicket(TicketBody(MakePages(1))).c_str()), 0);
  std::string log = ReadBytes(LogPath());
  ASSERT_GT(log.size(), 2u);
  std::wstring text(reinterpret_cast<const wchar_t*>(log.data() + 2), (log.size() - 2) / 2);
  wchar_t prefix[32];
  swprintf(prefix, 32, L"%d-%02d-%02d %02d:%02d", before.wYear, before.wMonth, before.wDay,
           before.wHour, before.wMinute);
  SCOPED_TRACE(Narrow(text));
  EXPECT_EQ(text.compare(0, 16, prefix), 0);
  EXPECT_EQ(text[19], L'.');
  EXPECT_EQ(text.substr(23, 2), L":\t");
}

TEST_F(ConverterTest, OverlongLineIsCutAndStillEndsInCrLf) {
  ASSERT_TRUE(WriteBytes(LogPath(), "log:"));
  g_converter.logFile = CreateFileW(LogPath().c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                    nullptr);
  ASSERT_NE(g_converter.logFile, INVALID_HANDLE_VALUE);
  {
    IatPatch clock("kernel32.dll", "GetSystemTime", reinterpret_cast<const void*>(FixedSystemTime));
    WriteLogLine(std::wstring(3000, L'x').c_str());
  }
  CloseHandle(g_converter.logFile);
  g_converter.logFile = INVALID_HANDLE_VALUE;
  // 1023 characters: the stamp, as much text as fits, CR LF.
  EXPECT_EQ(ReadBytes(LogPath()),
            "log:" + Utf16(Widen(kFixedStamp) + std::wstring(1023 - 25 - 2, L'x') + L"\r\n"));
}
