// Coded bodies (Content-Encoding gzip, deflate, br, zstd) decoded for the disc, in bounded
// memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace quillon::host {

// The content codings an answer may come in for the disc (Content-Encoding): browsers ask for
// all of them, and the disc keeps the decoded document.
enum class Coding { kIdentity, kGzip, kDeflate, kBrotli, kZstd };

// The largest window a zstd stream may ask the decoder for (2^23: 8 MiB, as browsers allow):
// a stream that claims more is refused rather than given the memory.
inline constexpr int kZstdWindowLog = 23;

// Decodes a coded body block by block, in bounded memory (a window of the coding's, an output
// block of kDecodeBlock), and never more than `limit` bytes of output.
class BodyDecoder {
 public:
  static constexpr std::size_t kDecodeBlock = 64 * 1024;
  using Sink = std::function<void(std::string_view)>;

  BodyDecoder(Coding coding, std::uint64_t limit);
  ~BodyDecoder();
  BodyDecoder(const BodyDecoder&) = delete;
  BodyDecoder& operator=(const BodyDecoder&) = delete;

  // Decodes a block, handing each run of output to `out`; false once the stream is broken or
  // its output would pass the limit (error() says which), and for every block after.
  bool Feed(std::string_view data, const Sink& out);
  // The stream ended where its coding says it ends (a cut one has not).
  bool Finished() const;
  // Why the decoding stopped; null while it goes well.
  const char* error() const { return error_; }
  std::uint64_t size() const { return size_; }

 private:
  struct State;
  bool Emit(std::string_view data, const Sink& out);
  bool Fail(const char* why);
  std::unique_ptr<State> state_;
  std::uint64_t limit_;
  std::uint64_t size_ = 0;
  const char* error_ = nullptr;
};

}  // namespace quillon::host
