// Discs end to end: quillon-disc's builder makes one from a small mirror, the viewer opens it,
// and the filter's own lookups read it through QuillonSupportProc.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "address.h"
#include "disc.h"
#include "disc_builder.h"
#include "entry/exports.h"
#include "filter/viewer_link.h"
#include "search.h"
#include "support/fake_viewer.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& file, const std::string& content) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}

class Discs : public ::testing::Test {
 public:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("quillon-disc-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    mirror_ = base_ / "mirror";
    Write(mirror_ / "Site.Example" / "index.html", "<h1>home</h1>");
    Write(mirror_ / "Site.Example" / "a" / "page.HTML", "<p>page</p>");
    Write(mirror_ / "Site.Example" / "a" / "index.html", "<p>a</p>");
    Write(mirror_ / "Site.Example" / "img" / "photo.jpeg", "JPEG");
    Write(mirror_ / "Site.Example" / "style.css", "body{}");
    Write(mirror_ / "Site.Example" / "big file.txt", "spaced");
    Write(mirror_ / "other.example:8080" / "x.gif", "GIF");
    Write(base_ / "redirects.txt",
          "# moved\nhttp://site.example/old.html http://site.example/a/\n");
    Write(base_ / "extra" / "docs" / "lummisc0" / "logo.gif", "LOGO");
    disc_ = base_ / "disc";
  }
  void TearDown() override {
    testing::UnlinkViewer();
    fs::remove_all(base_);
  }
  disc::CreateSummary Create(bool withStale = true, bool force = false) {
    disc::CreateOptions options;
    options.force = force;
    options.disc = disc_;
    options.mirror = mirror_;
    options.extra = base_ / "extra";
    options.redirects = base_ / "redirects.txt";
    options.title = "Test disc";
    if (withStale) options.staleAfter = 7 * 86400;
    return disc::CreateDisc(options);
  }
  fs::path base_, mirror_, disc_;
};

TEST_F(Discs, CreateNumbersFoldsAndIndexesAMirror) {
  const disc::CreateSummary summary = Create();
  EXPECT_EQ(summary.documents, 7u);
  EXPECT_EQ(summary.redirects, 3u);  // two index pages and one redirect line
  const std::vector<disc::DocumentRow> rows = disc::ListDocuments(disc_);
  ASSERT_EQ(rows.size(), 10u);
  struct Expected {
    const char* url;
    const char* extension;
    const char* contentType;
    const char* redirect;
  };
  // Documents numbered from 0 in address order, then the redirects.
  const Expected expected[] = {
      {"http://other.example:8080/x.gif", "gif", "", ""},
      {"http://site.example/a/index.html", "htm", "", ""},
      {"http://site.example/a/page.HTML", "htm", "", ""},
      {"http://site.example/big%20file.txt", "txt", "", ""},
      {"http://site.example/img/photo.jpeg", "jpg", "", ""},
      {"http://site.example/index.html", "htm", "", ""},
      {"http://site.example/style.css", "css", "text/css", ""},
      {"http://site.example/a/", "", "", "http://site.example/a/index.html"},
      {"http://site.example/", "", "", "http://site.example/index.html"},
      {"http://site.example/old.html", "", "", "http://site.example/a/"},
  };
  const std::int64_t now = CurrentTime();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].number, static_cast<std::int64_t>(i));
    EXPECT_EQ(rows[i].url, expected[i].url);
    EXPECT_EQ(rows[i].extension, expected[i].extension) << rows[i].url;
    EXPECT_EQ(rows[i].contentType, expected[i].contentType) << rows[i].url;
    EXPECT_EQ(rows[i].redirectUrl, expected[i].redirect) << rows[i].url;
    if (expected[i].redirect[0] == '\0') {
      EXPECT_NEAR(rows[i].staleAfter, now + 7 * 86400, 60) << rows[i].url;
      EXPECT_NEAR(rows[i].lastModified, now, 600) << rows[i].url;
      EXPECT_TRUE(
          fs::is_regular_file(disc_ / disc::DocumentPath(rows[i].number, rows[i].extension)));
    }
  }
  EXPECT_TRUE(fs::is_regular_file(disc_ / "docs" / "lummisc0" / "logo.gif"));
  EXPECT_TRUE(disc::CheckDisc(disc_).empty());
  // The disc's own name for a document, as the document server builds it.
  std::ifstream copy(disc_ / "docs" / "lum00000" / "lum00002.htm");
  std::string content((std::istreambuf_iterator<char>(copy)), {});
  EXPECT_EQ(content, "<p>page</p>");
}

