#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/constants.h"
#include "entry/exports.h"
#include "filter/server_filter.h"
#include "support/recording_server.h"

namespace quillon {
namespace {

using testing::CurrentFilterGuard;
using testing::RecordingServer;

TEST(Registration, FillsTheRecordWhateverItHeldBefore) {
  for (unsigned char fill : {0x00, 0xAB, 0xFF}) {
    HTTP_FILTER_VERSION version;
    std::memset(&version, fill, sizeof version);
    ASSERT_EQ(GetFilterVersion(&version), TRUE) << int(fill);
    EXPECT_EQ(version.dwFlags, 0x0002D503u);
    EXPECT_EQ(version.dwFilterVersion, 0x00020001u);
    EXPECT_STREQ(version.lpszFilterDesc, "Tarnwell Quillon Content Filter");

    // A second registration writes exactly the same record.
    HTTP_FILTER_VERSION again = version;
    ASSERT_EQ(GetFilterVersion(&again), TRUE);
    EXPECT_EQ(std::memcmp(&again, &version, sizeof version), 0);
  }
}

// Records which slot the dispatch reached.
class SlotRecorder : public ServerFilter {
 public:
  std::vector<std::string> calls;
  void* lastRecord = nullptr;
  DWORD HandleReadRawData(FilterCall, HTTP_FILTER_RAW_DATA* r) override { return Hit("read", r); }
  DWORD HandlePreprocHeaders(FilterCall, HTTP_FILTER_PREPROC_HEADERS* r) override {
    return Hit("preproc", r);
  }
  DWORD HandleAuthentication(FilterCall, HTTP_FILTER_AUTHENT* r) override { return Hit("auth", r); }
  DWORD HandleUrlMap(FilterCall, HTTP_FILTER_URL_MAP* r) override { return Hit("urlmap", r); }
  DWORD HandleSendRawData(FilterCall, HTTP_FILTER_RAW_DATA* r) override { return Hit("send", r); }
  DWORD HandleLog(FilterCall, HTTP_FILTER_LOG* r) override { return Hit("log", r); }
  DWORD HandleEndOfNetSession(FilterCall) override { return Hit("endsession", nullptr); }
  DWORD HandleEndOfRequest(FilterCall) override { return Hit("endrequest", nullptr); }

 private:
  DWORD Hit(const char* name, void* record) {
    calls.emplace_back(name);
    lastRecord = record;
    return 0x1234;  // a status the dispatch must hand back unchanged
  }
};

TEST(Dispatch, EachTypeReachesItsHandlerAndOnlyExactTypesMatch) {
  struct Row {
    DWORD type;
    const char* handler;  // nullptr: no handler, status 0x08000002
    bool passesRecord;
  };
  const Row rows[] = {
      {0x0080, "endrequest", false},
      {0x0100, "endsession", false},
      {0x0200, "log", true},
      {0x0400, "send", true},
      {0x1000, "urlmap", true},
      {0x2000, "auth", true},
      {0x4000, "preproc", true},
      {0x8000, "read", true},
      {0x4000 | 0x0400, nullptr, false},
      {0, nullptr, false},
      {0x0040, nullptr, false},
      {0x04000000, nullptr, false},
  };
  CurrentFilterGuard guard;
  SlotRecorder recorder;
  RecordingServer server;
  int record = 0;
  for (const Row& row : rows) {
    recorder.calls.clear();
    recorder.lastRecord = nullptr;
    DWORD status = HttpFilterProc(server.context(), row.type, &record);
    if (row.handler == nullptr) {
      EXPECT_EQ(status, kStatusNextNotification) << std::hex << row.type;
      EXPECT_TRUE(recorder.calls.empty()) << std::hex << row.type;
    } else {
      EXPECT_EQ(status, 0x1234u) << std::hex << row.type;
      EXPECT_EQ(recorder.calls, std::vector<std::string>{row.handler}) << std::hex << row.type;
      EXPECT_EQ(recorder.lastRecord, row.passesRecord ? &record : nullptr) << std::hex << row.type;
    }
  }
}

TEST(Dispatch, ContentFilterPassesOnWhatItDoesNotHandle) {
  RecordingServer server;
  HTTP_FILTER_RAW_DATA raw{};
  HTTP_FILTER_URL_MAP map{};
  HTTP_FILTER_AUTHENT auth{};
  HTTP_FILTER_LOG log{};
  const struct {
    DWORD type;
    void* record;
  } rows[] = {{0x8000, &raw},    {0x1000, &map}, {0x2000, &auth}, {0x0200, &log},
              {0x0080, nullptr}, {0x4400, &raw}, {0, nullptr}};
  for (const auto& row : rows) {
    EXPECT_EQ(HttpFilterProc(server.context(), row.type, row.record), kStatusNextNotification)
        << std::hex << row.type;
  }
  EXPECT_TRUE(server.responses.empty());
  EXPECT_TRUE(server.writes.empty());
  EXPECT_TRUE(server.headerChanges.empty());
  EXPECT_EQ(server.context()->pFilterContext, nullptr);
}

TEST(Exports, WithNoFilterRefuseRegistrationAndPassEverythingOn) {
  CurrentFilterGuard guard;
  ExchangeCurrentFilter(nullptr);
  HTTP_FILTER_VERSION version;
  std::memset(&version, 0x5A, sizeof version);
  HTTP_FILTER_VERSION before = version;
  EXPECT_EQ(GetFilterVersion(&version), FALSE);
  EXPECT_EQ(std::memcmp(&version, &before, sizeof version), 0) << "the record must stay untouched";

  RecordingServer server;
  server.request["url"] = "http://example.com/";
  EXPECT_EQ(server.PreprocHeaders(), kStatusNextNotification);
  EXPECT_TRUE(server.headerReads.empty());
}

TEST(Exports, AFilterObjectClearsTheCurrentFilterOnlyWhenItIsTheCurrentOne) {
  CurrentFilterGuard guard;
  ServerFilter* loaded = CurrentFilter();
  ASSERT_NE(loaded, nullptr);
  {
    SlotRecorder first;
    EXPECT_EQ(CurrentFilter(), &first);
  }
  EXPECT_EQ(CurrentFilter(), nullptr);
  ExchangeCurrentFilter(loaded);
  {
    SlotRecorder other;
    ExchangeCurrentFilter(loaded);
  }
  EXPECT_EQ(CurrentFilter(), loaded);
}

}  // namespace
}  // namespace quillon
