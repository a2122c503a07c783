// What --update-disc puts on a disc: only answers a shared store may keep, new documents under
// names the desktop will not run, addresses the disc format holds, and no more than the run's
// limit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "disc_builder.h"
#include "disc_updater.h"

namespace quillon::host {
namespace {

namespace fs = std::filesystem;
namespace http = boost::beast::http;
using FieldList = std::vector<std::pair<std::string, std::string>>;

RequestHead Request(const FieldList& fields) {
  RequestHead head;
  head.method(http::verb::get);
  head.target("/");
  for (const auto& [name, value] : fields) head.insert(name, value);
  return head;
}

ResponseHead Answer(const FieldList& fields, unsigned status = 200) {
  ResponseHead head;
  head.result(status);
  for (const auto& [name, value] : fields) head.insert(name, value);
  return head;
}

TEST(DiscUpdater, OnlyWhatASharedStoreMayKeep) {
  const struct {
    const char* name;
    FieldList request;
    FieldList answer;
    bool shared;
  } rows[] = {
      {"plain", {}, {{"Cache-Control", "max-age=60, public"}}, true},
      {"a session cookie sent", {{"Cookie", "session=1"}}, {}, false},
      {"credentials sent", {{"Authorization", "Basic YTpi"}}, {}, false},
      {"a cookie set", {}, {{"Set-Cookie", "session=2"}}, false},
      {"private", {}, {{"Cache-Control", "max-age=60, Private"}}, false},
      {"private naming fields", {}, {{"Cache-Control", "private=\"Set-Cookie, X\""}}, false},
      {"no-store, second field",
       {},
       {{"Cache-Control", "public"}, {"cache-control", "no-store"}},
       false},
      {"no-store asked by the request", {{"Cache-Control", "no-store"}}, {}, false},
      {"no-store only inside an argument", {}, {{"Cache-Control", "ext=\"a, no-store\""}}, true},
      {"private-ish name", {}, {{"Cache-Control", "privately, no-storage"}}, true},
      {"no-cache may be kept", {}, {{"Cache-Control", "no-cache"}}, true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(MayShare(Request(row.request), Answer(row.answer)), row.shared) << row.name;
  }
}

TEST(DiscUpdater, NewDocumentsAreNamedByTheirType) {
  const struct {
    const char* type;
    const char* extension;
  } rows[] = {
      {"text/html; charset=utf-8", "htm"},
      {" TEXT/CSS ", "css"},
      {"application/javascript", "js"},
      {"image/png", "png"},
      {"font/woff2", "woff2"},
      {"video/mp4", "mp4"},
      {"application/pdf", "pdf"},
      {"application/json", "json"},
      {"application/zip", "zip"},
      {"application/x-desktop", "bin"},
      {"text/x-shellscript", "bin"},
      {"application/java-archive", "bin"},
      {"application/x-msdownload", "bin"},
      {"application/x-executable", "bin"},
      {"text/htmlx", "bin"},
      {"", "bin"},
  };
  for (const auto& row : rows) EXPECT_EQ(NewDocumentExtension(row.type), row.extension) << row.type;
}

TEST(DiscUpdater, UpdateLimitText) {
  const struct {
    const char* text;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> limit;
  } rows[] = {
      {"10000,1GiB", std::pair{10000ULL, 1ULL << 30}},
      {"5", std::pair{5ULL, kDefaultNewPageBytes}},
      {"0,0", std::pair{0ULL, 0ULL}},
      {"20,512k", std::pair{20ULL, 512ULL << 10}},
      {"20,3MB", std::pair{20ULL, 3000000ULL}},
      {"20,100", std::pair{20ULL, 100ULL}},
      {"", std::nullopt},
      {",1G", std::nullopt},
      {"10,", std::nullopt},
      {"10,1X", std::nullopt},
      {"-1", std::nullopt},
      {"1 0", std::nullopt},
      {"10,99999999999999999999", std::nullopt},
      {"10,20000000TiB", std::nullopt},
  };
  for (const auto& row : rows) {
    const auto limit = ParseUpdateLimit(row.text);
    ASSERT_EQ(limit.has_value(), row.limit.has_value()) << row.text;
    if (!limit) continue;
    EXPECT_EQ(limit->pages, row.limit->first) << row.text;
    EXPECT_EQ(limit->bytes, row.limit->second) << row.text;
  }
}

class UpdatedDisc : public ::testing::Test {
 public:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("quillon-update-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    const fs::path page = base_ / "mirror" / "harbour.example" / "index.html";
    fs::create_directories(page.parent_path());
    std::ofstream(page) << "<h1>disc copy</h1>";
    disc::CreateOptions options;
    options.disc = disc_ = base_ / "disc";
    options.mirror = base_ / "mirror";
    disc::CreateDisc(options);
  }
  void TearDown() override { fs::remove_all(base_); }

  // Puts one answer through the updater; whether it went on the disc.
  static bool Offer(DiscUpdater& updater, const std::string& url, const FieldList& request,
                    const FieldList& answer, const std::string& body) {
    const auto copy = updater.Begin(url, Request(request), Answer(answer));
    if (!copy) return false;
    copy->Append(body);
    return updater.Commit(*copy);
  }
  std::optional<disc::DocumentRow> Find(const std::string& url) const {
    return disc::FindDocument(disc_, url);
  }

  fs::path base_, disc_;
};

TEST_F(UpdatedDisc, OnlySharedDocumentsUnderSafeNames) {
  DiscUpdater updater(disc_, true);
  const std::string site = "http://harbour.example/";
  const std::string home = site + "index.html";  // the disc's own page
  const FieldList html = {{"Content-Type", "text/html"}};
  const struct {
    const char* name;
    std::string url;
    FieldList request;
    FieldList answer;
    bool stored;
    const char* extension;
  } rows[] = {
      {"a private page for a session",
       home,
       {{"Cookie", "session=1"}},
       {{"Content-Type", "text/html"}, {"Cache-Control", "private"}},
       false,
       ""},
      {"a page that sets a cookie",
       home,
       {},
       {{"Content-Type", "text/html"}, {"Set-Cookie", "a=b"}},
       false,
       ""},
      {"a shared new copy", home, {}, html, true, "htm"},
      {"a new style sheet", site + "site.css", {}, {{"Content-Type", "text/css"}}, true, "css"},
      {"a desktop entry",
       site + "x.desktop",
       {},
       {{"Content-Type", "application/x-desktop"}},
       true,
       "bin"},
      {"a script under a page's name",
       site + "run.htm",
       {},
       {{"Content-Type", "text/x-sh"}},
       true,
       "bin"},
      {"no type", site + "tool.exe", {}, {}, true, "bin"},
      {"an address the disc format cannot hold",
       site + std::string(1010, 'a'),
       {},
       html,
       false,
       ""},
      {"the longest it can", site + std::string(1023 - site.size(), 'b'), {}, html, true, "htm"},
      {"another site", "http://elsewhere.example/", {}, html, false, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Offer(updater, row.url, row.request, row.answer, row.name), row.stored) << row.name;
    const auto found = Find(row.url);
    ASSERT_EQ(found.has_value(), row.stored || row.url == home) << row.name;
    if (!found) continue;
    std::ifstream file(disc_ / disc::DocumentPath(found->number, found->extension));
    const std::string copy(std::istreambuf_iterator<char>(file), {});
    // A copy that was not stored leaves the disc's own as it was.
    EXPECT_EQ(copy == row.name, row.stored) << row.name << ": " << copy;
    if (row.stored) {
      EXPECT_EQ(found->extension, row.extension) << row.name;
    }
  }
  EXPECT_EQ(disc::CheckDisc(disc_), std::vector<std::string>{});
}

TEST_F(UpdatedDisc, NewPagesStopAtTheLimitWhichIsSaidOnce) {
  const struct {
    const char* name;
    UpdateLimit limit;
    std::size_t added;
  } rows[] = {
      {"by pages", {.pages = 2, .bytes = 1 << 20}, 2},
      {"by bytes", {.pages = 100, .bytes = 25}, 2},  // 10-byte pages
      {"none", {.pages = 0, .bytes = 1 << 20}, 0},
  };
  for (const auto& row : rows) {
    SetUp();
    DiscUpdater updater(disc_, true, row.limit);
    ::testing::internal::CaptureStderr();
    std::size_t added = 0;
    for (int i = 0; i < 5; ++i) {
      added += Offer(updater, "http://harbour.example/p" + std::to_string(i), {},
                     {{"Content-Type", "text/html"}}, "0123456789");
    }
    // Pages the disc holds are still brought up to date.
    EXPECT_TRUE(Offer(updater, "http://harbour.example/index.html", {},
                      {{"Content-Type", "text/html"}}, "<h1>new</h1>"))
        << row.name;
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(added, row.added) << row.name;
    std::size_t lines = 0;
    for (std::size_t at = said.find("--update-limit"); at != std::string::npos;
         at = said.find("--update-limit", at + 1)) {
      ++lines;
    }
    EXPECT_EQ(lines, 1u) << row.name << ": " << said;
  }
}

TEST_F(UpdatedDisc, CopiesStayBeneathTheDisc) {
  // A hostile disc's document folder that is a link out of it takes no copy there.
  const auto home = Find("http://harbour.example/index.html");
  ASSERT_TRUE(home.has_value());
  const fs::path folder = disc_ / disc::DocumentPath(home->number, home->extension).parent_path();
  const fs::path outside = base_ / "outside";
  fs::rename(folder, outside);
  fs::create_directory_symlink(outside, folder);
  DiscUpdater updater(disc_, true);
  EXPECT_FALSE(Offer(updater, "http://harbour.example/index.html", {},
                     {{"Content-Type", "text/html"}}, "<h1>planted</h1>"));
  for (const auto& file : fs::directory_iterator(outside)) {
    std::ifstream in(file.path());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "<h1>disc copy</h1>");
  }
}

TEST_F(UpdatedDisc, UnfinishedCopiesGo) {
  const fs::path left = disc_ / kUpdatesFolder / "copy-7";
  fs::create_directories(left.parent_path());
  std::ofstream(left) << "half a page";
  DiscUpdater::RemoveUnfinished(disc_);
  EXPECT_FALSE(fs::exists(left));
  DiscUpdater::RemoveUnfinished(base_ / "no disc here");  // nothing to do, nothing thrown
}

}  // namespace
}  // namespace quillon::host
