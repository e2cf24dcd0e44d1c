// What every converter suite needs: a clean registry, a scratch folder, job
// tickets with page files, a fixed clock and readable logs.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "converter.h"
#include "orvl_test.h"

extern const wchar_t kMachineKey[];   // Software\Orvalis
extern const wchar_t kDefaultsKey[];  // Software\Orvalis\Defaults
extern const wchar_t kUserKey[];      // Software\Orvalis

// 2021-03-05 09:00:12.005 UTC, the time every in-process run sees.
void WINAPI FixedSystemTime(LPSYSTEMTIME time);
extern const char kFixedStamp[];  // "2021-03-05 09:00:12.005:\t"

// The platform's text for an error number, as the converter shows it.
std::wstring SystemText(DWORD error);
// "context\nError # n: text"
std::wstring ErrorReport(const std::wstring& context, DWORD error);

// UTF-16 LE bytes of a text (no BOM).
std::string Utf16(const std::wstring& text);
// The log a run with the fixed clock writes for these entries, BOM first when asked.
std::string ExpectedLog(const std::vector<std::wstring>& entries, bool bom = true);

class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a ticket (8-bit text) and returns its path.
  std::wstring WriteTicket(const std::string& body, const std::wstring& name = L"job.ini");
  // Creates page files page0.emf ... and returns their paths.
  std::vector<std::wstring> MakePages(int count);
  // A ticket for this printer listing the pages.
  std::string TicketBody(const std::vector<std::wstring>& pages, const std::string& device = "Orvalis");
  std::wstring LogPath() const { return dir.file(L"vp_log.txt"); }
  // Log on, into the scratch folder.
  void EnableLog();
  // Runs in-process with box capture and the fixed clock.
  int Run(const std::wstring& commandLine);

  orvltest::ScratchDir dir;
  std::vector<orvltest::CapturedBox> boxes;
};

std::string Utf8(const std::wstring& w);

// The texts of a log's lines, for logs with real time stamps: a missing or
// misplaced mark, a malformed stamp or a torn line fails the calling test.
std::vector<std::string> LogEntries(const std::string& bytes);
