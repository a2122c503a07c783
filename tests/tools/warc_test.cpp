// The WARC parsers and the streaming reader, on archives made in memory: sound, and broken the
// ways real files break (cut short, garbage between records, a damaged gzip member).
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "warc.h"
#include "warc_disc.h"

namespace quillon::warc {
namespace {

TEST(WarcHeads, RecordHeads) {
  const struct {
    const char* text;
    bool ok;
    const char* type;
    std::uint64_t length;
  } rows[] = {
      {"WARC/1.0\r\nWARC-Type: response\r\nContent-Length: 12\r\n\r\n", true, "response", 12},
      {"WARC/1.1\nwarc-type:resource\ncontent-length: 0\n\n", true, "resource", 0},
      {"WARC/1.1\r\nWARC-Type: a\r\n  folded\r\nContent-Length: 1\r\n\r\n", true, "a folded", 1},
      {"WARC/1.1\r\nWARC-Type: response\r\n\r\n", false, "", 0},  // no length
      {"WARC/1.1\r\nContent-Length: 12x\r\n\r\n", false, "", 0},  // bad length
      {"WARC/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", false, "", 0},
      {"WARC/2.0\r\nContent-Length: 1\r\n\r\n", false, "", 0},
      {"WARC/1.1\r\nno colon here\r\nContent-Length: 1\r\n\r\n", false, "", 0},
      {"WARC/1.1\r\n folded first\r\nContent-Length: 1\r\n\r\n", false, "", 0},
  };
  for (const auto& row : rows) {
    const auto head = ParseRecordHead(row.text);
    ASSERT_EQ(head.has_value(), row.ok) << row.text;
    if (!head) continue;
    EXPECT_EQ(head->Type(), row.type) << row.text;
    EXPECT_EQ(head->contentLength, row.length) << row.text;
  }
  const auto bracketed =
      ParseRecordHead("WARC/1.0\r\nWARC-Target-URI: <http://a.example/>\r\nContent-Length: 0\r\n");
  ASSERT_TRUE(bracketed);
  EXPECT_EQ(bracketed->TargetUri(), "http://a.example/");
}

TEST(WarcHeads, HttpHeadsDatesAndAddresses) {
  const struct {
    const char* text;
    int status;  // 0: refused
  } heads[] = {
      {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n", 200},
      {"HTTP/1.0 302\r\nLocation: /x\r\n\r\n", 302},
      {"HTTP/1.1 2x0 OK\r\n\r\n", 0},
      {"ICY 200 OK\r\n\r\n", 0},
      {"HTTP/1.1 099 Low\r\n\r\n", 0},
  };
  for (const auto& row : heads) {
    const auto head = ParseHttpHead(row.text);
    EXPECT_EQ(head ? head->status : 0, row.status) << row.text;
  }

  EXPECT_LT(*ParseWarcDate("2024-05-06T07:08:09Z"), *ParseWarcDate("2024-05-06T07:08:09.5Z"));
  EXPECT_EQ(*ParseWarcDate("1970-01-02T00:00:00Z"), 86400LL * 1000000000);
  EXPECT_EQ(*ParseWarcDate("2024"), *ParseWarcDate("2024-01-01T00:00:00Z"));
  for (const char* bad : {"", "2024-13-01T00:00:00Z", "2024-05-06T07:08:09", "yesterday",
                          "2024-05-06 07:08:09Z", "9999-12-31T23:59:59Z"}) {
    EXPECT_FALSE(ParseWarcDate(bad)) << bad;
  }
  EXPECT_EQ(FormatWarcDate(86400), "1970-01-02T00:00:00Z");

  const struct {
    const char* base;
    const char* to;
    const char* resolved;
  } addresses[] = {
      {"http://h.example/a/b.html", "https://o.example/", "https://o.example/"},
      {"https://h.example/a/b.html", "//o.example/x", "https://o.example/x"},
      {"http://h.example/a/b.html?q=1", "/root", "http://h.example/root"},
      {"http://h.example/a/b.html?q=1", "c.html", "http://h.example/a/c.html"},
      {"http://h.example/a/b.html", "?p=2", "http://h.example/a/b.html?p=2"},
      {"http://h.example", "dir/", "http://h.example/dir/"},
  };
  for (const auto& row : addresses) {
    EXPECT_EQ(ResolveAddress(row.base, row.to), row.resolved) << row.base << " + " << row.to;
  }
}

TEST(WarcBodies, ChunkedInEveryCut) {
  const std::string wire = "5;ext=1\r\nhello\r\n7\r\n, world\r\n0\r\nTrailer: x\r\n\r\nafter";
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    ChunkedDecoder decoder;
    std::string out;
    const Sink sink = [&](std::string_view piece) { out.append(piece); };
    ASSERT_TRUE(decoder.Feed(std::string_view(wire).substr(0, cut), sink)) << cut;
    ASSERT_TRUE(decoder.Feed(std::string_view(wire).substr(cut), sink)) << cut;
    EXPECT_TRUE(decoder.Done());
    EXPECT_EQ(out, "hello, world") << cut;
  }
  for (const char* broken : {"x\r\nabc", "\r\n", "3\r\nabcX", "fffffffffffffffffff\r\n"}) {
    ChunkedDecoder decoder;
    EXPECT_FALSE(decoder.Feed(broken, [](std::string_view) {})) << broken;
  }
  ChunkedDecoder unfinished;
  EXPECT_TRUE(unfinished.Feed("3\r\nab", [](std::string_view) {}));
  EXPECT_FALSE(unfinished.Done());
}

std::string Gzip(std::string_view data, int windowBits = 15 + 16) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()) + 64, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

TEST(WarcBodies, ContentCodings) {
  const std::string text(100000, 'q');
  const struct {
    const char* coding;
    std::string encoded;
    bool ok;
  } rows[] = {
      {"gzip", Gzip(text), true},
      {"x-gzip", Gzip(text.substr(0, 50000)) + Gzip(text.substr(50000)), true},  // two members
      {"deflate", Gzip(text, 15), true},                                         // zlib
      {"deflate", Gzip(text, -15), true},                                        // raw
      {"identity", text, true},
      {"gzip", Gzip(text).substr(0, 40), false},  // cut short
      {"gzip", "not gzip at all", false},
  };
  for (const auto& row : rows) {
    auto decoder = ContentDecoder::For(row.coding);
    ASSERT_TRUE(decoder);
    std::string out;
    const Sink sink = [&](std::string_view piece) { out.append(piece); };
    bool ok = true;
    for (std::size_t at = 0; at < row.encoded.size() && ok; at += 1000) {
      ok = decoder->Feed(std::string_view(row.encoded).substr(at, 1000), sink);
    }
    ok = ok && decoder->Finish(sink);
    EXPECT_EQ(ok, row.ok) << row.coding;
    if (row.ok) {
      EXPECT_EQ(out, text) << row.coding;
    }
  }
  EXPECT_FALSE(ContentDecoder::For("compress"));
}

std::string Record(const std::string& uri, const std::string& block) {
  return "WARC/1.1\r\nWARC-Type: resource\r\nWARC-Target-URI: " + uri +
         "\r\nContent-Length: " + std::to_string(block.size()) + "\r\n\r\n" + block + "\r\n\r\n";
}

struct Read {
  std::vector<std::string> uris;  // sound records, with the first bytes of their blocks
  std::vector<std::uint64_t> problems;
};

Read ReadAll(const std::string& archive) {
  Read read;
  MemoryInput input(archive);
  Reader reader(input, [&](const Problem& p) { read.problems.push_back(p.offset); });
  while (reader.Next()) {
    std::string block;
    char buffer[7];  // small pieces: the reader hands out any split
    for (std::size_t got; (got = reader.ReadBlock(buffer, sizeof buffer)) > 0;)
      block.append(buffer, got);
    if (reader.Finish()) read.uris.push_back(reader.head().TargetUri() + "=" + block);
  }
  return read;
}

TEST(WarcReader, SoundAndBrokenArchives) {
  const std::string a = Record("http://a/", "alpha"),
                    b = Record("http://b/", std::string(300000, 'b')),
                    c = Record("http://c/", "gamma");
  const std::string bBlock = "http://b/=" + std::string(300000, 'b');
  std::string flipped = Gzip(b);
  flipped[flipped.size() / 2] ^= 0x55;
  std::string badCheck = Gzip(b);
  badCheck[badCheck.size() - 6] ^= 1;  // the CRC-32 in the member's trailer
  const std::size_t gzA = Gzip(a).size();
  const struct {
    const char* name;
    std::string archive;
    std::vector<std::string> uris;
    std::vector<std::uint64_t> problems;
  } rows[] = {
      {"plain", a + b + c, {"http://a/=alpha", bBlock, "http://c/=gamma"}, {}},
      {"gzip per record",
       Gzip(a) + Gzip(b) + Gzip(c),
       {"http://a/=alpha", bBlock, "http://c/=gamma"},
       {}},
      {"one gzip member", Gzip(a + b + c), {"http://a/=alpha", bBlock, "http://c/=gamma"}, {}},
      {"plain, cut in a block", a + b.substr(0, 1000), {"http://a/=alpha"}, {a.size()}},
      {"plain, cut in a head", a + b.substr(0, 20), {"http://a/=alpha"}, {a.size()}},
      {"plain, garbage between",
       a + "junk\r\nmore junk" + c,
       {"http://a/=alpha", "http://c/=gamma"},
       {a.size()}},
      {"plain, wrong length",
       a + "WARC/1.1\r\nWARC-Target-URI: http://x/\r\nContent-Length: 9\r\n\r\n12345\r\n\r\n" + c,
       {"http://a/=alpha", "http://c/=gamma"},
       {a.size()}},
      {"gzip, cut in a member", Gzip(a) + Gzip(b).substr(0, 200), {"http://a/=alpha"}, {gzA}},
      {"gzip, damaged member",
       Gzip(a) + flipped + Gzip(c),
       {"http://a/=alpha", "http://c/=gamma"},
       {gzA}},
      {"gzip, bad check value",
       Gzip(a) + badCheck + Gzip(c),
       {"http://a/=alpha", "http://c/=gamma"},
       {gzA}},
      {"gzip, garbage between",
       Gzip(a) + "garbage" + Gzip(c),
       {"http://a/=alpha", "http://c/=gamma"},
       {gzA}},
      {"nothing", "", {}, {}},
      {"no archive", "hello world", {}, {0}},
  };
  for (const auto& row : rows) {
    const Read read = ReadAll(row.archive);
    EXPECT_EQ(read.uris.size(), row.uris.size()) << row.name;
    for (std::size_t i = 0; i < std::min(read.uris.size(), row.uris.size()); ++i) {
      EXPECT_EQ(read.uris[i].substr(0, 40), row.uris[i].substr(0, 40)) << row.name;
      EXPECT_EQ(read.uris[i].size(), row.uris[i].size()) << row.name;
    }
    EXPECT_EQ(read.problems, row.problems) << row.name;
  }
}

TEST(WarcImport, TypesOfAnswers) {
  const struct {
    const char* contentType;
    const char* url;
    const char* extension;
    const char* stored;
  } rows[] = {
      {"text/html", "http://h/", "htm", ""},
      {"TEXT/HTML", "http://h/a.php", "htm", ""},
      {"text/html; charset=iso-8859-1", "http://h/", "htm", "text/html; charset=iso-8859-1"},
      {"image/png", "http://h/logo", "png", "image/png"},
      {"application/x-thing", "http://h/file.DAT?x=1", "dat", "application/x-thing"},
      {"", "http://h/photo.jpeg", "jpg", ""},
      {"", "http://h/", "", ""},
      {"text/html\r\nX: y", "http://h/p.html", "htm", ""},
  };
  for (const auto& row : rows) {
    const disc::FoldedType type = disc::TypeOfAnswer(row.contentType, row.url);
    EXPECT_EQ(type.extension, row.extension) << row.contentType << " " << row.url;
    EXPECT_EQ(type.contentType, row.stored) << row.contentType << " " << row.url;
  }
}

// Records written by hand, the ways crawlers write them.
std::string Warc(const std::string& fields, const std::string& block) {
  return "WARC/1.0\r\n" + fields + "Content-Length: " + std::to_string(block.size()) + "\r\n\r\n" +
         block + "\r\n\r\n";
}

std::string Response(const std::string& uri, const std::string& http, const std::string& body,
                     const std::string& more = "",
                     const std::string& date = "2024-01-02T03:04:05Z") {
  return Warc(
      "WARC-Type: response\r\nWARC-Target-URI: " + uri + "\r\nWARC-Date: " + date + "\r\n" + more,
      "HTTP/1.1 " + http + "\r\n\r\n" + body);
}

std::string Revisit(const std::string& uri, const std::string& more) {
  return Warc("WARC-Type: revisit\r\nWARC-Target-URI: " + uri +
                  "\r\nWARC-Date: 2024-02-03T00:00:00Z\r\nWARC-Profile: "
                  "http://netpreserve.org/warc/1.0/revisit/identical-payload-digest\r\n" +
                  more,
              "HTTP/1.1 200 OK\r\nContent-Type: text/css\r\n\r\n");
}

// An ARC record: its header line, the full HTTP answer, a line end.
std::string Arc(const std::string& url, const std::string& block) {
  return url + " 10.0.0.1 20230405060708 text/html " + std::to_string(block.size()) + "\n" + block +
         "\n";
}

std::string ArcFile(const std::vector<std::string>& records) {
  const std::string version =
      "1 0 Crawler\nURL IP-address Archive-date Content-type Archive-length\n\n";
  std::string out = "filedesc://crawl.arc 0.0.0.0 20230405060708 text/plain " +
                    std::to_string(version.size()) + "\n" + version + "\n";
  for (const std::string& record : records) out += record;
  return out;
}

struct Imported {
  std::map<std::string, std::string> entries;  // address: body, or "-> target" for a redirect
  std::map<std::string, std::int64_t> captured;
  std::map<std::string, std::size_t> skipped;
  std::size_t problems = 0;
};

Imported Import(const std::vector<std::string>& archives) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() /
      ("quillon-warc-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
       "-" + std::to_string(reinterpret_cast<std::uintptr_t>(&archives)));
  fs::remove_all(dir);
  fs::create_directories(dir / "stage");
  std::vector<fs::path> files;
  for (const std::string& archive : archives) {
    files.push_back(dir / std::to_string(files.size()));
    std::ofstream(files.back(), std::ios::binary) << archive;
  }
  Imported out;
  {
    disc::WarcImport result = disc::ReadWarcs(
        files, dir / "stage",
        [&](const disc::fs::path&, std::uint64_t, const std::string&) { ++out.problems; }, nullptr);
    result.ForEachDocument([&](const disc::WarcEntry& entry) {
      std::ifstream in(entry.staged, std::ios::binary);
      std::ostringstream body;
      body << in.rdbuf();
      out.entries[entry.url] = body.str();
      out.captured[entry.url] = entry.captured;
    });
    result.ForEachRedirect(
        [&](const disc::WarcEntry& entry) { out.entries[entry.url] = "-> " + entry.redirectUrl; });
    out.skipped = result.summary.skipped;
  }
  fs::remove_all(dir);
  return out;
}

