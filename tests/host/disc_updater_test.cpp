// What --update-disc puts on a disc: only answers a shared store may keep, new documents under
// names the desktop will not run, addresses the disc format holds, and no more than the run's
// limit.
#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

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

// `plain` in a coding, by that coding's own encoder. windowBits for zlib: 16 + 15 gzip, 15 zlib
// framing, -15 raw deflate.
std::string Zlib(std::string_view plain, int windowBits) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 1, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string coded(deflateBound(&z, plain.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = reinterpret_cast<Bytef*>(coded.data());
  z.avail_out = static_cast<uInt>(coded.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  coded.resize(z.total_out);
  deflateEnd(&z);
  return coded;
}
std::string Gzip(std::string_view plain) { return Zlib(plain, 16 + MAX_WBITS); }
std::string Brotli(std::string_view plain) {
  std::size_t size = BrotliEncoderMaxCompressedSize(plain.size());
  std::string coded(size, '\0');
  EXPECT_TRUE(BrotliEncoderCompress(1, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, plain.size(),
                                    reinterpret_cast<const std::uint8_t*>(plain.data()), &size,
                                    reinterpret_cast<std::uint8_t*>(coded.data())));
  coded.resize(size);
  return coded;
}
std::string Zstd(std::string_view plain) {
  std::string coded(ZSTD_compressBound(plain.size()), '\0');
  const std::size_t size = ZSTD_compress(coded.data(), coded.size(), plain.data(), plain.size(), 1);
  EXPECT_FALSE(ZSTD_isError(size));
  coded.resize(size);
  return coded;
}

// A page long enough to take several of the decoder's output blocks.
std::string LongPage() {
  std::string page;
  for (int i = 0; page.size() < 3 * BodyDecoder::kDecodeBlock; ++i) {
    page += "<p>line " + std::to_string(i * 7919 % 1000) + "</p>\n";
  }
  return page;
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

TEST(BodyDecoder, EachCodingBlockByBlockWithinItsBound) {
  const std::string page = LongPage();
  const std::string bomb(kMostUpdateBytes + 1024 * 1024, '\0');
  std::string brokenGzip = Gzip(page);
  brokenGzip[brokenGzip.size() / 2] ^= 0x55;
  brokenGzip[brokenGzip.size() / 2 + 1] ^= 0x55;
  const std::string gzipped = Gzip(page);
  const struct {
    const char* name;
    Coding coding;
    std::string coded;
    std::size_t block;     // fed in blocks of this size
    std::string expected;  // the decoded copy, when it decodes
    bool finished;
    const char* error;  // a word of error(), when it fails
  } rows[] = {
      {"identity", Coding::kIdentity, page, 4096, page, true, nullptr},
      {"gzip, a byte at a time", Coding::kGzip, Gzip(page), 1, page, true, nullptr},
      {"gzip of two members", Coding::kGzip, Gzip("one ") + Gzip("two"), 5, "one two", true,
       nullptr},
      {"deflate in zlib framing", Coding::kDeflate, Zlib(page, MAX_WBITS), 3, page, true, nullptr},
      {"deflate raw", Coding::kDeflate, Zlib(page, -MAX_WBITS), 1, page, true, nullptr},
      {"br", Coding::kBrotli, Brotli(page), 7, page, true, nullptr},
      {"zstd of two frames", Coding::kZstd, Zstd(page) + Zstd("end"), 11, page + "end", true,
       nullptr},
      {"gzip cut short", Coding::kGzip, gzipped.substr(0, gzipped.size() - 4), 64, "", false,
       nullptr},
      {"br cut short", Coding::kBrotli, Brotli(page).substr(0, 20), 64, "", false, nullptr},
      {"gzip broken", Coding::kGzip, brokenGzip, 64, "", false, "broken"},
      {"zstd that is not", Coding::kZstd, page, 64, "", false, "broken"},
      {"br with bytes after its end", Coding::kBrotli, Brotli(page) + "x", 1 << 20, "", false,
       "follows"},
      {"a gzip bomb", Coding::kGzip, Gzip(bomb), 1 << 16, "", false, "size limit"},
      {"a br bomb", Coding::kBrotli, Brotli(bomb), 1 << 16, "", false, "size limit"},
      {"a zstd bomb", Coding::kZstd, Zstd(bomb), 1 << 16, "", false, "size limit"},
  };
  for (const auto& row : rows) {
    BodyDecoder decoder(row.coding, kMostUpdateBytes);
    std::string out;
    std::uint64_t outSize = 0;
    std::size_t largestRun = 0;
    bool fed = true;
    for (std::size_t at = 0; at < row.coded.size() && fed; at += row.block) {
      fed = decoder.Feed(std::string_view(row.coded).substr(at, row.block),
                         [&](std::string_view run) {
                           outSize += run.size();
                           largestRun = std::max(largestRun, run.size());
                           if (out.size() < page.size() + 16) out.append(run);
                         });
    }
    EXPECT_EQ(decoder.Finished(), row.finished) << row.name;
    EXPECT_LE(outSize, kMostUpdateBytes) << row.name;
    EXPECT_EQ(decoder.size(), outSize) << row.name;
    if (row.coding != Coding::kIdentity) {
      EXPECT_LE(largestRun, BodyDecoder::kDecodeBlock) << row.name;
    }
    if (row.error != nullptr) {
      EXPECT_FALSE(fed) << row.name;
      ASSERT_NE(decoder.error(), nullptr) << row.name;
      EXPECT_NE(std::string(decoder.error()).find(row.error), std::string::npos)
          << row.name << ": " << decoder.error();
    } else {
      EXPECT_TRUE(fed) << row.name << ": " << (decoder.error() ? decoder.error() : "");
      if (row.finished) {
        EXPECT_TRUE(out == row.expected) << row.name << ": " << out.substr(0, 60);
      }
    }
  }
}

TEST(BodyDecoder, CodingNames) {
  const struct {
    const char* value;
    std::optional<Coding> coding;
  } rows[] = {
      {"", Coding::kIdentity},   {"identity", Coding::kIdentity}, {"GZIP", Coding::kGzip},
      {"x-gzip", Coding::kGzip}, {" deflate ", Coding::kDeflate}, {"br", Coding::kBrotli},
      {"zstd", Coding::kZstd},   {"gzip, br", std::nullopt},      {"compress", std::nullopt},
      {"brotli", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(CodingOf(row.value), row.coding) << row.value;
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

TEST_F(UpdatedDisc, CodedCopiesGoOnDecodedOrNotAtAllSaidOnce) {
  const std::string page = LongPage();
  const std::string home = "http://harbour.example/index.html";
  const std::string bomb(kMostUpdateBytes + 1, ' ');
  const struct {
    const char* name;
    FieldList answer;
    std::string body;
    bool stored;
    const char* said;  // in the log, once; null: nothing said
  } rows[] = {
      {"gzip", {{"Content-Encoding", "gzip"}}, Gzip(page), true, nullptr},
      {"br", {{"Content-Encoding", "br"}}, Brotli(page), true, nullptr},
      {"zstd", {{"Content-Encoding", "zstd"}}, Zstd(page), true, nullptr},
      {"deflate", {{"Content-Encoding", "deflate"}}, Zlib(page, MAX_WBITS), true, nullptr},
      {"codings stacked in two fields",
       {{"Content-Encoding", "gzip"}, {"Content-Encoding", "br"}},
       Brotli(Gzip(page)),
       false,
       nullptr},
      {"a bomb", {{"Content-Encoding", "zstd"}}, Zstd(bomb), false, "size limit"},
      {"plain past the bound", {}, bomb, false, "size limit"},
      {"broken", {{"Content-Encoding", "br"}}, page, false, "broken"},
      {"cut short", {{"Content-Encoding", "gzip"}}, Gzip(page).substr(0, 100), false, "early"},
  };
  for (const auto& row : rows) {
    SetUp();
    DiscUpdater updater(disc_, false);
    FieldList answer = row.answer;
    answer.emplace_back("Content-Type", "text/html");
    ::testing::internal::CaptureStderr();
    bool stored = false;
    if (const auto copy = updater.Begin(home, Request({}), Answer(answer))) {
      // Fed in the network's blocks, as the relay does.
      for (std::size_t at = 0; at < row.body.size(); at += 16 * 1024) {
        copy->Append(std::string_view(row.body).substr(at, 16 * 1024));
      }
      stored = updater.Commit(*copy);
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(stored, row.stored) << row.name;
    const auto found = Find(home);
    ASSERT_TRUE(found.has_value()) << row.name;
    std::ifstream file(disc_ / disc::DocumentPath(found->number, found->extension));
    const std::string onDisc(std::istreambuf_iterator<char>(file), {});
    // Compared whole, said short: a page is too long for the log.
    EXPECT_TRUE(onDisc == (row.stored ? page : "<h1>disc copy</h1>"))
        << row.name << ": " << onDisc.substr(0, 60);
    const std::size_t first = said.find("not stored");
    if (row.said == nullptr) {
      EXPECT_EQ(first, std::string::npos) << row.name << ": " << said;
    } else {
      EXPECT_NE(said.find(row.said), std::string::npos) << row.name << ": " << said;
      EXPECT_EQ(said.find("not stored", first + 1), std::string::npos) << row.name << ": " << said;
    }
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
