// Chunked bodies (RFC 9112 7.1): decoded as they arrive with bounded framing, and written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::host {

// A chunk-size line with its extensions may be this long, its CR included.
inline constexpr std::size_t kChunkLineLimit = 4 * 1024;

// A chunked body, decoded as it arrives in any pieces; its trailers are read and dropped. Every
// line must end in CRLF, a chunk-size line may be kChunkLineLimit long and the trailer section
// `trailerLimit`, so a body that never ends its framing costs no memory beyond its bytes in flight.
class ChunkedDecoder {
 public:
  explicit ChunkedDecoder(std::size_t trailerLimit) : trailerLimit_(trailerLimit) {}
  struct Step {
    std::size_t used = 0;   // bytes of the input taken
    std::string_view data;  // the body's bytes among them, a part of the input
  };
  // Takes the input up to the end of its first run of body bytes, or all of it; nothing once
  // the body is done or broken.
  Step Feed(std::string_view input);
  bool done() const { return state_ == State::kDone; }
  // Why the framing broke, or null.
  const char* error() const { return error_; }

 private:
  enum class State {
    kSize,
    kSizeSpace,
    kExtension,
    kSizeLf,
    kData,
    kDataCr,
    kDataLf,
    kTrailerStart,
    kTrailer,
    kTrailerLf,
    kEndLf,
    kDone,
    kError,
  };
  bool Fail(const char* why);
  std::size_t trailerLimit_;
  State state_ = State::kSize;
  const char* error_ = nullptr;
  std::uint64_t size_ = 0;  // the chunk's size, then what is left of it
  std::size_t digits_ = 0;
  std::size_t line_ = 0;  // of the chunk-size line, or of the trailers
};

// One chunk of `data` appended to `out` as the proxy writes it ("size CRLF data CRLF").
void AppendChunk(std::string& out, std::string_view data);

}  // namespace quillon::host
