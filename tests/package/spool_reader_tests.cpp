// The spool reader: EMF spool files built from real GDI pages become page
// files and a ticket; damaged files give their code and leave nothing behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job_road.h"
#include "orvl_test.h"
#include "spool_builder.h"

using namespace orvltest;
using namespace spoolbuild;

namespace {

// Spool bytes served in small pieces, the way ReadPrinter may hand them out.
struct MemorySource {
  std::string bytes;
  size_t at = 0;
  DWORD piece = 1000;
  size_t failAt = std::string::npos;  // a read error from here on

  static BOOL Read(void* context, void* buffer, DWORD size, DWORD* got) {
    MemorySource* self = static_cast<MemorySource*>(context);
    if (self->at >= self->failAt) return FALSE;
    size_t n = std::min<size_t>({size, self->piece, self->bytes.size() - self->at});
    memcpy(buffer, self->bytes.data() + self->at, n);
    self->at += n;
    *got = static_cast<DWORD>(n);
    return TRUE;
  }
};

int Extract(const std::string& bytes, const std::wstring& folder, HANDLE stop = nullptr) {
  MemorySource memory;
  memory.bytes = bytes;
  SpoolSource source = {&memory, MemorySource::Read};
  return ExtractSpool(source, folder.c_str(), stop);
}

std::vector<std::wstring> Listing(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (data.cFileName[0] != L'.') names.push_back(data.cFileName);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

std::string Utf16(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

bool Plays(const std::wstring& path) {
  HENHMETAFILE emf = GetEnhMetaFileW(path.c_str());
  if (!emf) return false;
  HDC dc = CreateCompatibleDC(nullptr);
  RECT area = {0, 0, 200, 300};
  BOOL played = PlayEnhMetaFile(dc, emf, &area);
  DeleteDC(dc);
  DeleteEnhMetaFile(emf);
  return played != FALSE;
}

}  // namespace

// Every page record kind gives one page, byte for byte; records the road does
// not need are skipped; the ticket lists the pages in order.
TEST(SpoolReader, EveryPageKindBecomesAPageAndTheTicketListsThem) {
  ScratchDir scratch;
  const DWORD kinds[][2] = {{kMetafileData, kMetafileExt},
                            {kMetafileData, kBwMetafileExt},
                            {kMetafile, 0},
                            {kFormMetafile, 0},
                            {kBwMetafile, 0},
                            {kBwFormMetafile, 0}};
  const int count = ARRAYSIZE(kinds);
  SpoolBuilder spool;
  spool.Record(kPsJobData, "%!PS job data").Record(kDevmode, std::string(220, 'd'));
  std::vector<std::string> pages;
  for (int i = 0; i < count; ++i) {
    pages.push_back(
        SamplePage(i, count, kinds[i][1] == kBwMetafileExt || kinds[i][0] >= kBwMetafile));
    spool.Record(kEngineFont, std::string(37, 'f')).PageAs(pages[i], kinds[i][0], kinds[i][1]);
    spool.Record(kSubsetFontExt, std::string(8, '\0')).Record(kPreStartPage, "eps");
  }
  std::wstring folder = scratch.file(L"new\\job 1");  // made with its missing parent

  ASSERT_EQ(kExtractOk, Extract(spool.bytes(), folder));

  std::wstring ticket = L"\xFEFF[Device]\r\nDeviceName=Orvalis\r\n\r\n[EMF]\r\nCount=6\r\n";
  for (int i = 0; i < count; ++i) {
    std::wstring page = folder + L"\\page" + std::to_wstring(i) + L".emf";
    EXPECT_EQ(pages[i], ReadBytes(page)) << i;
    EXPECT_TRUE(Plays(page)) << i;
    ticket += L"File" + std::to_wstring(i) + L"=" + page + L"\r\n";
  }
  EXPECT_EQ(Utf16(ticket), ReadBytes(folder + L"\\job.ini"));
  EXPECT_EQ(count + 1u, Listing(folder).size());
  wchar_t read[260];
  GetPrivateProfileStringW(L"EMF", L"File5", L"", read, 260, (folder + L"\\job.ini").c_str());
  EXPECT_EQ(folder + L"\\page5.emf", read);
}
