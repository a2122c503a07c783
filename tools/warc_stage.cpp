#include "warc_stage.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "disc_builder.h"

namespace quillon::disc {

StageFile::StageFile(std::filesystem::path path) : path_(std::move(path)) {
  file_ = std::fopen(path_.c_str(), "wb");
  if (file_ == nullptr) throw ToolError(path_.string() + ": " + std::strerror(errno));
  std::setvbuf(file_, nullptr, _IOFBF, kPiece);
}

StageFile::~StageFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!kept_) {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
}

void StageFile::Write(std::string_view data) {
  if (data.empty()) return;
  if (std::fwrite(data.data(), 1, data.size(), file_) != data.size()) {
    throw ToolError(path_.string() + ": " + std::strerror(errno));
  }
  sha1_.Update(data);
  size_ += data.size();
}

viewer::FileFacts StageFile::Keep() {
  const bool failed = std::fclose(file_) != 0;
  file_ = nullptr;
  if (failed) throw ToolError(path_.string() + ": cannot be written");
  kept_ = true;
  return {size_, sha1_.Finish()};
}

bool ReadHttpHead(warc::Reader& reader, warc::HttpHead& head, std::string& held,
                  std::string_view& rest) {
  held.clear();
  while (true) {
    const std::string_view piece = reader.ReadBlockView(kPiece);
    if (piece.empty()) return false;
    std::string_view text = piece;
    std::size_t from = 0;
    if (!held.empty()) {
      // The blank line may straddle two pieces: look a few bytes back.
      from = held.size() > 3 ? held.size() - 3 : 0;
      held.append(piece);
      text = held;
    }
    const std::size_t end = warc::FindHeadEnd(text.substr(from));
    if (end != std::string_view::npos) {
      rest = text.substr(from + end);
      std::optional<warc::HttpHead> parsed = warc::ParseHttpHead(text.substr(0, from + end));
      if (!parsed) return false;
      head = std::move(*parsed);
      return true;
    }
    if (held.empty()) held.assign(piece);
    if (held.size() > warc::kMostHeadBytes) return false;
  }
}

const char* StageBody(warc::Reader& reader, std::string_view rest, BodyCoding coding,
                      StageFile& staged) {
  auto& decoders = coding.decoders;
  std::unique_ptr<warc::ChunkedDecoder> chunked;
  if (coding.chunked) chunked = std::make_unique<warc::ChunkedDecoder>();
  bool sound = true;
  std::vector<warc::Sink> sinks(decoders.size() + 1);
  sinks[decoders.size()] = [&](std::string_view data) { staged.Write(data); };
  for (std::size_t i = decoders.size(); i-- > 0;) {
    sinks[i] = [&, i](std::string_view data) {
      if (sound && !decoders[i]->Feed(data, sinks[i + 1])) sound = false;
    };
  }
  const warc::Sink& first = sinks[0];
  auto pass = [&](std::string_view data) {
    if (!sound || data.empty()) return;
    if (chunked) {
      if (!chunked->Feed(data, first)) sound = false;
    } else {
      first(data);
    }
  };
  // Under chunked transfer coding, the first line says whether the body was stored as chunks
  // or already de-chunked; what comes before it is held back.
  std::string opening;
  bool deciding = chunked != nullptr;
  auto decide = [&](bool chunks) {
    deciding = false;
    if (!chunks) chunked.reset();
    pass(opening);
    opening = std::string();
  };
  auto feed = [&](std::string_view data) {
    if (!deciding) return pass(data);
    opening.append(data);
    if (const auto chunks = warc::StartsAsChunks(opening)) decide(*chunks);
  };
  feed(rest);
  while (true) {
    const std::string_view piece = reader.ReadBlockView(kPiece);
    if (piece.empty()) break;
    feed(piece);
  }
  if (deciding) decide(false);  // too short for a chunk line: as stored
  if (sound && chunked && !chunked->Done()) sound = false;
  for (std::size_t i = 0; sound && i < decoders.size(); ++i) {
    if (!decoders[i]->Finish(sinks[i + 1])) sound = false;
  }
  if (sound) return nullptr;
  return chunked ? "broken chunked or coded body" : "broken coded body";
}

}  // namespace quillon::disc