TEST_F(Discs, TheFilterReadsTheCatalogueThroughTheViewer) {
  Create(false);
  viewer::DiscViewer viewer(disc_, 3);
  ASSERT_EQ(QuillonSupportProc(1, &viewer), &viewer);
  EXPECT_EQ(DiscRootPath(), fs::absolute(disc_).lexically_normal().string() + "/");
  EXPECT_EQ(ViewerMode(), 3);
  viewer.SetMode(4);
  EXPECT_EQ(ViewerMode(), 4);

  CatalogueEntry entry;
  ASSERT_TRUE(FindEntryByUrl("http://site.example/style.css", entry));
  EXPECT_EQ(entry.number, 6);
  EXPECT_EQ(entry.extension, "css");
  EXPECT_EQ(entry.contentType, "text/css");
  EXPECT_EQ(entry.redirectUrl, "");
  EXPECT_EQ(entry.staleAfter, 0);
  EXPECT_GT(entry.lastModified, 0);

  ASSERT_TRUE(FindEntryByNumber(9, entry));
  EXPECT_EQ(entry.url, "http://site.example/old.html");
  EXPECT_EQ(entry.redirectUrl, "http://site.example/a/");
  EXPECT_EQ(entry.extension, "");

  const CatalogueEntry kept = entry;
  EXPECT_FALSE(FindEntryByUrl("http://site.example/missing.html", entry));
  EXPECT_FALSE(FindEntryByNumber(10, entry));
  EXPECT_FALSE(FindEntryByNumber(-1, entry));
  EXPECT_EQ(entry.url, kept.url);
  EXPECT_EQ(entry.number, kept.number);
  testing::UnlinkViewer();
}

TEST_F(Discs, BadInputIsOneClearError) {
  const struct {
    const char* name;
    std::function<void(Discs&)> act;
    const char* message;
    bool discStays = false;
  } rows[] = {
      {"missing mirror",
       [](Discs& t) {
         fs::remove_all(t.mirror_);
         t.Create();
       },
       "no such folder"},
      {"control character in a name",
       [](Discs& t) {
         Write(t.mirror_ / "site.example" / "bad\x01name.html", "x");
         t.Create();
       },
       "control characters"},
      {"address too long",
       [](Discs& t) {
         Write(t.mirror_ / "site.example" / std::string(200, 'a') / std::string(200, 'b') /
                   std::string(200, 'c') / std::string(200, 'd') / std::string(200, 'e') / "f.html",
               "x");
         t.Create();
       },
       "longer than 1023"},
      {"file directly in the mirror",
       [](Discs& t) {
         Write(t.mirror_ / "stray.html", "x");
         t.Create();
       },
       "not under a host"},
      {"existing disc without --force",
       [](Discs& t) {
         t.Create();
         t.Create();
       },
       "already exists", true},
      {"--force on a disc a proxy is serving",
       [](Discs& t) {
         t.Create();
         viewer::DiscViewer serving(t.disc_);
         t.Create(true, true);
       },
       "in use by another program", true},
      {"--from one level too deep",
       [](Discs& t) {
         Write(t.mirror_ / "en" / "index.html", "x");
         t.Create();
       },
       "\"en\" is not a host name"},
      {"empty mirror",
       [](Discs& t) {
         fs::remove_all(t.mirror_);
         fs::create_directories(t.mirror_ / "site.example");
         t.Create();
       },
       "no files to put on a disc"},
      {"add: not an http address",
       [](Discs& t) {
         t.Create();
         disc::AddOptions add{.url = "ftp://site.example/x", .redirectUrl = "http://x/"};
         disc::AddDocument(t.disc_, add);
       },
       "not an http:// or https:// address", true},
      {"add: a file and a redirect",
       [](Discs& t) {
         t.Create();
         disc::AddOptions add{.url = "http://site.example/x",
                              .file = t.base_ / "redirects.txt",
                              .redirectUrl = "http://x/"};
         disc::AddDocument(t.disc_, add);
       },
       "not both", true},

      {"redirect for a held address",
       [](Discs& t) {
         Write(t.base_ / "redirects.txt", "http://site.example/style.css http://x/\n");
         t.Create();
       },
       "redirect for an address"},
      {"malformed redirect line",
       [](Discs& t) {
         Write(t.base_ / "redirects.txt", "http://site.example/only-one\n");
         t.Create();
       },
       "URL TARGET"},
  };
  for (const auto& row : rows) {
    fs::remove_all(disc_);
    SetUp();
    try {
      row.act(*this);
      ADD_FAILURE() << row.name << ": no error";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos)
          << row.name << ": " << e.what();
    }
    if (!row.discStays) {
      EXPECT_FALSE(fs::exists(disc_)) << row.name << ": a failed create leaves no disc";
    }
    // Nothing half-built is left beside it either.
    for (const auto& entry : fs::directory_iterator(base_)) {
      EXPECT_EQ(entry.path().filename().string().find("disc.building"), std::string::npos);
    }
  }
}

