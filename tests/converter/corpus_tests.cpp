// A generated corpus of malformed job tickets run through the real
// converter.exe: each run ends in time with 0 or 1, deletes nothing the
// ticket does not name, and leaves a ticket of another printer untouched.
#include <random>

#include "converter_fixture.h"

using namespace orvltest;

namespace {

struct CorpusCase {
  std::string name;
  std::string bytes;       // the ticket's content
  bool directory = false;  // the path names a folder instead
  bool lockTicket = false;  // held open without sharing during the run
  bool lockPages = false;   // page files held open without sharing
  int pages = 0;            // page files page0.emf ... created beside it
};

std::string Utf16Le(const std::string& ascii) {
  std::string out("\xFF\xFE", 2);
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

std::string Utf16Be(const std::string& ascii) {
  std::string out("\xFE\xFF", 2);
  for (char c : ascii) out += std::string{'\0', c};
  return out;
}

// Page lines for a ticket in folder dir.
std::string PageLines(const std::wstring& dir, int pages, int count) {
  std::string s = "[EMF]\r\nCount=" + std::to_string(count) + "\r\n";
  for (int i = 0; i < pages; ++i)
    s += "File" + std::to_string(i) + "=" + Narrow(dir) + "\\page" + std::to_string(i) + ".emf\r\n";
  return s;
}

std::vector<CorpusCase> BuildCorpus(const std::wstring& dir) {
  std::mt19937 random(8122026);
  std::vector<CorpusCase> corpus;
  auto add = [&](std::string name, std::string bytes, int pages = 0) {
    CorpusCase c;
    c.name = std::move(name);
    c.bytes = std::move(bytes);
    c.pages = pages;
    corpus.push_back(c);
    return &corpus.back();
  };
  const std::string device = "[Device]\r\nDeviceName=Orvalis\r\n";

  for (int i = 0; i < 80; ++i) {  // random bytes, some with a valid head
    std::string junk(random() % 4096, '\0');
    for (char& ch : junk) ch = static_cast<char>(random());
    add("random" + std::to_string(i), (i % 3 == 0 ? device + PageLines(dir, 2, 2) : "") + junk,
        i % 3 == 0 ? 2 : 0);
  }
  for (int i = 0; i < 20; ++i) {  // random lines made of ticket words
    const char* words[] = {"[", "]", "Device", "DeviceName", "=", "Orvalis", "EMF", "Count",
                           "File0", "\r\n", "\n", " ", "\"", "-", "9", "\x00", ";"};
    std::string s;
    for (int w = 0; w < 200; ++w) s += words[random() % (sizeof(words) / sizeof(*words))];
    add("words" + std::to_string(i), s, 1);
  }
  for (int pages : {0, 1, 3}) {  // encodings
    std::string body = device + PageLines(dir, pages, pages);
    add("utf16le" + std::to_string(pages), Utf16Le(body), pages);
    add("utf16be" + std::to_string(pages), Utf16Be(body), pages);
    add("utf16nobom" + std::to_string(pages), Utf16Le(body).substr(2), pages);
    add("utf8bom" + std::to_string(pages), "\xEF\xBB\xBF" + body, pages);
  }
  const char* counts[] = {"-1", "-2147483648", "-4294967295", "4294967295", "4294967296",
                          "18446744073709551616", "99999999999999999999999999", "0x10", "1e9",
                          " ", "", "+", "-", "3abc", "\"3\"", "'3'", "00000000000000000003",
                          "2147483647", "2147483648", "-0", "\t5", "1 2 3", "0"};
  int k = 0;
  for (const char* count : counts) {  // Count values, with three real pages
    add("count" + std::to_string(k++),
        device + "[EMF]\r\nCount=" + count + "\r\n" + PageLines(dir, 3, 3).substr(18), 3);
  }
  for (size_t n : {259u, 260u, 300u, 1024u, 5000u, 70000u}) {  // overlong values
    add("longdevice" + std::to_string(n), "[Device]\r\nDeviceName=" + std::string(n, 'O') + "\r\n" +
                                              PageLines(dir, 1, 1), 1);
    add("longdevice2" + std::to_string(n),
        "[Device]\r\nDeviceName=Orvalis" + std::string(n, ' ') + "x\r\n" + PageLines(dir, 1, 1), 1);
    add("longfile" + std::to_string(n),
        device + "[EMF]\r\nCount=2\r\nFile0=" + Narrow(dir) + "\\" + std::string(n, 'p') +
            "\r\nFile1=" + Narrow(dir) + "\\page1.emf\r\n", 2);
    add("longkey" + std::to_string(n),
        device + "[EMF]\r\nCount=1\r\n" + std::string(n, 'K') + "=1\r\n" + PageLines(dir, 1, 1).substr(16), 1);
    add("longsection" + std::to_string(n), "[" + std::string(n, 'S') + "]\r\n" + device, 0);
  }
  // Missing, doubled and misplaced sections.
  add("empty", "");
  add("onlydevice", device, 1);
  add("onlyemf", PageLines(dir, 2, 2), 2);
  add("emffirst", PageLines(dir, 2, 2) + device, 2);
  add("twodevices", "[Device]\r\nDeviceName=Other\r\n" + device + PageLines(dir, 1, 1), 1);
  add("twodevices2", device + "[Device]\r\nDeviceName=Other\r\n" + PageLines(dir, 1, 1), 1);
  add("twoemf", device + PageLines(dir, 1, 1) + "[EMF]\r\nCount=3\r\nFile2=" + Narrow(dir) +
                    "\\page2.emf\r\n", 3);
  add("nosectionclose", "[Device\r\nDeviceName=Orvalis\r\n" + PageLines(dir, 1, 1), 1);
  add("noequals", "[Device]\r\nDeviceName Orvalis\r\n" + PageLines(dir, 1, 1), 1);
  add("nulinname", std::string("[Device]\r\nDeviceName=Orv\0alis\r\n", 32) + PageLines(dir, 1, 1), 1);
  add("crlfonlycr", "[Device]\rDeviceName=Orvalis\r[EMF]\rCount=1\rFile0=" + Narrow(dir) +
                        "\\page0.emf\r", 1);
  add("lfonly", "[Device]\nDeviceName=Orvalis\n[EMF]\nCount=1\nFile0=" + Narrow(dir) + "\\page0.emf\n", 1);
  for (int i = 0; i < 25; ++i) {  // other printers: the ticket must stay as it is
    const char* names[] = {"orvalis", "ORVALIS", "Orvalis2", "Orvalis ", "Orvali", "", "Fax",
                           "Orvalis\x01", "\"Orvalis", "Orvalis\""};
    add("other" + std::to_string(i),
        std::string("[Device]\r\nDeviceName=") + names[i % 10] + "x" + std::to_string(i / 10) +
            "\r\n" + PageLines(dir, 2, 2), 2);
  }
  // Paths that name the wrong thing, or files held by someone else.
  for (int i = 0; i < 3; ++i) {
    CorpusCase* c = add("directory" + std::to_string(i), "");
    c->directory = true;
  }
  for (int i = 0; i < 3; ++i) {
    CorpusCase* c = add("lockedticket" + std::to_string(i), device + PageLines(dir, 2, 2), 2);
    c->lockTicket = true;
  }
  for (int i = 0; i < 3; ++i) {
    CorpusCase* c = add("lockedpages" + std::to_string(i), device + PageLines(dir, 2, 2), 2);
    c->lockPages = true;
  }
  // Large tickets: many keys, and megabytes of junk after a valid head.
  {
    std::string big = device + "[EMF]\r\nCount=100000\r\n";
    for (int i = 0; i < 100000; ++i) big += "File" + std::to_string(i) + "=" + Narrow(dir) + "\\none" + std::to_string(i) + ".emf\r\n";
    add("manykeys", big + "File0=" + Narrow(dir) + "\\page0.emf\r\n", 1);
    std::string junk = device + PageLines(dir, 1, 1);
    while (junk.size() < 16u * 1024 * 1024) junk += "junk line without meaning " + std::to_string(junk.size()) + "\r\n";
    add("hugejunk", junk, 1);
  }
  return corpus;
}

bool HasBytes(const std::wstring& path, const std::string& bytes) { return ReadBytes(path) == bytes; }

}  // namespace

TEST_F(ConverterTest, MalformedTicketsEndInTimeAndDeleteOnlyWhatTheyName) {
  SetDword(HKEY_LOCAL_MACHINE, kMachineKey, L"Message Mode", 1);  // reports without boxes
  std::wstring exe = BinDir() + L"\\converter.exe";
  std::vector<CorpusCase> corpus = BuildCorpus(L"C:\\placeholder");
  ASSERT_GE(corpus.size(), 200u);
  int index = 0;
  for (const CorpusCase& proto : corpus) {
    SCOPED_TRACE(proto.name);
    std::wstring caseDir = dir.file(L"c" + std::to_wstring(index++));
    ASSERT_TRUE(CreateDirectoryW(caseDir.c_str(), nullptr));
    // The corpus was built for a placeholder folder: point it at this case's.
    std::string bytes;
    const std::string from = "C:\\placeholder", to = Narrow(caseDir);
    for (size_t at = 0;;) {
      size_t next = proto.bytes.find(from, at);
      bytes.append(proto.bytes, at, next == std::string::npos ? std::string::npos : next - at);
      if (next == std::string::npos) break;
      bytes += to;
      at = next + from.size();
    }
    std::vector<std::wstring> pages;
    for (int i = 0; i < proto.pages; ++i) {
      pages.push_back(caseDir + L"\\page" + std::to_wstring(i) + L".emf");
      ASSERT_TRUE(WriteBytes(pages.back(), "page"));
    }
    std::wstring sentinel = caseDir + L"\\sentinel.emf";
    ASSERT_TRUE(WriteBytes(sentinel, "not named by any ticket"));
    std::wstring ticket = caseDir + L"\\job.ini";
    if (proto.directory)
      ASSERT_TRUE(CreateDirectoryW(ticket.c_str(), nullptr));
    else
      ASSERT_TRUE(WriteBytes(ticket, bytes));

    // What the platform reads as the device decides whether the job is ours.
    wchar_t device[260] = {};
    GetPrivateProfileStringW(L"Device", L"DeviceName", L"", device, 260, ticket.c_str());
    bool ours = !proto.lockTicket && !proto.directory && std::wstring(device) == L"Orvalis";

    std::vector<HANDLE> locks;
    if (proto.lockTicket)
      locks.push_back(CreateFileW(ticket.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (proto.lockPages) {
      for (const auto& p : pages)
        locks.push_back(CreateFileW(p.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }

    RunOptions options;
    options.timeoutMs = 20000;
    RunResult r = RunProgram(exe, ticket, options);
    for (HANDLE h : locks) CloseHandle(h);

    EXPECT_FALSE(r.timedOut);
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << "exit code " << r.exitCode;
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_TRUE(HasBytes(sentinel, "not named by any ticket"));
    if (!ours) {
      if (!proto.directory) {
        EXPECT_TRUE(HasBytes(ticket, bytes)) << "a ticket of another printer changed";
      }
      for (const auto& p : pages) EXPECT_TRUE(FileExists(p)) << Narrow(p);
      EXPECT_EQ(r.exitCode, 1u);
    }
    if (proto.lockPages) {
      for (const auto& p : pages) EXPECT_TRUE(FileExists(p)) << "a held page file is kept";
    }
  }
}
