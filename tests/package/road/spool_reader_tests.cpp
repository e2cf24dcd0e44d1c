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
  const DWORD kinds[] = {kMetafileData, kMetafileData, kMetafile,
                         kFormMetafile, kBwMetafile,   kBwFormMetafile};
  const int count = ARRAYSIZE(kinds);
  SpoolBuilder spool;
  spool.Record(kPsJobData, "%!PS job data").Record(kDevmode, std::string(220, 'd'));
  std::vector<std::string> pages;
  for (int i = 0; i < count; ++i) {
    bool mono = i == 1 || kinds[i] >= kBwMetafile;
    pages.push_back(SamplePage(i, count, mono));
    spool.Record(kEngineFont, std::string(37, 'f')).Record(kSubsetFontExt, std::string(8, '\0'));
    spool.Record(kPreStartPage, "eps")
        .PageAs(pages[i], kinds[i], mono ? kBwMetafileExt : kMetafileExt);
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
  ticket += L"\r\n[Fax]\r\nFile=" + folder + L"\\fax.tif\r\nPages=6\r\nSplit=0\r\nQuality=Fine\r\n";
  EXPECT_EQ(Utf16(ticket), ReadBytes(folder + L"\\job.ini"));
  EXPECT_EQ(count + 2u, Listing(folder).size());  // the pages, fax.tif, job.ini
  wchar_t read[260];
  GetPrivateProfileStringW(L"EMF", L"File5", L"", read, 260, (folder + L"\\job.ini").c_str());
  EXPECT_EQ(folder + L"\\page5.emf", read);
}

namespace {

std::string Patched(std::string bytes, size_t at, DWORD value) {
  memcpy(&bytes[at], &value, sizeof(value));
  return bytes;
}

struct Damage {
  std::string name;
  std::string bytes;
  int code;
  size_t pages;  // for kExtractOk: the pages before a cut that ends a page
};

// A colour and a black-and-white page with records around them, and every way
// of spoiling it: cuts at and inside each record, sizes off by one, huge and
// zero, kinds the format does not define, page headers that disagree.
std::vector<Damage> Corpus() {
  SpoolBuilder spool;
  spool.Record(kDevmode, std::string(64, 'd')).Page(SamplePage(0, 2));
  spool.Record(kEngineFont, std::string(40, 'f')).MonoPage(SamplePage(1, 2, true));
  const std::string& whole = spool.bytes();
  const std::vector<RecordSpan>& records = spool.records();
  std::vector<Damage> corpus = {
      {"empty file", "", kExtractNotEmfSpool, 0},
      {"PostScript", "%!PS-Adobe-3.0\n", kExtractNotEmfSpool, 0},
      {"a bare EMF", SamplePage(0, 1), kExtractNotEmfSpool, 0},
      {"version only", whole.substr(0, 4), kExtractDamaged, 0},
      {"name outside the header", Patched(whole, 12, records[0].size), kExtractDamaged, 0},
      {"unknown kind 0x16", whole + std::string("\x16\0\0\0\4\0\0\0xxxx", 12), kExtractDamaged, 0},
      {"unknown kind 0", Patched(whole, records[4].offset, 0), kExtractDamaged, 0},
      {"offset record pointing ahead", Patched(whole, records[3].offset + 8, 0xFFFFFFF0u),
       kExtractDamaged, 0},
      {"offset record pointing at nothing", Patched(whole, records[3].offset + 8, 0),
       kExtractDamaged, 0},
  };
  const size_t emf = records[5].offset + 8;  // the second page's EMR_HEADER
  corpus.push_back(
      {"EMF size disagrees", Patched(whole, emf + 48, records[5].size - 4), kExtractDamaged, 0});
  corpus.push_back({"EMF signature", Patched(whole, emf + 40, 0x464D4521), kExtractDamaged, 0});
  corpus.push_back({"EMF first record", Patched(whole, emf, 2), kExtractDamaged, 0});
  size_t pages = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    const RecordSpan& r = records[i];
    std::string at = " of record " + std::to_string(i);
    size_t sizeAt = r.offset + 4;
    DWORD size = i == 0 ? DWORD(r.size) : DWORD(r.size - 8);
    // A cut right after a page's offset record leaves a shorter, sound job.
    pages += r.kind == kMetafileData;
    bool endsPage = r.kind == kMetafileExt || r.kind == kBwMetafileExt;
    corpus.push_back({"cut after" + at, whole.substr(0, r.offset + r.size),
                      endsPage ? kExtractOk : kExtractDamaged, endsPage ? pages : 0});
    corpus.push_back({"cut in the head" + at, whole.substr(0, r.offset + 6), kExtractDamaged, 0});
    corpus.push_back(
        {"cut in the data" + at, whole.substr(0, r.offset + r.size - 2), kExtractDamaged, 0});
    for (DWORD wrong : {size + 1, size - 1, size + 4, size - 4, DWORD(0xFFFFFFFC), DWORD(0)})
      corpus.push_back({"size " + std::to_string(wrong) + at, Patched(whole, sizeAt, wrong),
                        kExtractDamaged, 0});
  }
  return corpus;
}

}  // namespace

