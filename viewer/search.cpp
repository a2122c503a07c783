#include "search.h"

#include <algorithm>
#include <fstream>
#include <utility>

#include "common/ascii.h"

namespace quillon::viewer {

namespace {

// Elements whose content is never shown as text.
constexpr std::string_view kHiddenElements[] = {"script", "style", "noscript", "template"};

constexpr std::pair<std::string_view, std::string_view> kNamedReferences[] = {
    {"amp", "&"},        {"lt", "<"},          {"gt", ">"},          {"quot", "\""},
    {"apos", "'"},       {"nbsp", " "},        {"copy", "\u00A9"},   {"reg", "\u00AE"},
    {"mdash", "\u2014"}, {"ndash", "\u2013"},  {"hellip", "\u2026"}, {"laquo", "\u00AB"},
    {"raquo", "\u00BB"}, {"eacute", "\u00E9"}, {"egrave", "\u00E8"}, {"auml", "\u00E4"},
    {"ouml", "\u00F6"},  {"uuml", "\u00FC"},   {"szlig", "\u00DF"},  {"rsquo", "\u2019"},
    {"lsquo", "\u2018"}, {"rdquo", "\u201D"},  {"ldquo", "\u201C"},
};

void AppendUtf8(std::string& out, unsigned long code) {
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// A character reference at html[i] ('&'): appends what it stands for and returns its length, or
// 0 when it is none (the '&' is then text).
std::size_t DecodeReference(std::string_view html, std::size_t i, std::string& out) {
  const std::size_t semicolon = html.find(';', i);
  if (semicolon == std::string_view::npos || semicolon - i > 10) return 0;
  const std::string_view name = html.substr(i + 1, semicolon - i - 1);
  if (name.size() >= 2 && name[0] == '#') {
    const bool hex = name[1] == 'x' || name[1] == 'X';
    unsigned long code = 0;
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty()) return 0;
    for (char c : digits) {
      int v;
      if (c >= '0' && c <= '9') {
        v = c - '0';
      } else if (hex && AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f') {
        v = AsciiLower(c) - 'a' + 10;
      } else {
        return 0;
      }
      code = code * (hex ? 16 : 10) + static_cast<unsigned long>(v);
    }
    AppendUtf8(out, code);
    return semicolon - i + 1;
  }
  for (const auto& [known, text] : kNamedReferences) {
    if (name == known) {
      out += text;
      return semicolon - i + 1;
    }
  }
  return 0;
}

// Appends text with references decoded and white space folded to single spaces.
bool FoldsToSpace(char c) { return IsCSpace(c) || static_cast<unsigned char>(c) < 0x20; }

// Appends text with each run of white space and control bytes made one space, up to
// kMostIndexedText; runs of other bytes go in whole rather than byte by byte.
void AppendFolded(std::string_view text, std::string& out) {
  for (std::size_t i = 0; i < text.size();) {
    if (out.size() >= kMostIndexedText) return;
    if (FoldsToSpace(text[i])) {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < text.size() && !FoldsToSpace(text[end])) ++end;
    out.append(text.substr(i, std::min(end - i, kMostIndexedText - out.size())));
    i = end;
  }
}

void AppendText(std::string_view html, std::string& out) {
  if (html.find('&') == std::string_view::npos) return AppendFolded(html, out);
  std::string decoded;
  for (std::size_t i = 0; i < html.size(); ++i) {
    if (html[i] == '&') {
      if (const std::size_t used = DecodeReference(html, i, decoded); used > 0) {
        i += used - 1;
        continue;
      }
    }
    decoded.push_back(html[i]);
  }
  AppendFolded(decoded, out);
}

// The end of the tag that starts at html[i] ('<'), quoted attribute values skipped.
std::size_t TagEnd(std::string_view html, std::size_t i) {
  char quote = 0;
  for (++i; i < html.size(); ++i) {
    const char c = html[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return i + 1;
    }
  }
  return html.size();
}

std::string_view TagName(std::string_view html, std::size_t i) {
  std::size_t start = i + 1;
  if (start < html.size() && html[start] == '/') ++start;
  std::size_t end = start;
  while (end < html.size() &&
         ((html[end] >= 'a' && html[end] <= 'z') || (html[end] >= 'A' && html[end] <= 'Z') ||
          (html[end] >= '0' && html[end] <= '9'))) {
    ++end;
  }
  return html.substr(start, end - start);
}

// Where the element's closing tag begins, or the end of the text.
std::size_t FindClosing(std::string_view html, std::size_t from, std::string_view name) {
  for (std::size_t at = html.find("</", from); at != std::string_view::npos;
       at = html.find("</", at + 2)) {
    if (AsciiEqualsIgnoreCase(TagName(html, at), name)) return at;
  }
  return html.size();
}

}  // namespace

PageText ExtractPageText(std::string_view html) {
  PageText page;
  std::size_t i = 0;
  while (i < html.size()) {
    const std::size_t lt = html.find('<', i);
    AppendText(html.substr(i, lt == std::string_view::npos ? std::string_view::npos : lt - i),
               page.body);
    if (lt == std::string_view::npos) break;
    const char next = lt + 1 < html.size() ? html[lt + 1] : '\0';
    const bool letter = (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z');
    if (html.substr(lt, 4) == "<!--") {
      const std::size_t end = html.find("-->", lt + 4);
      i = end == std::string_view::npos ? html.size() : end + 3;
      continue;
    }
    if (!letter && next != '/' && next != '!' && next != '?') {
      AppendText("<", page.body);  // a bare '<' is text
      i = lt + 1;
      continue;
    }
    i = TagEnd(html, lt);
    if (!page.body.empty() && page.body.back() != ' ') page.body.push_back(' ');
    if (next == '/' || !letter) continue;
    const std::string_view name = TagName(html, lt);
    if (AsciiEqualsIgnoreCase(name, "title")) {
      const std::size_t end = FindClosing(html, i, name);
      if (page.title.empty()) AppendText(html.substr(i, end - i), page.title);
      i = TagEnd(html, end);
      continue;
    }
    for (std::string_view hidden : kHiddenElements) {
      if (AsciiEqualsIgnoreCase(name, hidden)) {
        i = TagEnd(html, FindClosing(html, i, name));
        break;
      }
    }
  }
  auto trim = [](std::string& text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (!text.empty() && text.front() == ' ') text.erase(0, 1);
  };
  trim(page.title);
  trim(page.body);
  return page;
}

PageText ReadPageText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  // Sized to the page: a buffer of the whole limit for every small page costs more than the
  // indexing itself.
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  std::string html(
      ec ? kMostReadPage : static_cast<std::size_t>(std::min<std::uintmax_t>(size, kMostReadPage)),
      '\0');
  in.read(html.data(), static_cast<std::streamsize>(html.size()));
  html.resize(static_cast<std::size_t>(in.gcount()));
  return ExtractPageText(html);
}

std::string SearchQuery(std::string_view words) {
  std::string query;
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < words.size() && count < kMostQueryWords) {
    while (i < words.size() && IsCSpace(words[i])) ++i;
    const std::size_t start = i;
    while (i < words.size() && !IsCSpace(words[i])) ++i;
    if (i == start) break;
    if (!query.empty()) query.push_back(' ');
    // A quoted phrase: the word's own quotes and operators are then plain text.
    query.push_back('"');
    for (char c : words.substr(start, i - start)) {
      if (c == '"') query.push_back('"');
      query.push_back(c);
    }
    query.push_back('"');
    ++count;
  }
  return query;
}

