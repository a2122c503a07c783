// What the browser receives of the filter's own writes: the host gathers the head and the blocks
// into few writes, keeps their order, sends all before the notification returns, and leaves out
// a HEAD's body.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter_host.h"
#include "writer_filter.h"

namespace quillon::host {
namespace {

// The browser side: every synchronous write the session makes, its two pieces joined.
struct RecordingOutput {
  std::vector<std::string> calls;
  bool fails = false;
  FilterSession::Writer Writer() {
    return [this](std::string_view first, std::string_view second) {
      calls.push_back(std::string(first).append(second));
      return !fails;
    };
  }
};

std::string HeadOf(unsigned contentLength) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(contentLength) + "\r\n\r\n";
}

std::vector<WriterStep> Blocks(unsigned head, int count, unsigned size) {
  std::vector<WriterStep> steps{{WriterStep::kHead, head}};
  steps.insert(steps.end(), count, {WriterStep::kWrite, size});
  return steps;
}

TEST(FilterWrites, GatheredInOrderAndFlushedBeforeTheNotificationReturns) {
  constexpr auto H = WriterStep::kHead;
  constexpr auto W = WriterStep::kWrite;
  constexpr auto N = WriterStep::kNullWrite;
  enum Case {
    kAnswer,   // the filter answers in pre-processed headers
    kStandIn,  // it stands in for the network's answer from send-raw-data
    kHead,     // it answers a HEAD request
    kGone,     // it answers, and the browser is gone
    kReadRaw,  // it answers while the head is read
    kUrlMap,   // it answers while the address is mapped
  };
  const struct {
    const char* name;
    Case when;
    std::vector<WriterStep> steps;
    // Body bytes in each write to the browser; the first write also carries the head.
    std::vector<std::size_t> calls;
    const char* results;  // what each of the filter's calls returned
    bool complete;        // the connection may carry another request
  } rows[] = {
      // clang-format off
      {"one small page", kAnswer, {{H, 100}, {W, 100}}, {100}, "TT", true},
      {"blocks gather below the limit", kAnswer, Blocks(57344, 7, 8192), {57344}, "TTTTTTTT", true},
      {"the block reaching the limit goes with what is held", kAnswer, Blocks(65536, 8, 8192),
       {65536}, "TTTTTTTTT", true},
      {"a block past the limit starts a new gathering", kAnswer, Blocks(73728, 9, 8192),
       {65536, 8192}, "TTTTTTTTTT", true},
      {"a write larger than the buffer", kAnswer, {{H, 100000}, {W, 100000}}, {100000}, "TT", true},
      {"small, large, small", kAnswer, {{H, 70020}, {W, 10}, {W, 70000}, {W, 10}}, {70010, 10},
       "TTTT", true},
      {"a zero-length write", kAnswer, {{H, 10}, {W, 5}, {W, 0}, {W, 5}}, {10}, "TTTT", true},
      {"a null buffer is refused, the head still goes", kAnswer, {{H, 5}, {N, 5}}, {0}, "TF", false},
      {"nothing written, nothing sent", kAnswer, {}, {}, "", false},
      {"a HEAD's body stays back", kHead, Blocks(16384, 2, 8192), {0}, "TTT", true},
      {"standing in", kStandIn, {{H, 100}, {W, 100}}, {100}, "TT", true},
      {"standing in with a large write", kStandIn, {{H, 100000}, {W, 100000}}, {100000}, "TT",
       true},
      {"the browser gone at the flush", kGone, {{H, 100}, {W, 100}}, {100}, "TT", false},
      {"the browser gone on the write past the limit", kGone, Blocks(73728, 9, 8192), {65536},
       "TTTTTTTTF", false},
      {"answered while the head is read", kReadRaw, {{H, 100}, {W, 100}}, {100}, "TT", true},
      {"answered while the address is mapped", kUrlMap, {{H, 100}, {W, 100}}, {100}, "TT", true},
      // clang-format on
  };
  auto library = FilterLibrary::Load(QUILLON_WRITER_FILTER);
  void* handle = dlopen(QUILLON_WRITER_FILTER, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  WriterScript* script = reinterpret_cast<WriterScript* (*)()>(dlsym(handle, "Script"))();
  dlclose(handle);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto where = row.when == kStandIn   ? WriterScript::kSendRawData
                       : row.when == kReadRaw ? WriterScript::kReadRawData
                       : row.when == kUrlMap  ? WriterScript::kUrlMap
                                              : WriterScript::kPreprocHeaders;
    *script = WriterScript{row.steps.data(), row.steps.size(), where};
    RecordingOutput output{{}, row.when == kGone};
    FilterSession session(*library, output.Writer());
    RequestHead head;
    session.StartRequest(&head, row.when == kHead);
    // What the filter wrote has gone out when the notification it finished in returns.
    const DWORD finished = SF_STATUS_REQ_FINISHED;
    EXPECT_EQ(session.ReadRawData("GET / HTTP/1.1\r\n\r\n") == finished, row.when == kReadRaw);
    if (row.when == kReadRaw) {
      EXPECT_EQ(output.calls.size(), row.calls.size());
    }
    if (row.when != kReadRaw) {
      EXPECT_EQ(session.PreprocHeaders() == finished, row.when != kStandIn && row.when != kUrlMap);
    }
    if (row.when == kUrlMap) {
      EXPECT_EQ(session.UrlMap(), finished);
    }
    // The filter takes the network's answer over from its first block on.
    if (row.when == kStandIn) {
      EXPECT_FALSE(session.PassBlock("HTTP/1.1 304 Not Modified\r\n\r\n"));
    }
    EXPECT_STREQ(script->results, row.results);

    std::string expected;
    for (std::size_t i = 0; i < std::strlen(row.results); ++i) {
      const WriterStep& step = row.steps[i];
      if (step.kind == H) expected += HeadOf(step.size);
      if (step.kind == W && row.when != kHead)
        expected.append(step.size, static_cast<char>('A' + i));
    }
    std::string received;
    std::vector<std::size_t> sizes;
    for (const std::string& call : output.calls) {
      received += call;
      sizes.push_back(call.size());
    }
    std::vector<std::size_t> want = row.calls;
    if (!want.empty()) want.front() += HeadOf(row.steps.front().size).size();
    EXPECT_EQ(sizes, want);
    EXPECT_TRUE(received == expected)
        << "received " << received.size() << " bytes, expected " << expected.size();
    EXPECT_EQ(session.reply().Complete(), row.complete);
    session.StartRequest(nullptr, false);
  }
}

}  // namespace
}  // namespace quillon::host
