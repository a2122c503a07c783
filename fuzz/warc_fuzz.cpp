// The WARC reader over any bytes, WARC or ARC records, plain or gzip, broken anywhere. Every
// record it hands out reads to its end within its Content-Length, and the HTTP head, chunked and
// coded bodies of its blocks go through the same decoders the import uses.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "warc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon::warc;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  MemoryInput input(bytes);
  std::uint64_t lastProblem = 0;
  Reader reader(input, [&](const Problem& problem) {
    if (problem.offset > size || problem.what.empty()) std::abort();
    lastProblem = problem.offset;
  });
  while (reader.Next()) {
    if (reader.offset() > size) std::abort();
    std::string block;
    for (std::string_view piece; !(piece = reader.ReadBlockView(4096)).empty();) {
      if (block.size() < 65536) block.append(piece.substr(0, 65536 - block.size()));
    }
    if (block.size() > reader.head().contentLength) std::abort();
    reader.Finish();
    const std::size_t headEnd = FindHeadEnd(block);
    if (headEnd == std::string_view::npos) continue;
    const auto http = ParseHttpHead(std::string_view(block).substr(0, headEnd));
    if (!http) continue;
    const std::string_view body = std::string_view(block).substr(headEnd);
    std::size_t decoded = 0;
    const Sink count = [&](std::string_view piece) { decoded += piece.size(); };
    ChunkedDecoder chunked;
    // A first line read as a chunk size has a digit and a line end.
    if (StartsAsChunks(body).value_or(false) && body.find('\n') == std::string_view::npos) {
      std::abort();
    }
    chunked.Feed(body, count);
    if (auto decoder = ContentDecoder::For(http->fields.Get("Content-Encoding"))) {
      decoder->Feed(body, count);
      decoder->Finish(count);
    }
    ResolveAddress(reader.head().TargetUri(), http->fields.Get("Location"));
    ParseWarcDate(reader.head().fields.Get("WARC-Date"));
  }
  if (reader.consumed() > size) std::abort();
  return 0;
}
