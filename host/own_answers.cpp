#include "own_answers.h"

#include "common/ascii.h"
#include "proxy_state.h"

namespace quillon::host {

std::string OwnAnswer(unsigned status, std::string_view reason, std::string_view text, bool close) {
  std::string body =
      std::to_string(status) + " " + std::string(reason) + "\n" + std::string(text) + "\n";
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  out += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  if (close) out += "Connection: close\r\n";
  out += "\r\n";
  return out + body;
}

std::string NoContentAnswer() { return "HTTP/1.1 204 No Content\r\n\r\n"; }

bool IsExecutablePath(std::string_view path) {
  path = path.substr(0, path.find('?'));
  return EndsWithIgnoreCase(path, ".exe") || EndsWithIgnoreCase(path, ".dll");
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

Exchange SendOwnAnswer(Connection& c, bool keepAlive, unsigned status, std::string_view reason,
                       std::string_view text) {
  // Through send-raw-data like any other answer: an armed disc copy may replace it.
  const std::string answer = OwnAnswer(status, reason, text, false);
  return SendPreparedAnswer(c, keepAlive, status, answer);
}

Exchange SendPreparedAnswer(Connection& c, bool keepAlive, unsigned status,
                            std::string_view answer) {
  const std::size_t split = answer.find("\r\n\r\n") + 4;
  if (!c.filter.PassBlock(answer.substr(0, split))) {
    return FilterAnswered(c.filter, Answer::kDiscFallback, keepAlive);
  }
  const std::string_view out = c.headOnly ? answer.substr(0, split) : answer;
  const bool sent = WriteAll(c.fd(), out, c.writeTimeout, c.workers);
  return Exchange{status, out.size() - split, Answer::kProxy, sent && keepAlive};
}

}  // namespace quillon::host
