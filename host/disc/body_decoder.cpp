// Each coding's decoder behind one interface: zlib for gzip and deflate, brotli, zstd.
#include "body_decoder.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <utility>

namespace quillon::host {

// One coding's decoder state; the output goes through a block of kDecodeBlock.
struct BodyDecoder::State {
  Coding coding;
  std::unique_ptr<char[]> block = std::make_unique_for_overwrite<char[]>(kDecodeBlock);
  // zlib (gzip, deflate)
  z_stream zlib{};
  bool zlibOpen = false;
  std::string deflateStart;  // deflate's first two bytes, which tell zlib framing from raw
  // Brotli
  BrotliDecoderState* brotli = nullptr;
  // zstd
  ZSTD_DStream* zstd = nullptr;
  bool ended = false;  // the coded stream is complete (zstd: its last frame)

  ~State() {
    if (zlibOpen) inflateEnd(&zlib);
    if (brotli != nullptr) BrotliDecoderDestroyInstance(brotli);
    if (zstd != nullptr) ZSTD_freeDStream(zstd);
  }
};

BodyDecoder::BodyDecoder(Coding coding, std::uint64_t limit)
    : state_(std::make_unique<State>()), limit_(limit) {
  State& st = *state_;
  st.coding = coding;
  switch (coding) {
    case Coding::kIdentity:
      st.ended = true;  // any length is whole
      break;
    case Coding::kGzip:
      // 16 + 15: a gzip member with the largest window.
      st.zlibOpen = inflateInit2(&st.zlib, 16 + MAX_WBITS) == Z_OK;
      if (!st.zlibOpen) Fail("no memory to decode");
      break;
    case Coding::kDeflate:
      break;  // opened once its first two bytes tell which framing it has
    case Coding::kBrotli:
      st.brotli = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
      if (st.brotli == nullptr) Fail("no memory to decode");
      break;
    case Coding::kZstd:
      st.zstd = ZSTD_createDStream();
      if (st.zstd == nullptr ||
          ZSTD_isError(ZSTD_DCtx_setParameter(st.zstd, ZSTD_d_windowLogMax, kZstdWindowLog))) {
        Fail("no memory to decode");
      }
      break;
  }
}

BodyDecoder::~BodyDecoder() = default;

bool BodyDecoder::Fail(const char* why) {
  if (error_ == nullptr) error_ = why;
  return false;
}

bool BodyDecoder::Emit(std::string_view data, const Sink& out) {
  if (data.size() > limit_ - size_) return Fail("its decoded copy passes the size limit");
  size_ += data.size();
  if (!data.empty()) out(data);
  return true;
}

bool BodyDecoder::Finished() const { return error_ == nullptr && state_->ended; }

bool BodyDecoder::Feed(std::string_view data, const Sink& out) {
  if (error_ != nullptr) return false;
  State& st = *state_;
  if (st.coding == Coding::kIdentity) return Emit(data, out);
  if (data.empty()) return true;
  if (st.ended && st.coding != Coding::kZstd && st.coding != Coding::kGzip) {
    return Fail("data follows the end of its coded stream");
  }
  char* const block = st.block.get();
  switch (st.coding) {
    case Coding::kIdentity:
      break;
    case Coding::kDeflate:
    case Coding::kGzip: {
      if (st.coding == Coding::kDeflate && !st.zlibOpen) {
        // RFC 9110 names zlib framing, and some servers send the raw stream: a zlib header is
        // a multiple of 31 with method 8.
        const std::size_t take = std::min(data.size(), 2 - st.deflateStart.size());
        st.deflateStart.append(data.substr(0, take));
        data.remove_prefix(take);
        if (st.deflateStart.size() < 2) return true;
        const auto b0 = static_cast<unsigned char>(st.deflateStart[0]);
        const auto b1 = static_cast<unsigned char>(st.deflateStart[1]);
        const bool zlibFramed = (b0 & 0x0f) == 8 && (b0 * 256 + b1) % 31 == 0;
        st.zlibOpen = inflateInit2(&st.zlib, zlibFramed ? MAX_WBITS : -MAX_WBITS) == Z_OK;
        if (!st.zlibOpen) return Fail("no memory to decode");
        const std::string start = std::move(st.deflateStart);
        if (!Feed(start, out)) return false;
        if (data.empty()) return true;
      }
      while (!data.empty()) {
        if (st.ended) {
          // Another gzip member follows the last (gzip allows several); deflate is one stream.
          if (st.coding == Coding::kDeflate)
            return Fail("data follows the end of its coded stream");
          if (inflateReset(&st.zlib) != Z_OK) return Fail("its coded stream is broken");
          st.ended = false;
        }
        st.zlib.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        st.zlib.avail_in = static_cast<uInt>(std::min<std::size_t>(data.size(), 1u << 30));
        const uInt given = st.zlib.avail_in;
        int result = Z_OK;
        do {
          st.zlib.next_out = reinterpret_cast<Bytef*>(block);
          st.zlib.avail_out = static_cast<uInt>(kDecodeBlock);
          result = inflate(&st.zlib, Z_NO_FLUSH);
          if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            return Fail("its coded stream is broken");
          }
          if (!Emit({block, kDecodeBlock - st.zlib.avail_out}, out)) return false;
        } while (result == Z_OK && st.zlib.avail_out == 0);
        if (result == Z_STREAM_END) st.ended = true;
        data.remove_prefix(given - st.zlib.avail_in);
        if (result == Z_BUF_ERROR && st.zlib.avail_in == given) break;  // needs more input
      }
      return true;
    }
    case Coding::kBrotli: {
      auto in = reinterpret_cast<const std::uint8_t*>(data.data());
      std::size_t inLeft = data.size();
      for (;;) {
        auto next = reinterpret_cast<std::uint8_t*>(block);
        std::size_t outLeft = kDecodeBlock;
        const BrotliDecoderResult result =
            BrotliDecoderDecompressStream(st.brotli, &inLeft, &in, &outLeft, &next, nullptr);
        if (result == BROTLI_DECODER_RESULT_ERROR) return Fail("its coded stream is broken");
        if (!Emit({block, kDecodeBlock - outLeft}, out)) return false;
        if (result == BROTLI_DECODER_RESULT_SUCCESS) {
          st.ended = true;
          if (inLeft > 0) return Fail("data follows the end of its coded stream");
          return true;
        }
        if (result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) return true;
      }
    }
    case Coding::kZstd: {
      ZSTD_inBuffer in{data.data(), data.size(), 0};
      // Frames may follow one another; the stream is whole where one ends.
      while (in.pos < in.size || !st.ended) {
        ZSTD_outBuffer output{block, kDecodeBlock, 0};
        const std::size_t result = ZSTD_decompressStream(st.zstd, &output, &in);
        if (ZSTD_isError(result)) return Fail("its coded stream is broken");
        if (!Emit({block, output.pos}, out)) return false;
        st.ended = result == 0;
        if (in.pos == in.size && output.pos < output.size) break;  // all of it decoded
      }
      return true;
    }
  }
  return true;
}

}  // namespace quillon::host