TEST_F(Discs, OpeningSomethingThatIsNotADiscFails) {
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;
    const char* message;
  } rows[] = {
      {"no folder", [](const fs::path&) {}, "no such disc folder"},
      {"no catalogue", [](const fs::path& d) { fs::create_directories(d); }, "no catalogue.db"},
      {"not SQLite", [](const fs::path& d) { Write(d / "catalogue.db", std::string(4096, 'z')); },
       "unreadable catalogue (the catalogue is damaged)"},
      {"foreign SQLite",
       [](const fs::path& d) {
         fs::create_directories(d);
         viewer::Database db((d / "catalogue.db").string(),
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
         db.Execute("CREATE TABLE t (x)");
       },
       "not a Quillon disc"},
  };
  for (const auto& row : rows) {
    const fs::path d = base_ / row.name;
    row.make(d);
    try {
      viewer::DiscViewer viewer(d);
      ADD_FAILURE() << row.name;
    } catch (const viewer::DiscError& e) {
      EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos)
          << row.name << ": " << e.what();
    }
  }
}

TEST_F(Discs, CheckFindsMissingStrayAndMisnamedFiles) {
  Create();
  fs::remove(disc_ / "docs" / "lum00000" / "lum00003.txt");
  Write(disc_ / "docs" / "lum00000" / "lum00099.htm", "stray");
  Write(disc_ / "docs" / "lum00000" / "readme", "odd");
  const auto problems = disc::CheckDisc(disc_);
  ASSERT_EQ(problems.size(), 3u);
  std::string all;
  for (const auto& p : problems) all += p + "\n";
  EXPECT_NE(all.find("missing file docs/lum00000/lum00003.txt"), std::string::npos) << all;
  EXPECT_NE(all.find("lum00099.htm: no catalogue entry"), std::string::npos) << all;
  EXPECT_NE(all.find("readme: not a document file name"), std::string::npos) << all;
}

TEST_F(Discs, AddAndShowOneDocument) {
  Create();
  Write(base_ / "new.html", "<p>new</p>");
  disc::AddOptions add;
  add.url = "http://site.example/new.html";
  add.file = base_ / "new.html";
  add.staleAfter = 0;
  const disc::DocumentRow row = disc::AddDocument(disc_, add);
  EXPECT_EQ(row.number, 10);
  EXPECT_EQ(row.extension, "htm");
  const auto shown = disc::FindDocument(disc_, "10");
  ASSERT_TRUE(shown.has_value());
  EXPECT_EQ(shown->url, "http://site.example/new.html");
  EXPECT_EQ(disc::FindDocument(disc_, "http://site.example/new.html")->number, 10);
  EXPECT_FALSE(disc::FindDocument(disc_, "http://site.example/none").has_value());
  EXPECT_THROW(disc::AddDocument(disc_, add), disc::ToolError);  // the address is taken
  EXPECT_TRUE(disc::CheckDisc(disc_).empty());
}

