#include "filter/viewer_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry/exports.h"
#include "support/fake_viewer.h"

namespace quillon {
namespace {

using testing::CatalogueRow;
using testing::FakeViewer;

CatalogueEntry Filled() {
  CatalogueEntry e;
  e.number = 7;
  e.url = "http://old/";
  e.contentType = "text/old";
  e.extension = "old";
  e.redirectUrl = "http://elsewhere/";
  e.staleAfter = 11;
  e.lastModified = 12;
  e.fallbackNotModified = 1;
  return e;
}

bool SameEntry(const CatalogueEntry& a, const CatalogueEntry& b) {
  return a.number == b.number && a.url == b.url && a.contentType == b.contentType &&
         a.extension == b.extension && a.redirectUrl == b.redirectUrl &&
         a.staleAfter == b.staleAfter && a.lastModified == b.lastModified &&
         a.fallbackNotModified == b.fallbackNotModified;
}

TEST(QuillonSupportProc, AcceptsOnlyCodesWhoseLowHalfIsOne) {
  const struct {
    std::uint32_t code;
    bool accepted;
  } rows[] = {{1, true},  {0x00020001, true},  {0xFFFF0001, true}, {0, false},
              {2, false}, {0x00010000, false}, {0x00010002, false}};
  for (const auto& row : rows) {
    FakeViewer linked;
    linked.rootPath = "/linked/";
    linked.Link();
    FakeViewer candidate;
    candidate.rootPath = "/candidate/";
    ViewerServices* result = QuillonSupportProc(row.code, &candidate);
    EXPECT_EQ(result, row.accepted ? &candidate : nullptr) << std::hex << row.code;
    EXPECT_EQ(DiscRootPath(), row.accepted ? "/candidate/" : "/linked/") << std::hex << row.code;
    testing::UnlinkViewer();
  }
}

TEST(QuillonSupportProc, RefusesANullViewerAndToleratesMissingParts) {
  FakeViewer viewer;
  viewer.rootPath = std::nullopt;  // a null text reads as empty
  viewer.hasCatalogue = false;
  viewer.catalogue.rows.push_back({1, "http://a/", "htm", "", "", 0, 0});
  viewer.mode = 4;
  viewer.Link();
  EXPECT_EQ(DiscRootPath(), "");
  EXPECT_EQ(ViewerMode(), 4);
  CatalogueEntry entry = Filled();
  EXPECT_FALSE(FindEntryByNumber(1, entry));
  EXPECT_TRUE(SameEntry(entry, Filled()));
  EXPECT_EQ(QuillonSupportProc(1, nullptr), nullptr);
  EXPECT_EQ(ViewerMode(), 4) << "a refused call leaves the link as it was";
}

TEST(ViewerLink, WithNoViewerEveryLookupFailsAndTheModeIsZero) {
  testing::UnlinkViewer();
  CatalogueEntry entry = Filled();
  EXPECT_FALSE(FindEntryByNumber(0, entry));
  EXPECT_FALSE(FindEntryByUrl("http://a/", entry));
  EXPECT_TRUE(SameEntry(entry, Filled()));
  EXPECT_EQ(DiscRootPath(), "");
  EXPECT_EQ(ViewerMode(), 0);
}

TEST(ViewerLink, LookupsSeekThenReadInOrderAndKeepTheFallbackFlag) {
  FakeViewer viewer;
  viewer.catalogue.rows = {
      {0x12, "http://a/x.htm", "htm", "text/x", std::string("http://b/"), 100, 200},
      {0x13, "http://a/y.gif", "gif", "", std::nullopt, 0, 0},
  };
  viewer.Link();
  viewer.catalogue.record = true;

  CatalogueEntry entry = Filled();
  ASSERT_TRUE(FindEntryByNumber(0x12, entry));
  EXPECT_EQ(viewer.catalogue.calls,
            (std::vector<std::string>{"SeekNumber", "GetNumber", "GetUrl", "GetContentType",
                                      "GetExtension", "GetRedirectUrl", "GetStaleAfter",
                                      "GetLastModified"}));
  EXPECT_EQ(entry.number, 0x12);
  EXPECT_EQ(entry.url, "http://a/x.htm");
  EXPECT_EQ(entry.contentType, "text/x");
  EXPECT_EQ(entry.extension, "htm");
  EXPECT_EQ(entry.redirectUrl, "http://b/");
  EXPECT_EQ(entry.staleAfter, 100);
  EXPECT_EQ(entry.lastModified, 200);
  EXPECT_EQ(entry.fallbackNotModified, 1);

  const CatalogueEntry first = entry;
  viewer.catalogue.calls.clear();
  EXPECT_FALSE(FindEntryByUrl("http://a/missing", entry));
  EXPECT_EQ(viewer.catalogue.calls, std::vector<std::string>{"SeekUrl"});
  EXPECT_TRUE(SameEntry(entry, first));

  ASSERT_TRUE(FindEntryByUrl("http://a/y.gif", entry));
  EXPECT_EQ(entry.number, 0x13);
  EXPECT_EQ(entry.redirectUrl, "") << "a null redirect text reads as empty";
  EXPECT_EQ(entry.staleAfter, 0);
}

TEST(CatalogueEntry, IsAValueTypeThatSurvivesSelfAssignment) {
  CatalogueEntry entry = Filled();
  CatalogueEntry& alias = entry;
  entry = alias;
  EXPECT_TRUE(SameEntry(entry, Filled()));
  CatalogueEntry empty;
  EXPECT_EQ(empty.number, 0);
  EXPECT_TRUE(empty.url.empty() && empty.contentType.empty() && empty.extension.empty() &&
              empty.redirectUrl.empty());
  EXPECT_EQ(empty.staleAfter + empty.lastModified + empty.fallbackNotModified, 0);
}

}  // namespace
}  // namespace quillon
