// The chunked-body decoder the proxy runs on clients' request bodies and origins' answers alike,
// on hostile bytes: however the bytes arrive, it decodes the same body and stops at the same
// place for the same reason; it never takes more than it is given; a body it decodes, re-chunked
// as the proxy writes it, decodes to itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http_rules.h"

namespace {

using quillon::host::AppendChunk;
using quillon::host::ChunkedDecoder;

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Outcome {
  std::string data;
  std::size_t used = 0;
  bool done = false;
  const char* error = nullptr;
};

// Feeds `input` in pieces of at most `piece` bytes, as reads from a socket would hand it over.
Outcome Decode(std::string_view input, std::size_t piece, std::size_t trailerLimit) {
  ChunkedDecoder decoder(trailerLimit);
  Outcome out;
  while (!input.empty() && !decoder.done() && decoder.error() == nullptr) {
    const std::string_view offered = input.substr(0, piece);
    const auto step = decoder.Feed(offered);
    Check(step.used <= offered.size() && step.used > 0);
    Check(step.data.size() <= step.used);
    // The data is a part of what was offered, never a copy from elsewhere.
    Check(step.data.empty() || (step.data.data() >= offered.data() &&
                                step.data.data() + step.data.size() <= offered.data() + step.used));
    out.data.append(step.data);
    out.used += step.used;
    input.remove_prefix(step.used);
  }
  // Once done or broken, nothing more is taken.
  if (decoder.done() || decoder.error() != nullptr) Check(decoder.Feed("0\r\n\r\n").used == 0);
  out.done = decoder.done();
  out.error = decoder.error();
  Check(!(out.done && out.error != nullptr));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  // The first byte: how the bytes arrive, and a small trailer limit now and then.
  const std::size_t piece = 1 + (bytes[0] & 0x3f);
  const std::size_t trailerLimit = (bytes[0] & 0x40) ? 16 : 64 * 1024;
  const std::string_view input(reinterpret_cast<const char*>(bytes) + 1, size - 1);

  const Outcome whole = Decode(input, input.size() + 1, trailerLimit);
  const Outcome pieces = Decode(input, piece, trailerLimit);
  Check(whole.data == pieces.data && whole.used == pieces.used && whole.done == pieces.done &&
        whole.error == pieces.error);
  Check(whole.data.size() <= whole.used && whole.used <= input.size());
  if (whole.done) {
    std::string again;
    if (!whole.data.empty()) AppendChunk(again, whole.data);
    again.append("0\r\n\r\n");
    const Outcome rechunked = Decode(again, piece, trailerLimit);
    Check(rechunked.done && rechunked.data == whole.data && rechunked.used == again.size());
  }
  return 0;
}
