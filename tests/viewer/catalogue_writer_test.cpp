// The catalogue writer every disc is written through: the type rule that names a document's file,
// and the numbering, placing and undoing of what it adds.
#include "catalogue_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "disc.h"
#include "disc_builder.h"
#include "responses/document_server.h"
#include "search.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

// One rule for an archive's answers (quillon-disc) and the network's (--update-disc): the same
// extension wherever the type names a web document; the network goes by the type alone and is
// held to those.
TEST(CatalogueWriter, TypeOfAnAnswer) {
  const struct {
    const char* contentType;
    const char* url;
    const char* extension;  // from an archive
    const char* stored;
    const char* network;  // the network's new document's extension
  } rows[] = {
      {"image/png", "http://h/logo", "png", "image/png", "png"},
      {"text/html", "http://h/", "htm", "", "htm"},
      {"TEXT/HTML", "http://h/a.php", "htm", "", "htm"},
      {"text/html; charset=utf-8", "http://h/", "htm", "text/html; charset=utf-8", "htm"},
      {" TEXT/CSS ", "http://h/s", "css", "TEXT/CSS", "css"},
      {"image/jpeg", "http://h/p", "jpg", "", "jpg"},
      {"application/rss+xml", "http://h/feed", "xml", "application/rss+xml", "xml"},
      {"application/msword", "http://h/cv", "doc", "", "bin"},
      {"application/x-thing", "http://h/file.DAT?x=1", "dat", "application/x-thing", "bin"},
      {"application/octet-stream", "http://h/a.css", "css", "application/octet-stream", "bin"},
      {"text/x-sh", "http://h/run.htm", "htm", "text/x-sh", "bin"},
      {"application/x-desktop", "http://h/run.desktop", "desktop", "application/x-desktop", "bin"},
      {"text/x-shellscript", "http://h/install", "", "text/x-shellscript", "bin"},
      {"", "http://h/photo.jpeg", "jpg", "", "bin"},
      {"", "http://h/", "", "", "bin"},
      {"", "http://h/dir.v2/name", "", "", "bin"},
      {"text/html\r\nX: y", "http://h/p.html", "htm", "", "bin"},
      {"text/htmlx", "http://h/x", "", "text/htmlx", "bin"},
  };
  for (const auto& row : rows) {
    const viewer::DocumentType type = viewer::TypeOfAnswer(row.contentType, row.url);
    EXPECT_EQ(type.extension, row.extension) << row.contentType << " " << row.url;
    EXPECT_EQ(type.contentType, row.stored) << row.contentType << " " << row.url;
    EXPECT_EQ(viewer::TypeOfNetworkAnswer(row.contentType).extension, row.network)
        << row.contentType << " " << row.url;
  }
  // Nothing is stored where the filter's own table sends the type already.
  for (const char* extension : {"htm", "txt", "gif", "jpg", "tif", "wav", "mpg", "avi", "mov",
                                "pdf", "ppt", "doc", "rtf", "bmv"}) {
    const std::string sent(ExtensionContentType(extension));
    EXPECT_EQ(viewer::TypeOfAnswer(sent, "http://h/x." + std::string(extension)),
              (viewer::DocumentType{extension, ""}))
        << sent;
  }
}

// What a transaction adds is on the disc once it commits, and gone, files too, once it rolls back.
TEST(CatalogueWriter, AddsNumbersAndUndoes) {
  const fs::path base =
      fs::temp_directory_path() / ("quillon-writer-" + std::to_string(::getpid()));
  // A disc being made (bulk) reads its pages on a thread of its own: more of them than wait
  // between the threads at once.
  const struct {
    const char* name;
    bool bulk;
    int pages;
    bool commit;
    std::size_t documents;  // on the disc afterwards, the first two included
  } rows[] = {
      {"committed", false, 3, true, 6},
      {"rolled back", false, 3, false, 2},
      {"bulk, committed", true, 21, true, 24},
      {"bulk, rolled back", true, 21, false, 2},
  };
  for (const auto& row : rows) {
    fs::remove_all(base);
    fs::create_directories(base / "mirror" / "h.example");
    std::ofstream(base / "mirror" / "h.example" / "index.html") << "<title>t</title>home";
    disc::CreateOptions options;
    options.disc = base / "disc";
    options.mirror = base / "mirror";
    disc::CreateDisc(options);  // the page and its folder's redirect
    {
      auto db = viewer::OpenCatalogue(options.disc, true);
      viewer::CatalogueWriter writer(*db, options.disc, {.bulk = row.bulk, .place = {}});
      writer.Begin();
      // Each page renamed, copied or written from bytes in memory, in turn.
      for (int i = 0; i < row.pages; ++i) {
        const viewer::NewDocument document{
            "http://h.example/new" + std::to_string(i), {"htm", ""}, 0, 0};
        const std::string html = "<p>quillwort " + std::to_string(i) + "</p>";
        const fs::path staged = options.disc / ("staged" + std::to_string(i));
        std::int64_t number = -1;
        if (i % 3 == 2) {
          bool given = false;
          viewer::FileFacts written;
          number = writer.AddDocument(
              document,
              [&] {
                given = !given;
                return given ? std::string_view(html) : std::string_view();
              },
              &written);
          EXPECT_EQ(written.size, html.size()) << row.name;
        } else {
          std::ofstream(staged) << html;
          number = writer.AddDocument(document, staged,
                                      i % 3 == 0 ? viewer::CatalogueWriter::Placing::kRename
                                                 : viewer::CatalogueWriter::Placing::kCopy);
          fs::remove(staged);
        }
        EXPECT_EQ(number, 2 + i) << row.name;
      }
      EXPECT_EQ(writer.AddRedirect("http://h.example/old", "http://h.example/new0"), 2 + row.pages)
          << row.name;
      EXPECT_TRUE(writer.Holds("http://h.example/old")) << row.name;
      if (row.commit) {
        if (row.bulk) writer.Finish();
        writer.Commit();
      } else {
        writer.Rollback();
      }
      EXPECT_EQ(writer.next(), static_cast<std::int64_t>(row.documents)) << row.name;
    }
    EXPECT_EQ(disc::ListDocuments(options.disc).size(), row.documents) << row.name;
    EXPECT_EQ(fs::exists(options.disc / disc::DocumentPath(2, "htm")), row.commit) << row.name;
    // The last page is one written from bytes.
    EXPECT_EQ(fs::exists(options.disc / disc::DocumentPath(1 + row.pages, "htm")), row.commit)
        << row.name;
    EXPECT_EQ(disc::CheckDisc(options.disc, true), std::vector<std::string>{}) << row.name;
    const auto db = viewer::OpenCatalogue(options.disc, false);
    EXPECT_EQ(viewer::Search(*db, "quillwort", 0, 10).total, row.commit ? row.pages : 0)
        << row.name;
    EXPECT_EQ(viewer::Search(*db, std::to_string(row.pages - 1), 0, 10).total, row.commit ? 1 : 0)
        << row.name;
  }
  fs::remove_all(base);
}

}  // namespace
}  // namespace quillon
