// Lookups from several server threads against one catalogue whose current record is not
// thread-safe, while the viewer hands over a new link. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "entry/exports.h"
#include "filter/viewer_link.h"
#include "support/fake_viewer.h"

namespace quillon {
namespace {

using testing::FakeViewer;

void Fill(FakeViewer& viewer, const std::string& root) {
  viewer.rootPath = root;
  for (DocumentNumber n = 0; n < 64; ++n) {
    std::string id = std::to_string(n);
    viewer.catalogue.rows.push_back(
        {n, "http://site/" + id, "e" + id, "t/" + id, "http://r/" + id, n * 10, n * 100});
  }
}

TEST(ViewerLinkThreads, LookupsStayConsistentWhileTheLinkChanges) {
  FakeViewer first;
  FakeViewer second;
  Fill(first, "/first/");
  Fill(second, "/second/");
  first.Link();

  std::atomic<int> inconsistent{0};
  std::atomic<int> found{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < 4000; ++i) {
        DocumentNumber n = (i * 7 + t) % 64;
        CatalogueEntry entry;
        bool ok = (i % 2 == 0)
                      ? FindEntryByNumber(n, entry)
                      : FindEntryByUrl(("http://site/" + std::to_string(n)).c_str(), entry);
        if (!ok) continue;
        ++found;
        std::string id = std::to_string(n);
        if (entry.number != n || entry.url != "http://site/" + id || entry.extension != "e" + id ||
            entry.contentType != "t/" + id || entry.redirectUrl != "http://r/" + id ||
            entry.staleAfter != n * 10 || entry.lastModified != n * 100) {
          ++inconsistent;
        }
        std::string root = DiscRootPath();
        if (root != "/first/" && root != "/second/") ++inconsistent;
      }
    });
  }
  for (int i = 0; i < 200; ++i) (i % 2 == 0 ? second : first).Link();
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_EQ(found.load(), 4 * 4000);
}

}  // namespace
}  // namespace quillon