TEST(WarcImport, QuirksOfRealArchives) {
  const std::string html = "200 OK\r\nContent-Type: text/html";
  const std::string chunkedHead = html + "\r\nTransfer-Encoding: chunked\r\nContent-Length: -1";
  const std::string original =
      Response("http://h.example/site.css", "200 OK\r\nContent-Type: text/css", "body{color:red}",
               "WARC-Record-ID: <urn:uuid:1>\r\nWARC-Payload-Digest: sha1:AAA\r\n");
  const struct {
    const char* name;
    std::vector<std::string> archives;
    std::map<std::string, std::string> entries;  // every entry the import gives
    std::size_t problems;
  } rows[] = {
      {"de-chunked body stored under Transfer-Encoding: chunked",
       {Response("http://h.example/", chunkedHead, "<p>stored</p>")},
       {{"http://h.example/", "<p>stored</p>"}},
       0},
      {"hex-looking word that is no chunk line",
       {Response("http://h.example/", chunkedHead, "cafe au lait\r\nde la maison")},
       {{"http://h.example/", "cafe au lait\r\nde la maison"}},
       0},
      {"chunk size with white space and an extension",
       {Response("http://h.example/", chunkedHead, "3 ;a=b\r\nabc\r\n0\r\n\r\n")},
       {{"http://h.example/", "abc"}},
       0},
      {"chunked body still decoded",
       {Response("http://h.example/", chunkedHead, "5;x=1\r\nhello\r\n0\r\n\r\n")},
       {{"http://h.example/", "hello"}},
       0},
      {"chunks broken past their first line are skipped",
       {Response("http://h.example/", chunkedHead, "5\r\nhelloXX")},
       {},
       0},
      {"empty body under chunked",
       {Response("http://h.example/", chunkedHead, "")},
       {{"http://h.example/", ""}},
       0},
      {"recorded Content-Length absent, negative or wrong",
       {Response("http://h.example/a", html + "\r\nContent-Length: 999", "short"),
        Response("http://h.example/b", html + "\r\nContent-Length: -1", "neg"),
        Response("http://h.example/c", html, "none")},
       {{"http://h.example/a", "short"},
        {"http://h.example/b", "neg"},
        {"http://h.example/c", "none"}},
       0},
      {"target in angle brackets, with a space, with userinfo",
       {Response("<http://h.example/x>", html, "x"),
        Response("http://h.example/a b.html?q=1 2", html, "space"),
        Response("http://test:pw@H.example:80/u", html, "user")},
       {{"http://h.example/x", "x"},
        {"http://h.example/a%20b.html?q=1%202", "space"},
        {"http://h.example/u", "user"}},
       0},
      {"revisit by record id, in an earlier file than its original",
       {Revisit("http://h.example/again.css", "WARC-Refers-To: <urn:uuid:1>\r\n"), original},
       {{"http://h.example/site.css", "body{color:red}"},
        {"http://h.example/again.css", "body{color:red}"}},
       0},
      {"URL-agnostic revisit by target and date, the date written otherwise",
       {original, Revisit("http://h.example/other.css",
                          "WARC-Refers-To-Target-URI: <http://h.example/site.css>\r\n"
                          "WARC-Refers-To-Date: 2024-01-02T03:04:05.000Z\r\n")},
       {{"http://h.example/site.css", "body{color:red}"},
        {"http://h.example/other.css", "body{color:red}"}},
       0},
      {"revisit by target and date takes that date's capture, not the latest",
       {Response("http://h.example/s.css", "200 OK\r\nContent-Type: text/css", "old{}", "",
                 "2023-05-06T07:08:09Z"),
        Response("http://h.example/s.css", "200 OK\r\nContent-Type: text/css", "new{}"),
        Revisit("http://h.example/then.css",
                "WARC-Refers-To-Target-URI: http://h.example/s.css\r\n"
                "WARC-Refers-To-Date: 2023-05-06T07:08:09.000Z\r\n")},
       {{"http://h.example/s.css", "new{}"}, {"http://h.example/then.css", "old{}"}},
       0},
      {"revisit of an address with a space",
       {Response("http://h.example/a b.css", "200 OK\r\nContent-Type: text/css", "x{}"),
        Revisit("http://h.example/c.css",
                "WARC-Refers-To-Target-URI: http://h.example/a b.css\r\n"
                "WARC-Refers-To-Date: 2024-01-02T03:04:05Z\r\n")},
       {{"http://h.example/a%20b.css", "x{}"}, {"http://h.example/c.css", "x{}"}},
       0},
      {"revisit by digest when its record id points nowhere",
       {original, Revisit("http://h.example/d.css",
                          "WARC-Refers-To: <urn:uuid:gone>\r\nWARC-Payload-Digest: sha1:AAA\r\n")},
       {{"http://h.example/site.css", "body{color:red}"},
        {"http://h.example/d.css", "body{color:red}"}},
       0},
      {"revisit of a revisit",
       {original,
        Revisit("http://h.example/r1.css",
                "WARC-Record-ID: <urn:uuid:2>\r\nWARC-Refers-To: <urn:uuid:1>\r\n"),
        Revisit("http://h.example/r2.css", "WARC-Refers-To: <urn:uuid:2>\r\n")},
       {{"http://h.example/site.css", "body{color:red}"},
        {"http://h.example/r1.css", "body{color:red}"},
        {"http://h.example/r2.css", "body{color:red}"}},
       0},
      {"revisit of a de-chunked original",
       {Response("http://h.example/p", chunkedHead, "<p>page</p>",
                 "WARC-Record-ID: <urn:uuid:3>\r\n"),
        Revisit("http://h.example/p", "WARC-Refers-To: <urn:uuid:3>\r\n")},
       {{"http://h.example/p", "<p>page</p>"}},
       0},
      {"folder and its index.html with one payload",
       {Response("http://h.example/d/", html, "<p>index</p>"),
        Response("http://h.example/d/index.html", html, "<p>index</p>"),
        Response("http://h.example/e/", html, "<p>one</p>"),
        Response("http://h.example/e/index.html", html, "<p>two</p>")},
       {{"http://h.example/d/", "-> http://h.example/d/index.html"},
        {"http://h.example/d/index.html", "<p>index</p>"},
        {"http://h.example/e/", "<p>one</p>"},
        {"http://h.example/e/index.html", "<p>two</p>"}},
       0},
      {"ARC file",
       {ArcFile({Arc("http://a.example/", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nhome"),
                 Arc("http://a.example/my page.html",
                     "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nspaced"),
                 Arc("dns:a.example", "10.0.0.1"),
                 Arc("http://a.example/old", "HTTP/1.0 301 Moved\r\nLocation: /\r\n\r\n")})},
       {{"http://a.example/", "home"},
        {"http://a.example/my%20page.html", "spaced"},
        {"http://a.example/old", "-> http://a.example/"}},
       0},
      {"ARC file, gzip member a record, one damaged",
       {Gzip(ArcFile({})) + Gzip(Arc("http://a.example/1", "HTTP/1.0 200 OK\r\n\r\none")) +
        Gzip(Arc("http://a.example/2", "HTTP/1.0 200 OK\r\n\r\ntwo")).substr(0, 30) +
        Gzip(Arc("http://a.example/3", "HTTP/1.0 200 OK\r\n\r\nthree"))},
       {{"http://a.example/1", "one"}, {"http://a.example/3", "three"}},
       1},
      {"ARC file, a record longer than it says",
       {ArcFile({Arc("http://a.example/1", "HTTP/1.0 200 OK\r\n\r\none") + "JUNK JUNK\n",
                 Arc("http://a.example/3", "HTTP/1.0 200 OK\r\n\r\nthree")})},
       {{"http://a.example/1", "one"}, {"http://a.example/3", "three"}},
       1},
  };
  for (const auto& row : rows) {
    const Imported got = Import(row.archives);
    EXPECT_EQ(got.entries, row.entries) << row.name;
    EXPECT_EQ(got.problems, row.problems) << row.name;
  }
  // An ARC record's archive date is its capture date.
  const auto arcRow = std::find_if(std::begin(rows), std::end(rows), [](const auto& row) {
    return std::string_view(row.name) == "ARC file";
  });
  ASSERT_NE(arcRow, std::end(rows));
  const Imported arc = Import(arcRow->archives);
  EXPECT_EQ(arc.captured.at("http://a.example/"), 1680674828);
}

}  // namespace
}  // namespace quillon::warc