void CreateSearchTable(Database& db) {
  db.Execute(
      "CREATE VIRTUAL TABLE IF NOT EXISTS search USING fts5(title, body, "
      "tokenize = 'unicode61 remove_diacritics 2')");
}

bool HasSearchTable(const Database& db) {
  Statement query(db, "SELECT 1 FROM sqlite_master WHERE name = 'search'");
  return query.Step();
}

void OptimizeSearchTable(Database& db) {
  db.Execute("INSERT INTO search (search) VALUES ('optimize')");
}

PageIndexer::PageIndexer(const Database& db)
    : remove_(db, "DELETE FROM search WHERE rowid = ?1"),
      insert_(db, "INSERT INTO search (rowid, title, body) VALUES (?1, ?2, ?3)") {}

void PageIndexer::Add(std::int64_t number, const PageText& text) {
  remove_.Bind(1, number);
  remove_.Step();
  remove_.Reset();
  insert_.Bind(1, number).Bind(2, text.title).Bind(3, text.body);
  insert_.Step();
  insert_.Reset();
}

void PageIndexer::AddFile(std::int64_t number, const std::filesystem::path& file) {
  Add(number, ReadPageText(file));
}

void IndexPage(Database& db, std::int64_t number, const PageText& text) {
  PageIndexer(db).Add(number, text);
}

void IndexPageFile(Database& db, std::int64_t number, const std::filesystem::path& file) {
  PageIndexer(db).AddFile(number, file);
}

SearchResults Search(const Database& db, std::string_view words, std::int64_t offset,
                     std::int64_t limit) {
  SearchResults results;
  const std::string query = SearchQuery(words);
  if (query.empty() || !HasSearchTable(db)) return results;
  Statement count(db, "SELECT count(*) FROM search WHERE search MATCH ?1");
  count.Bind(1, query);
  if (count.Step()) results.total = count.Integer(0);
  if (results.total == 0) return results;
  // Ranking reads each matching page's statistics: a query matching more pages than
  // kMostRanked ranks the first kMostRanked of them (in document number, that is address,
  // order). A title match counts ten times a body match.
  Statement best(db,
                 "SELECT number FROM (SELECT rowid AS number, bm25(search, 10.0, 1.0) AS score "
                 "FROM search WHERE search MATCH ?1 LIMIT ?4) ORDER BY score LIMIT ?2 OFFSET ?3");
  best.Bind(1, query).Bind(2, limit).Bind(3, offset).Bind(4, kMostRanked);
  Statement hit(db,
                "SELECT d.url, s.title, snippet(search, 1, char(2), char(3), '\u2026', 24) "
                "FROM search s JOIN documents d ON d.number = s.rowid "
                "WHERE search MATCH ?1 AND s.rowid = ?2");
  while (best.Step()) {
    hit.Bind(1, query).Bind(2, best.Integer(0));
    if (hit.Step()) results.hits.push_back({hit.Text(0), hit.Text(1), hit.Text(2)});
    hit.Reset();
  }
  return results;
}

}  // namespace quillon::viewer