TEST_F(Discs, LookupsForgiveAddressSpellingsAndFolderSlashes) {
  Write(mirror_ / "site.example" / "index.html?lang=en", "<p>english</p>");
  Write(mirror_ / "site.example" / "caf\xC3\xA9.html", "<p>cafe</p>");
  Create(false);
  auto viewer = std::make_unique<viewer::DiscViewer>(disc_, 3);
  ASSERT_EQ(QuillonSupportProc(1, viewer.get()), viewer.get());
  const struct {
    const char* asked;
    const char* url;  // of the entry found; empty: none
    const char* extension;
    const char* redirect;
  } rows[] = {
      {"HTTP://Site.Example:80/a/page.HTML", "http://site.example/a/page.HTML", "htm", ""},
      {"http://site.example/caf%c3%a9.html", "http://site.example/caf%C3%A9.html", "htm", ""},
      {"http://site.example/index.html?lang=en", "http://site.example/index.html?lang=en", "htm",
       ""},
      {"http://site.example", "http://site.example/", "", "http://site.example/index.html"},
      {"http://site.example/a", "http://site.example/a", "", "http://site.example/a/"},
      {"http://site.example/img", "", "", ""},  // a folder without an index page
      {"http://site.example/a?x=1", "", "", ""},
      {"http://site.example:8080/a/page.HTML", "", "", ""},
  };
  for (const auto& row : rows) {
    CatalogueEntry entry;
    const bool found = FindEntryByUrl(row.asked, entry);
    EXPECT_EQ(found, row.url[0] != '\0') << row.asked;
    if (!found) continue;
    EXPECT_EQ(entry.url, row.url) << row.asked;
    EXPECT_EQ(entry.extension, row.extension) << row.asked;
    EXPECT_EQ(entry.redirectUrl, row.redirect) << row.asked;
  }
  testing::UnlinkViewer();
  viewer.reset();
  // Stored in the same form, whatever the spelling given to `add`.
  Write(base_ / "new.html", "x");
  disc::AddOptions add{.url = "HTTP://New.Example:80", .file = base_ / "new.html"};
  EXPECT_EQ(disc::AddDocument(disc_, add).url, "http://new.example/");
  EXPECT_TRUE(disc::CheckDisc(disc_).empty());
}

// An address the disc holds with other cache-busting parameters, or a page asked with a query
// the disc never saw, still finds its copy; a query that may choose other content does not.
TEST_F(Discs, LookupsForgiveCacheBustersAndPageQueries) {
  for (const char* name : {"app.js?v=3", "feed.html?lang=en&_=17", "search.html", "list.html",
                           "list.html?page=2", "data.json", "pydoctheme.css?2022.1.css"}) {
    Write(mirror_ / "site.example" / name, "x");
  }
  Create(false);
  viewer::DiscViewer viewer(disc_, 3);
  ASSERT_EQ(QuillonSupportProc(1, &viewer), &viewer);
  const std::string site = "http://site.example/";
  const struct {
    const char* asked;
    const char* found;  // the entry's address without the site; null: none
  } rows[] = {
      {"app.js?v=3", "app.js?v=3"},                  // exact
      {"style.css?v=4", "style.css"},                // a buster the disc lacks
      {"style.css?_=1&cb=2&t=3&ts=4", "style.css"},  // several
      {"app.js?v=5", "app.js?v=3"},                  // busters on both sides
      {"app.js", "app.js?v=3"},                      // and none asked
      {"feed.html?ver=2&lang=en", "feed.html?lang=en&_=17"},
      {"pydoctheme.css?2022.1", "pydoctheme.css?2022.1"},  // wget's added .css taken off
      {"search.html?q=asyncio", "search.html"},            // a page without queries on the disc
      {"search.html?q=asyncio&_=9", "search.html"},
      {"list.html?page=3", nullptr},   // the disc holds another query of it
      {"data.json?x=1", nullptr},      // no page: the query may matter
      {"style.css?lang=en", nullptr},  // no buster
      {"app.js?v=3&x=1", nullptr},
      {"style.css?version2=1", nullptr},
  };
  for (const auto& row : rows) {
    CatalogueEntry entry;
    const bool found = FindEntryByUrl((site + row.asked).c_str(), entry);
    EXPECT_EQ(found, row.found != nullptr) << row.asked << " found " << entry.url;
    if (found && row.found != nullptr) {
      EXPECT_EQ(entry.url, site + row.found) << row.asked;
    }
  }
  testing::UnlinkViewer();

  // The not-on-disc page searches for what was asked of the site's own search.
  const struct {
    const char* address;
    const char* words;
  } searches[] = {
      {"http://h/search.html?q=asyncio", "asyncio"},
      {"http://h/find?lang=en&query=event+loop", "event loop"},
      {"http://h/?s=caf%C3%A9", "caf\xC3\xA9"},
      {"http://h/?search=tide&q=", "tide"},  // an empty q= is no search
      {"http://h/?q=%0A", ""},
      {"http://h/search.html", ""},
      {"http://h/?sq=x", ""},
  };
  for (const auto& row : searches) {
    EXPECT_EQ(viewer::SearchWordsOf(row.address), row.words) << row.address;
  }
}

