#include "spool_builder.h"

#include <string.h>

#include <algorithm>

#include "orvl_test.h"

namespace spoolbuild {

namespace {

bool Append(void* context, const void* data, DWORD size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
  return true;
}

}  // namespace

std::string SamplePage(int page, int pages, bool mono) {
  std::string bytes;
  HENHMETAFILE emf = DrawSamplePage(page, pages, mono, 0);
  if (!emf) return bytes;
  bytes.resize(GetEnhMetaFileBits(emf, 0, nullptr));
  GetEnhMetaFileBits(emf, static_cast<UINT>(bytes.size()), reinterpret_cast<BYTE*>(&bytes[0]));
  DeleteEnhMetaFile(emf);
  return bytes;
}

std::string WithFonts(const std::string& emf, const std::vector<std::string>& files) {
  auto le = [](size_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  // The record: Type1ID, NumFiles, the sizes, padding to 8 bytes, the files (each padded to 4).
  std::string body = le(0) + le(files.size()), data;
  for (const std::string& f : files) {
    body += le(f.size());
    data += f + std::string((4 - f.size() % 4) % 4, '\0');
  }
  body += std::string(body.size() % 8, '\0') + data;
  // EMR_COMMENT: type, size, its data's size, EMFSPOOL, font definitions, then the record.
  std::string comment = le(70) + le(28 + body.size()) + le(16 + body.size()) + le(0) +
                        le(0x544F4E46) + le(kEngineFont) + le(body.size()) + body;
  size_t end = 0;  // EMR_EOF
  while (emf[end] != EMR_EOF) end += *reinterpret_cast<const DWORD*>(&emf[end + 4]);
  std::string page = emf.substr(0, end) + comment + emf.substr(end);
  DWORD header[2] = {static_cast<DWORD>(page.size()), *reinterpret_cast<DWORD*>(&page[52]) + 1};
  memcpy(&page[48], header, sizeof(header));  // nBytes and nRecords
  return page;
}

SpoolBuilder::SpoolBuilder(const wchar_t* docName, const wchar_t* output) {
  Sink sink = {&bytes_, Append, 0};
  WriteHeader(&sink, docName, output);
  records_.push_back({0, bytes_.size(), 0});
}

void SpoolBuilder::Mark(DWORD kind) {
  size_t start = records_.back().offset + records_.back().size;
  records_.push_back({start, bytes_.size() - start, kind});
}

SpoolBuilder& SpoolBuilder::Page(const std::string& emf) {
  return PageAs(emf, kMetafileData, kMetafileExt);
}

SpoolBuilder& SpoolBuilder::MonoPage(const std::string& emf) {
  return PageAs(emf, kMetafileData, kBwMetafileExt);
}

SpoolBuilder& SpoolBuilder::PageAs(const std::string& emf, DWORD kind, DWORD ext) {
  Record(kind, emf);
  ++pages_;
  if (ext) {
    ULONGLONG back = records_.back().size;
    Record(ext, std::string(reinterpret_cast<const char*>(&back), sizeof(back)));
  }
  return *this;
}

SpoolBuilder& SpoolBuilder::Record(DWORD kind, const std::string& data) {
  // A sink per call: the builder may be copied or moved between calls.
  Sink sink = {&bytes_, Append, bytes_.size()};
  WriteRecord(&sink, kind, data.data(), static_cast<DWORD>(data.size()));
  Mark(kind);
  return *this;
}

BOOL MemorySource::Read(void* context, void* buffer, DWORD size, DWORD* got) {
  MemorySource* self = static_cast<MemorySource*>(context);
  if (self->at >= self->failAt) return FALSE;
  size_t n = std::min<size_t>({size, self->piece, self->bytes.size() - self->at});
  memcpy(buffer, self->bytes.data() + self->at, n);
  self->at += n;
  *got = static_cast<DWORD>(n);
  return TRUE;
}

namespace {

// The tests run the road's code in their own process; its children (the
// drawing and the font merge) are the real orvlui2.exe's.
const bool g_realChild = [] {
  SetDrawingChild((orvltest::BinDir() + L"\\package\\orvlui2.exe").c_str(), nullptr);
  return true;
}();

}  // namespace

int Extract(const std::string& bytes, const std::wstring& folder, HANDLE stop) {
  MemorySource memory;
  memory.bytes = bytes;
  SpoolSource source = {&memory, MemorySource::Read};
  return ExtractSpool(source, folder.c_str(), stop);
}

}  // namespace spoolbuild
