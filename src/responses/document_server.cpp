#include "responses/document_server.h"

#include <cinttypes>
#include <cstdio>
#include <memory>

#include "common/ascii.h"
#include "common/constants.h"
#include "names/document_name.h"
#include "platform/file_system.h"
#include "responses/reply.h"

namespace quillon {

namespace {

struct ContentTypeRow {
  std::string_view extension;
  std::string_view contentType;
};

constexpr ContentTypeRow kContentTypes[] = {
    {"htm", "text/html"},
    {"txt", "text/plain"},
    {"gif", "image/gif"},
    {"jpg", "image/jpeg"},
    {"tif", "image/tiff"},
    {"wav", "audio/wav"},
    {"mpg", "video/mpeg"},
    {"avi", "video/avi"},
    {"mov", "video/quicktime"},
    {"pdf", "application/pdf"},
    {"ppt", "application/x-mspowerpoint"},
    {"doc", "application/msword"},
    {"rtf", "application/rtf"},
    {"bmv", "application/x-bmv"},
};

}  // namespace

std::string_view ExtensionContentType(std::string_view extension) {
  if (extension.empty()) return kOctetStreamContentType;
  for (const ContentTypeRow& row : kContentTypes) {
    if (AsciiEqualsIgnoreCase(extension, row.extension)) return row.contentType;
  }
  return {};
}

std::string_view EntryContentType(const CatalogueEntry& entry) {
  return entry.contentType.empty() ? ExtensionContentType(entry.extension) : entry.contentType;
}

std::string CatalogueEntryPath(const CatalogueEntry& entry) {
  std::string path = DiscRootPath();
  path.append(kDocsFolder).append(DocumentFileName(entry.number));
  path.push_back('.');
  path.append(entry.extension);
  return path;
}

void SendNotFound(FilterCall call) { SendSimpleReply(call, kNotFoundBody, kStatusNotFound); }

bool StreamFile(FilterCall call, const std::string& path, std::string_view contentType) {
  std::unique_ptr<platform::ReadableFile> file = platform::CurrentFileSystem().OpenForReading(path);
  if (file == nullptr) {
    SendNotFound(call);
    return false;
  }
  const std::uint64_t size = file->Size();

  // One buffer carries the header block and then every block of the file.
  char buffer[kStreamBlockSize];
  std::snprintf(buffer, kFileHeaderLimit, "Content-Type: %.*s\r\nContent-Length: %" PRIu64 "\r\n",
                static_cast<int>(contentType.size()), contentType.data(), size);
  if (!SendResponseHeader(call, nullptr, buffer)) return false;

  for (;;) {
    const std::ptrdiff_t read = file->Read(buffer, kStreamBlockSize);
    if (read == 0) return true;
    // A failed read ends the stream like a failed write: the reply stays short of its length.
    if (read < 0) return false;
    if (!WriteToClient(call, buffer, static_cast<std::size_t>(read))) return false;
  }
}

bool ServeCatalogueEntry(FilterCall call, const CatalogueEntry& entry) {
  return StreamFile(call, CatalogueEntryPath(entry), EntryContentType(entry));
}

}  // namespace quillon
