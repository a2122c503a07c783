// Many requests routed at once on several threads against one catalogue. Run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/constants.h"
#include "support/fake_viewer.h"
#include "support/memory_files.h"
#include "support/recording_server.h"

namespace quillon {
namespace {

TEST(RouterThreads, ConcurrentRequestsEachGetTheirOwnDocument) {
  testing::FakeViewer viewer;
  viewer.rootPath = "/disc/";
  viewer.mode = 3;
  testing::MemoryFileSystem files;
  constexpr int kDocuments = 32;
  for (DocumentNumber n = 0; n < kDocuments; ++n) {
    const std::string id = std::to_string(n);
    // Even numbers are fresh pages, odd ones stale and fetched with the disc as fallback.
    viewer.catalogue.rows.push_back({n, "http://site.example/" + id, "htm", "", std::string(),
                                     n % 2 == 0 ? 0 : 1000, 784111777});
    char name[64];
    std::snprintf(name, sizeof name, "/disc/docs\\lum%.5x/lum%.5x.htm", n / 256, n);
    files.files[name] = "document " + id;
  }
  viewer.Link();

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const DocumentNumber n = (i * 5 + t) % kDocuments;
        const std::string id = std::to_string(n);
        testing::RecordingServer server;
        server.request["url"] = "http://site.example/" + id;
        const DWORD status = server.PreprocHeaders();
        if (n % 2 == 0) {
          if (status != kStatusFinished || server.Body() != "document " + id) ++wrong;
          continue;
        }
        if (status != kStatusNextNotification ||
            server.request["url"] != "http://site.example/" + id)
          ++wrong;
        if (server.SendRawData("HTTP/1.1 504 Gateway Timeout\r\n") != kStatusFinished ||
            server.Body() != "document " + id) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace quillon