// `check` compares each file with the size, and with --deep the SHA-1, recorded at build time;
// a copy the proxy updates (its date changes with it) is no longer compared.
TEST_F(Discs, CheckComparesFilesWithWhatWasRecorded) {
  const fs::path style = disc_ / "docs" / "lum00000" / "lum00006.css";  // "body{}"
  const struct {
    const char* name;
    std::function<void()> change;
    bool deep;
    const char* problem;  // null: none
  } rows[] = {
      {"intact", [] {}, true, nullptr},
      {"shortened", [&] { Write(style, "body"); }, false, "has 4 bytes, 6 recorded"},
      {"same size, other bytes", [&] { Write(style, "BODY{}"); }, false, nullptr},
      {"same size, other bytes, deep", [&] { Write(style, "BODY{}"); }, true, "SHA-1"},
      {"updated with its date",
       [&] {
         Write(style, "p{}");
         auto db = viewer::OpenCatalogue(disc_, true);
         db->Execute("UPDATE documents SET last_modified = 1 WHERE number = 6");
       },
       true, nullptr},
  };
  for (const auto& row : rows) {
    fs::remove_all(disc_);
    Create(false);
    row.change();
    const auto problems = disc::CheckDisc(disc_, row.deep);
    ASSERT_EQ(problems.size(), row.problem != nullptr ? 1u : 0u) << row.name;
    if (row.problem != nullptr) {
      EXPECT_NE(problems[0].find(row.problem), std::string::npos)
          << row.name << ": " << problems[0];
    }
  }
}

