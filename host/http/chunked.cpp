// Chunked bodies: the decoder's states, and the proxy's own chunks.
#include "chunked.h"

#include <cstdio>
#include <limits>

#include "common/ascii.h"

namespace quillon::host {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f'); }

}  // namespace

bool ChunkedDecoder::Fail(const char* why) {
  state_ = State::kError;
  error_ = why;
  return false;
}

ChunkedDecoder::Step ChunkedDecoder::Feed(std::string_view input) {
  Step step;
  while (step.used < input.size()) {
    if (state_ == State::kDone || state_ == State::kError) return step;
    if (state_ == State::kData) {
      const auto n =
          static_cast<std::size_t>(std::min<std::uint64_t>(size_, input.size() - step.used));
      step.data = input.substr(step.used, n);
      step.used += n;
      size_ -= n;
      if (size_ == 0) state_ = State::kDataCr;
      return step;  // one run of body bytes a step
    }
    const char c = input[step.used++];
    const auto byte = static_cast<unsigned char>(c);
    const bool control = (byte < 0x20 && c != '\t') || byte == 0x7f;
    switch (state_) {
      case State::kSize:
        if (IsHex(c)) {
          if (size_ > (std::numeric_limits<std::uint64_t>::max() >> 4)) {
            Fail("the chunk size is too large");
            return step;
          }
          const int digit = IsDigit(c) ? c - '0' : AsciiLower(c) - 'a' + 10;
          size_ = size_ * 16 + static_cast<std::uint64_t>(digit);
          ++digits_;
        } else if (digits_ == 0) {
          Fail("a chunk without a size");
          return step;
        } else if (c == ' ' || c == '\t') {
          state_ = State::kSizeSpace;
        } else if (c == ';') {
          state_ = State::kExtension;
        } else if (c == '\r') {
          state_ = State::kSizeLf;
        } else {
          Fail("the chunk size is not a number");
          return step;
        }
        break;
      case State::kSizeSpace:
        if (c == ';') {
          state_ = State::kExtension;
        } else if (c == '\r') {
          state_ = State::kSizeLf;
        } else if (c != ' ' && c != '\t') {
          Fail("the chunk size is not a number");
          return step;
        }
        break;
      case State::kExtension:
        if (c == '\r') {
          state_ = State::kSizeLf;
        } else if (control) {
          Fail("a chunk line holds a control byte or a bare line feed");
          return step;
        }
        break;
      case State::kSizeLf:
        if (c != '\n') {
          Fail("a chunk line does not end in CRLF");
          return step;
        }
        state_ = size_ == 0 ? State::kTrailerStart : State::kData;
        line_ = 0;
        continue;
      case State::kDataCr:
      case State::kDataLf:
        if (c != (state_ == State::kDataCr ? '\r' : '\n')) {
          Fail("chunk data does not end in CRLF");
          return step;
        }
        if (state_ == State::kDataLf) {
          state_ = State::kSize;
          digits_ = 0;
          line_ = 0;
        } else {
          state_ = State::kDataLf;
        }
        continue;
      case State::kTrailerStart:
      case State::kTrailer:
        if (c == '\r') {
          state_ = state_ == State::kTrailerStart ? State::kEndLf : State::kTrailerLf;
        } else if (control) {
          Fail("a trailer holds a control byte or a bare line feed");
          return step;
        } else {
          state_ = State::kTrailer;
        }
        break;
      case State::kTrailerLf:
      case State::kEndLf:
        if (c != '\n') {
          Fail("a trailer line does not end in CRLF");
          return step;
        }
        state_ = state_ == State::kEndLf ? State::kDone : State::kTrailerStart;
        break;
      case State::kData:
      case State::kDone:
      case State::kError:
        break;
    }
    // The size line and the trailers count towards their limits.
    ++line_;
    const bool trailers = state_ == State::kTrailerStart || state_ == State::kTrailer ||
                          state_ == State::kTrailerLf || state_ == State::kEndLf;
    if (trailers ? line_ > trailerLimit_ : state_ != State::kDone && line_ > kChunkLineLimit) {
      Fail(trailers ? "the trailers are too long" : "a chunk line is too long");
      return step;
    }
  }
  return step;
}

void AppendChunk(std::string& out, std::string_view data) {
  char size[24];
  const int n = std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  out.append(size, static_cast<std::size_t>(n)).append(data).append("\r\n");
}

}  // namespace quillon::host
