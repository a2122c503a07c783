// zim_make: writes ZIM files with libzim's own writer, for the tests and the import bench. Not
// installed.
//
//   zim_make OUT.zim --manifest FILE   entries from tab-separated lines:
//       meta NAME VALUE | main PATH | item PATH MIME TITLE FILE | redirect PATH TITLE TARGET
//   zim_make OUT.zim --count N         N small pages, page/N.html, linking the next one
#include <zim/writer/contentProvider.h>
#include <zim/writer/creator.h>
#include <zim/writer/item.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr unsigned kWorkers = 1;  // the machines that run the tests are small

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error(file + ": cannot read it");
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void FromManifest(zim::writer::Creator& creator, const std::string& manifest) {
  std::ifstream in(manifest);
  if (!in) throw std::runtime_error(manifest + ": cannot read it");
  std::string line;
  while (std::getline(in, line)) {
    const auto f = Fields(line);
    if (f.empty()) continue;
    if (f[0] == "meta" && f.size() == 3) {
      creator.addMetadata(f[1], f[2]);
    } else if (f[0] == "main" && f.size() == 2) {
      creator.setMainPath(f[1]);
    } else if (f[0] == "item" && f.size() == 5) {
      const bool page = f[2].starts_with("text/html");
      creator.addItem(zim::writer::StringItem::create(
          f[1], f[2], f[3], zim::writer::Hints{{zim::writer::FRONT_ARTICLE, page ? 1 : 0}},
          ReadAll(f[4])));
    } else if (f[0] == "redirect" && f.size() == 4) {
      creator.addRedirection(f[1], f[2], f[3]);
    } else {
      throw std::runtime_error(manifest + ": cannot read the line \"" + line + "\"");
    }
  }
}

void Counted(zim::writer::Creator& creator, long count) {
  static const char* const kWords[] = {"harbour", "tide",  "lantern", "quay",  "gull",
                                       "rope",    "ferry", "anchor",  "storm", "pier"};
  creator.addMetadata("Title", "Made-up pages");
  creator.addMetadata("Name", "bench_pages");
  creator.setMainPath("page/0.html");
  for (long i = 0; i < count; ++i) {
    std::string page = "<html><head><title>Page " + std::to_string(i) + "</title></head><body><p>";
    for (long w = 0; w < 24; ++w) {
      page += kWords[(i * 7 + w * 3) % 10];
      page += ' ';
    }
    page += "</p><a href=\"" + std::to_string(i + 1) + ".html\">next</a></body></html>";
    creator.addItem(zim::writer::StringItem::create(
        "page/" + std::to_string(i) + ".html", "text/html", "Page " + std::to_string(i),
        zim::writer::Hints{{zim::writer::FRONT_ARTICLE, 1}}, page));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::string(argv[2]) != "--manifest" && std::string(argv[2]) != "--count")) {
    std::fprintf(stderr, "usage: zim_make OUT.zim --manifest FILE | --count N\n");
    return 2;
  }
  try {
    zim::writer::Creator creator;
    creator.configIndexing(false, "").configNbWorkers(kWorkers);
    creator.startZimCreation(argv[1]);
    if (std::string(argv[2]) == "--manifest") {
      FromManifest(creator, argv[3]);
    } else {
      Counted(creator, std::strtol(argv[3], nullptr, 10));
    }
    creator.finishZimCreation();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zim_make: %s\n", e.what());
    return 1;
  }
  return 0;
}