// Answers are remembered, and a change another process makes is seen by the very next lookup
// once the folder is asked on every lookup (and by default within the recheck time).
TEST_F(Discs, RememberedAnswersGiveWayToEveryChange) {
  Create(false);
  viewer::DiscViewer viewer(
      disc_, 3, {.settle = std::chrono::milliseconds(0), .recheck = std::chrono::microseconds(0)});
  ASSERT_EQ(QuillonSupportProc(1, &viewer), &viewer);
  auto writer = viewer::OpenCatalogue(disc_, true);  // as quillon-disc add would
  Write(base_ / "new.html", "<p>new</p>");
  const struct {
    const char* name;
    const char* asked;
    std::function<void()> change;
    const char* typeAfter;  // of the entry found after the change; null: none
  } rows[] = {
      {"added", "http://site.example/new.html",
       [&] {
         disc::AddDocument(disc_,
                           {.url = "http://site.example/new.html", .file = base_ / "new.html"});
       },
       ""},
      {"retyped", "http://site.example/style.css",
       [&] {
         writer->Execute(
             "UPDATE documents SET content_type = 'text/x-new' WHERE url LIKE '%style.css'");
       },
       "text/x-new"},
      {"removed", "http://site.example/a/page.HTML",
       [&] { writer->Execute("DELETE FROM documents WHERE url LIKE '%page.HTML'"); }, nullptr},
      {"folder gains an index", "http://site.example/img",
       [&] {
         writer->Execute(
             "UPDATE documents SET url = 'http://site.example/img/' WHERE url LIKE "
             "'%photo.jpeg'");
       },
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    CatalogueEntry before, again, after;
    const bool found = FindEntryByUrl(row.asked, before);
    const auto remembered = viewer.catalogue().remembered();
    EXPECT_EQ(FindEntryByUrl(row.asked, again), found);
    EXPECT_EQ(again.contentType, before.contentType);
    EXPECT_EQ(viewer.catalogue().remembered(), remembered + 1) << "asked again: from memory";
    row.change();
    ASSERT_EQ(FindEntryByUrl(row.asked, after), row.typeAfter != nullptr);
    if (row.typeAfter != nullptr) {
      EXPECT_EQ(after.contentType, row.typeAfter);
    }
  }
  // By number as well.
  CatalogueEntry entry;
  ASSERT_TRUE(FindEntryByNumber(1, entry));
  ASSERT_TRUE(FindEntryByNumber(1, entry));
  writer->Execute("DELETE FROM documents WHERE number = 1");
  EXPECT_FALSE(FindEntryByNumber(1, entry));

  viewer::DiscViewer lazy(disc_, 3, {.settle = std::chrono::milliseconds(0)});
  Catalogue& catalogue = *lazy.GetCatalogue();
  ASSERT_NE(catalogue.SeekUrl("http://site.example/style.css"), 0);
  writer->Execute("DELETE FROM documents WHERE url LIKE '%style.css'");
  std::this_thread::sleep_for(lazy.catalogue().recheck() * 2);
  EXPECT_EQ(catalogue.SeekUrl("http://site.example/style.css"), 0);
}

// Lookups that reach SQLite never keep a writer out, whichever journal the catalogue has.
TEST_F(Discs, LookupsLetWritersIn) {
  for (const char* journal : {"WAL", "DELETE"}) {
    SCOPED_TRACE(journal);
    fs::remove_all(disc_);
    Create(false);
    viewer::OpenCatalogue(disc_, true)
        ->Execute((std::string("PRAGMA journal_mode = ") + journal).c_str());
    viewer::DiscViewer viewer(
        disc_, 3,
        {.settle = std::chrono::milliseconds(0), .recheck = std::chrono::microseconds(0)});
    ASSERT_EQ(QuillonSupportProc(1, &viewer), &viewer);
    CatalogueEntry entry;
    ASSERT_TRUE(FindEntryByNumber(2, entry));
    auto writer = viewer::OpenCatalogue(disc_, true);
    writer->Execute("PRAGMA busy_timeout = 50");
    EXPECT_NO_THROW(writer->Execute("DELETE FROM documents WHERE number = 2"));
    EXPECT_FALSE(FindEntryByNumber(2, entry));
    testing::UnlinkViewer();
  }
}

TEST_F(Discs, FullTextSearchOverPages) {
  Write(mirror_ / "site.example" / "tides.html",
        "<html><head><title>Tide tables</title><style>.tide{}</style></head><body>"
        "<script>var harbour = 'tide';</script><p>High tide at the harbour &amp; the pier.</p>");
  Write(mirror_ / "site.example" / "ferry.html",
        "<title>Ferries</title><p>The ferry leaves when the tide is high.</p>");
  Write(mirror_ / "site.example" / "tide.css", "tide{}");
  Create(false);
  auto db = viewer::OpenCatalogue(disc_, false);
  const struct {
    const char* words;
    std::vector<std::string> urls;  // best first
  } rows[] = {
      {"tide", {"http://site.example/tides.html", "http://site.example/ferry.html"}},
      {"TIDE ferry", {"http://site.example/ferry.html"}},
      {"pier &", {"http://site.example/tides.html"}},     // '&' is no word
      {"var", {}},                                        // script text is not indexed
      {"\"harbour", {"http://site.example/tides.html"}},  // a quote is no operator
      {"", {}},
  };
  for (const auto& row : rows) {
    const viewer::SearchResults results = viewer::Search(*db, row.words, 0, 20);
    std::vector<std::string> urls;
    for (const auto& hit : results.hits) urls.push_back(hit.url);
    EXPECT_EQ(urls, row.urls) << row.words;
    EXPECT_EQ(results.total, static_cast<std::int64_t>(row.urls.size())) << row.words;
  }
  const auto hit = viewer::Search(*db, "pier", 0, 20);
  ASSERT_EQ(hit.hits.size(), 1u);
  EXPECT_EQ(hit.hits[0].title, "Tide tables");
  EXPECT_NE(hit.hits[0].snippet.find("harbour & the \x02pier\x03"), std::string::npos)
      << hit.hits[0].snippet;
  db.reset();
  // `add` indexes its page; `index` rebuilds the whole index.
  Write(base_ / "new.html", "<p>lighthouse keeper</p>");
  disc::AddOptions add{.url = "http://site.example/new.html", .file = base_ / "new.html"};
  disc::AddDocument(disc_, add);
  EXPECT_EQ(viewer::Search(*viewer::OpenCatalogue(disc_, false), "lighthouse", 0, 20).total, 1);
  EXPECT_EQ(disc::IndexDisc(disc_), 6u);
  EXPECT_EQ(viewer::Search(*viewer::OpenCatalogue(disc_, false), "lighthouse", 0, 20).total, 1);
}

TEST(DiscTool, MirrorNamesAndVisibleText) {
  const struct {
    const char* file;
    const char* name;
    const char* extension;
  } names[] = {
      {"index.html?lang=en", "index.html?lang=en", "html"},
      {"index.html@lang=en", "index.html?lang=en", "html"},  // --restrict-file-names=windows
      {"a.html?x=1.html", "a.html?x=1", "html"},             // --adjust-extension
      {"page.PHP?v=1.5", "page.PHP?v=1.5", "php"},
      // --adjust-extension's own extension after the query, whatever the type.
      {"pydoctheme.css?2022.1.css", "pydoctheme.css?2022.1", "css"},
      {"app.js?v=3.js", "app.js?v=3", "js"},
      {"font.woff2?v=1.WOFF2", "font.woff2?v=1", "woff2"},
      {"page.php?id=3.html", "page.php?id=3", "html"},  // added by type: a page
      {"search@q=tide.html", "search?q=tide", "html"},
      {"mail@home.html", "mail@home.html", "html"},  // an '@' without a query is a name
      {"plain.jpeg", "plain.jpeg", "jpeg"},
  };
  for (const auto& row : names) {
    const disc::MirrorName split = disc::SplitMirrorName(row.file);
    EXPECT_EQ(split.name, row.name) << row.file;
    EXPECT_EQ(split.extension, row.extension) << row.file;
  }
  const struct {
    const char* html;
    const char* title;
    const char* body;
  } pages[] = {
      {"<title>A &amp; B</title><p>one</p>", "A & B", "one"},
      {"<p>x</p><SCRIPT>if (a<b) y()</SCRIPT><style>p{}</style><p>z</p>", "", "x z"},
      {"<a title='1>2' href=\"q\">link</a>&#233;&#xE9;&bogus;", "", "link \u00E9\u00E9&bogus;"},
      {"a <!-- hidden <p> --> b\n\t c", "", "a b c"},
      {"1 < 2 &lt; 3", "", "1 < 2 < 3"},
  };
  for (const auto& row : pages) {
    const viewer::PageText text = viewer::ExtractPageText(row.html);
    EXPECT_EQ(text.title, row.title) << row.html;
    EXPECT_EQ(text.body, row.body) << row.html;
  }
}

TEST(DiscTool, DurationsAndExtensions) {
  EXPECT_EQ(disc::ParseDuration("45s"), 45);
  EXPECT_EQ(disc::ParseDuration("30m"), 1800);
  EXPECT_EQ(disc::ParseDuration("12h"), 43200);
  EXPECT_EQ(disc::ParseDuration("7d"), 604800);
  for (const char* bad : {"", "7", "d", "7w", "-1d", "1.5h", "7dd"}) {
    EXPECT_THROW(disc::ParseDuration(bad), disc::ToolError) << bad;
  }
  const struct {
    const char* in;
    const char* extension;
    const char* type;
  } rows[] = {{"html", "htm", ""},
              {"HTML", "htm", ""},
              {"jpeg", "jpg", ""},
              {"tiff", "tif", ""},
              {"mpeg", "mpg", ""},
              {"gif", "gif", ""},
              {"png", "png", "image/png"},
              {"weird", "weird", "application/octet-stream"},
              {"", "", ""}};
  for (const auto& row : rows) {
    const disc::FoldedType folded = disc::FoldExtension(row.in);
    EXPECT_EQ(folded.extension, row.extension) << row.in;
    EXPECT_EQ(folded.contentType, row.type) << row.in;
  }
}

}  // namespace
}  // namespace quillon
