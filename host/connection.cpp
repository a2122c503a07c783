// The blocks bodies move in, and the answers a request ends with as the connection sends them.
#include "connection.h"

namespace quillon::host {

std::unique_ptr<char[]> LargeBlocks::Take() {
  std::lock_guard lock(mutex_);
  if (out_ == kLargeBlockLimit) return nullptr;
  ++out_;
  if (free_.empty()) return std::make_unique_for_overwrite<char[]>(kLargeBlock);
  auto block = std::move(free_.back());
  free_.pop_back();
  return block;
}

void LargeBlocks::Give(std::unique_ptr<char[]> block) {
  std::lock_guard lock(mutex_);
  --out_;
  free_.push_back(std::move(block));
}

bool WriteNow(Connection& c, std::string_view first, std::string_view second) {
  if (c.tls != nullptr) return c.tls->Write(first, second);
  return WriteAll(c.client.socket().native_handle(), first, second, c.writeTimeout, c.workers);
}

Exchange FilterAnswered(const FilterSession& filter, Answer answer, bool clientKeepAlive) {
  const FilterReply& reply = filter.reply();
  return {StatusOf(reply.statusLine), reply.bodyBytes, answer, clientKeepAlive && reply.Complete()};
}

unsigned StatusOf(std::string_view statusLine) {
  // "HTTP/1.1 302 redirect"
  const std::size_t space = statusLine.find(' ');
  if (space == std::string_view::npos) return 0;
  unsigned status = 0;
  for (std::size_t i = space + 1;
       i < statusLine.size() && i < space + 4 && statusLine[i] >= '0' && statusLine[i] <= '9';
       ++i) {
    status = status * 10 + static_cast<unsigned>(statusLine[i] - '0');
  }
  return status;
}

Exchange SendOwnAnswer(Connection& c, bool keepAlive, unsigned status, Reason reason,
                       std::string what) {
  // Through send-raw-data like any other answer: an armed disc copy may replace it.
  const std::string answer =
      OwnAnswer({status, reason, std::move(what), {}, {}, {}}, c.wantsHtml, false);
  return SendPreparedAnswer(c, keepAlive, status, answer, reason);
}

Exchange SendPreparedAnswer(Connection& c, bool keepAlive, unsigned status, std::string_view answer,
                            Reason reason) {
  const std::size_t split = answer.find("\r\n\r\n") + 4;
  if (!c.filter.PassBlock(answer.substr(0, split))) {
    // The disc copy stands in; the reason still says why the proxy had to answer.
    Exchange replaced = FilterAnswered(c.filter, Answer::kDiscFallback, keepAlive);
    replaced.reason = reason;
    return replaced;
  }
  const std::string_view out = c.headOnly ? answer.substr(0, split) : answer;
  const bool sent = WriteNow(c, out);
  return Exchange{status, out.size() - split, Answer::kProxy, sent && keepAlive, false, reason};
}

}  // namespace quillon::host
