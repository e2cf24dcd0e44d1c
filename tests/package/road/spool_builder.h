// Builds EMF spool files in memory for the job road's tests: real GDI-drawn
// pages put into records the way Windows' spooler keeps a printed job.
//   spoolbuild::SpoolBuilder spool;
//   spool.Page(spoolbuild::SamplePage(0, 2)).MonoPage(spoolbuild::SamplePage(1, 2, true));
//   orvltest::WriteBytes(path, spool.bytes());
// records() tells where each record lies, for cutting and damaging files.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "../../../tools/spoolgen/spool_writer.h"
#include "job_road.h"

namespace spoolbuild {

using namespace spoolwrite;  // the record kinds

// The bytes of an EMF page drawn with GDI (text, lines, colour unless mono).
std::string SamplePage(int page, int pages, bool mono = false);

struct RecordSpan {
  size_t offset;  // where the record starts in bytes()
  size_t size;    // the whole record, its 8-byte head included
  DWORD kind;     // 0 for the header
};

class SpoolBuilder {
 public:
  // The header, with the names a printed job carries.
  explicit SpoolBuilder(const wchar_t* docName = L"Orvalis test document",
                        const wchar_t* output = L"orvl:");
  // A colour page as Windows spools it: its EMF, then the offset record.
  SpoolBuilder& Page(const std::string& emf);
  // A black-and-white page: its EMF, then the monochrome offset record.
  SpoolBuilder& MonoPage(const std::string& emf);
  // A page in a record of the given kind, with an offset record ext (0: none).
  SpoolBuilder& PageAs(const std::string& emf, DWORD kind, DWORD ext);
  // Any record (data padded to 4 bytes).
  SpoolBuilder& Record(DWORD kind, const std::string& data);

  const std::string& bytes() const { return bytes_; }
  const std::vector<RecordSpan>& records() const { return records_; }
  // How many pages were added.
  int pages() const { return pages_; }

 private:
  void Mark(DWORD kind);
  std::string bytes_;
  std::vector<RecordSpan> records_;
  int pages_ = 0;
};

// The EMF page with the TrueType files embedded as Windows spools them: an
// EMFSPOOL comment of font definitions (one engine font record) before its end.
std::string WithFonts(const std::string& emf, const std::vector<std::string>& files);

// Spool bytes served in small pieces, the way ReadPrinter may hand them out.
struct MemorySource {
  std::string bytes;
  size_t at = 0;
  DWORD piece = 1000;
  size_t failAt = std::string::npos;  // a read error from here on

  static BOOL Read(void* context, void* buffer, DWORD size, DWORD* got);
};

// ExtractSpool of bytes into folder.
int Extract(const std::string& bytes, const std::wstring& folder, HANDLE stop = nullptr);

}  // namespace spoolbuild
