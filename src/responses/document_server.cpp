#include "responses/document_server.h"

#include <memory>
#include <string>

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
  // A stored content type with a line break would end the header block early: see SendRedirect.
  if (HasControlCharacter(contentType)) {
    SendServerError(call);
    return false;
  }
  // Opened as a file of the disc, so nothing outside its root is reached. A path not under the
  // root, and any path while no disc is linked, has no disc to stay on: the empty root opens
  // nothing.
  const std::string& root = DiscRootPath();
  const bool onDisc = path.starts_with(root);
  std::unique_ptr<platform::ReadableFile> file = platform::CurrentFileSystem().OpenForReading(
      onDisc ? root : std::string(), onDisc ? path.substr(root.size()) : path);
  if (file == nullptr) {
    SendNotFound(call);
    return false;
  }
  // Sized to what it holds, so no content type is long enough to cut it.
  std::string header = "Content-Type: ";
  header.append(contentType)
      .append("\r\nContent-Length: ")
      .append(std::to_string(file->Size()))
      .append("\r\n");
  if (!SendResponseHeader(call, nullptr, header.c_str())) return false;

  // No more than the announced length: a file that grows while it is sent (nothing here keeps
  // others from writing it) must not run past its Content-Length into the connection's next
  // answer. Reaching that length ends the stream without a read that could only find the end.
  std::uint64_t left = file->Size();
  char buffer[kStreamBlockSize];
  while (left > 0) {
    const std::size_t want =
        left < kStreamBlockSize ? static_cast<std::size_t>(left) : kStreamBlockSize;
    const std::ptrdiff_t read = file->Read(buffer, want);
    if (read == 0) return true;
    // A failed read ends the stream like a failed write: the reply stays short of its length.
    if (read < 0) return false;
    left -= static_cast<std::uint64_t>(read);
    if (!WriteToClient(call, buffer, static_cast<std::size_t>(read))) return false;
  }
  return true;
}

bool ServeCatalogueEntry(FilterCall call, const CatalogueEntry& entry) {
  return StreamFile(call, CatalogueEntryPath(entry), EntryContentType(entry));
}

}  // namespace quillon