// Each damaged file gives its code and leaves no ticket, no page and no folder.
TEST(SpoolReader, DamagedFilesGiveTheirCodeAndLeaveNothing) {
  ScratchDir scratch;
  std::vector<Damage> corpus = Corpus();
  for (size_t i = 0; i < corpus.size(); ++i) {
    std::wstring folder = scratch.file(L"job" + std::to_wstring(i));
    EXPECT_EQ(corpus[i].code, Extract(corpus[i].bytes, folder)) << corpus[i].name;
    if (corpus[i].code == kExtractOk)
      EXPECT_EQ(corpus[i].pages + 2, Listing(folder).size()) << corpus[i].name;
    else
      EXPECT_FALSE(FileExists(folder)) << corpus[i].name;
  }
}

namespace {
BOOL WINAPI FailingFlush(HANDLE) {
  SetLastError(ERROR_IO_DEVICE);
  return FALSE;
}
}  // namespace

// A failing source, the stop event and a failed flush end the extraction with
// their own codes, taking away the pages already written.
TEST(SpoolReader, ReadErrorAndStopLeaveNothing) {
  ScratchDir scratch;
  SpoolBuilder spool;
  spool.Page(SamplePage(0, 2)).Page(SamplePage(1, 2));
  MemorySource memory;
  memory.bytes = spool.bytes();
  memory.failAt = spool.records()[3].offset;  // after the first page
  SpoolSource source = {&memory, MemorySource::Read};
  EXPECT_EQ(kExtractCannotRead, ExtractSpool(source, scratch.file(L"a").c_str(), nullptr));
  HANDLE stop = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(kExtractStopped, Extract(spool.bytes(), scratch.file(L"b"), stop));
  CloseHandle(stop);
  {
    // A page that cannot be flushed to the disk is a page not written.
    IatPatch flush("kernel32.dll", "FlushFileBuffers",
                   reinterpret_cast<const void*>(&FailingFlush));
    EXPECT_EQ(kExtractCannotWrite, Extract(spool.bytes(), scratch.file(L"c")));
  }
  EXPECT_TRUE(Listing(scratch.path()).empty());
}

// "orvlui2.exe /extract SPOOLFILE FOLDER" through the real program: each
// outcome its exit code; an earlier extraction's files in the folder are replaced.
TEST(SpoolReader, ExtractCommandExitCodes) {
  ScratchDir scratch;
  SpoolBuilder spool;
  spool.Page(SamplePage(0, 1));
  std::wstring good = scratch.file(L"good.spl"), cut = scratch.file(L"cut.spl");
  std::wstring text = scratch.file(L"text.spl"), used = scratch.file(L"used");
  // A page whose frame has no area: GDI has nothing to draw it into.
  std::string flat = SamplePage(0, 1);
  const LONG kNoArea[4] = {0, 0, -1, -1};
  memcpy(&flat[24], kNoArea, sizeof(kNoArea));
  SpoolBuilder undrawable;
  undrawable.Page(flat);
  std::wstring empty = scratch.file(L"flat.spl");
  ASSERT_TRUE(WriteBytes(empty, undrawable.bytes()));
  ASSERT_TRUE(WriteBytes(good, spool.bytes()));
  ASSERT_TRUE(WriteBytes(cut, spool.bytes().substr(0, spool.bytes().size() - 12)));
  ASSERT_TRUE(WriteBytes(text, "plain text"));
  std::wstring stale = scratch.file(L"stale");
  for (const std::wstring& folder : {used, stale}) {  // an earlier extraction's page and ticket
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(WriteBytes(folder + L"\\page0.emf", "earlier"));
    ASSERT_TRUE(WriteBytes(folder + L"\\job.ini", "old"));
  }
  const struct {
    std::wstring tail;
    DWORD code;
  } cases[] = {
      {L"/extract " + good + L" " + scratch.file(L"ok"), kExtractOk},
      {L"/EXTRACT " + good, kExtractUsage},
      {L"/extract " + good + L" " + scratch.file(L"x") + L" more", kExtractUsage},
      {L"/extract " + scratch.file(L"missing.spl") + L" " + scratch.file(L"y"), kExtractCannotRead},
      {L"/extract " + text + L" " + scratch.file(L"z"), kExtractNotEmfSpool},
      {L"/extract " + cut + L" " + scratch.file(L"w"), kExtractDamaged},
      {L"/extract " + good + L" " + text + L"\\sub", kExtractCannotWrite},
      {L"/extract " + good + L" " + used, kExtractOk},
      {L"/extract " + cut + L" " + stale, kExtractDamaged},
      {L"/extract " + empty + L" " + scratch.file(L"v"), kExtractCannotDraw},
  };
  for (const auto& c : cases) {
    RunResult run = RunProgram(BinDir() + L"\\package\\orvlui2.exe", c.tail);
    EXPECT_EQ(c.code, run.exitCode) << Narrow(c.tail);
    EXPECT_TRUE(run.boxes.empty()) << Narrow(c.tail);
  }
  EXPECT_TRUE(Plays(scratch.file(L"ok\\page0.emf")));
  EXPECT_TRUE(FileExists(scratch.file(L"ok\\job.ini")));
  EXPECT_EQ(ReadBytes(scratch.file(L"ok\\page0.emf")), ReadBytes(used + L"\\page0.emf"));
  wchar_t file0[260];
  GetPrivateProfileStringW(L"EMF", L"File0", L"", file0, 260, (used + L"\\job.ini").c_str());
  EXPECT_EQ(used + L"\\page0.emf", file0);
  EXPECT_TRUE(Listing(stale).empty());  // a failure leaves no ticket, not even the old one
  EXPECT_FALSE(FileExists(scratch.file(L"v")));
  EXPECT_GT(ReadBytes(scratch.file(L"ok\\fax.tif")).size(), 1000u);
}
