// The whole filter through its export: arbitrary request headers and catalogue entries, then a
// network answer for an armed connection and its end. Whatever comes in, every notification ends
// in one of the two statuses, the filter sends at most one reply per notification, every header
// block it sends is well-formed, and no file stays open.
//
// Input: lines "key=value" ("\n" in a value stands for a line feed).
//   mode=3  root=/disc/  url=...  referer=...  agent=...  ims=...  method=...  failwrite=0
//   row=<number>|<url>|<extension>|<content type>|<redirect>|<stale after>|<last modified>
//   answer=HTTP/1.1 304 Not Modified
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/constants.h"
#include "names/document_name.h"
#include "support/fake_viewer.h"
#include "support/memory_files.h"
#include "support/recording_desktop.h"
#include "support/recording_server.h"

namespace {

using namespace quillon;

std::string Unescape(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'n') {
      out.push_back('\n');
      ++i;
    } else {
      out.push_back(value[i]);
    }
  }
  return out;
}

std::int32_t Number(std::string_view text) {
  std::int32_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value, 0 == text.find("0x") ? 16 : 10);
  return value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// Lines that each end in CR LF, no empty line, a Content-Length among them.
bool WellFormed(const std::string& block) {
  if (block.size() < 2 || block.compare(block.size() - 2, 2, "\r\n") != 0) return false;
  if (block.find("Content-Length: ") == std::string::npos) return false;
  for (std::size_t i = 0; i < block.size(); ++i) {
    const auto byte = static_cast<unsigned char>(block[i]);
    if (block[i] == '\r') {
      if (i + 1 >= block.size() || block[i + 1] != '\n') return false;
      if (i == 0 || block[i - 1] == '\n') return false;  // an empty line ends the block early
      ++i;
    } else if ((byte < 0x20 && block[i] != '\t') || byte == 0x7F) {
      return false;
    }
  }
  return true;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckReplies(const testing::RecordingServer& server, std::size_t before) {
  Check(server.responses.size() <= before + 1);
  for (std::size_t i = before; i < server.responses.size(); ++i) {
    Check(WellFormed(server.responses[i].headers));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The platform's services stay replaced for the whole run: nothing is launched or read.
  static testing::RecordingDesktop desktop;
  static testing::MemoryFileSystem files;
  static testing::FakeViewer viewer;

  viewer.mode = 0;
  viewer.rootPath = std::string("/disc/");
  viewer.catalogue.rows.clear();
  files.files.clear();
  files.opened.clear();
  desktop.launches.clear();
  testing::RecordingServer server;
  std::string answer = "HTTP/1.1 404 Not Found\r\n\r\n";

  const std::string input(reinterpret_cast<const char*>(data), size);
  for (const std::string& line : Split(input, '\n')) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = Unescape(std::string_view(line).substr(equals + 1));
    if (key == "mode") viewer.mode = Number(value);
    if (key == "root") viewer.rootPath = value;
    if (key == "url") server.request["url"] = value;
    if (key == "referer") server.request["Referer:"] = value;
    if (key == "agent") server.request["User-Agent:"] = value;
    if (key == "ims") server.request["If-Modified-Since:"] = value;
    if (key == "method") server.request["method"] = value;
    if (key == "failwrite") server.failWriteAt = Number(value);
    if (key == "answer") answer = value;
    if (key == "row") {
      std::vector<std::string> f = Split(value, '|');
      f.resize(7);
      testing::CatalogueRow row{Number(f[0]), f[1], f[2], f[3], f[4], Number(f[5]), Number(f[6])};
      viewer.catalogue.rows.push_back(row);
      // The disc copy is there, so the reply is a whole file rather than the 404.
      files.files[*viewer.rootPath + kDocsFolder + DocumentFileName(row.number) + "." +
                  row.extension] = "disc copy of " + row.url;
    }
  }
  viewer.Link();

  const DWORD routed = server.PreprocHeaders();
  Check(routed == kStatusFinished || routed == kStatusNextNotification);
  CheckReplies(server, 0);
  if (routed == kStatusFinished) Check(server.context()->pFilterContext == nullptr);

  const std::size_t before = server.responses.size();
  const DWORD inspected = server.SendRawData(answer);
  Check(inspected == kStatusFinished || inspected == kStatusNextNotification);
  Check(server.context()->pFilterContext == nullptr);
  CheckReplies(server, before);
  Check(server.EndOfNetSession() == kStatusNextNotification);
  Check(files.openFiles == 0);
  return 0;
}
