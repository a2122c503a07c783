#include "own_answers.h"

#include <array>
#include <utility>

#include "common/ascii.h"
#include "pages.h"

namespace quillon::host {

namespace {

struct ReasonText {
  Reason reason;
  std::string_view name;
  std::string_view advice;  // what the user can do
};

// One row a reason: its log word and what the user can do about it.
constexpr std::array kReasons{
    ReasonText{Reason::kNone, "-", ""},
    ReasonText{Reason::kNotOnDisc, "not-on-disc",
               "Search the disc or open its start page; the proxy uses the network only when "
               "started without --offline."},
    ReasonText{Reason::kNotFound, "not-found",
               "Check the address; the disc's start page lists what the disc holds."},
    ReasonText{Reason::kBadRequest, "bad-request",
               "The program that sent it is at fault; try another browser or program."},
    ReasonText{Reason::kSmuggling, "smuggling",
               "Its length or framing could be read two ways, which could smuggle a second "
               "request; send one Content-Length or a chunked body, not both."},
    ReasonText{Reason::kLimit, "limit",
               "Try again later or with a smaller request; the proxy's options "
               "(--max-connections and others) set its limits."},
    ReasonText{Reason::kNotAllowed, "not-allowed",
               "Ask whoever runs the proxy: its options (--allow, --offline, --no-connect) "
               "decide what it serves."},
    ReasonText{Reason::kPort, "port",
               "Tunnels reach only the ports the proxy's --connect-ports option lists."},
    ReasonText{Reason::kMisdirected, "misdirected",
               "Ask for the other host on a connection of its own (reload the page)."},
    ReasonText{Reason::kLoop, "loop",
               "Check the address and the browser's proxy settings: this address leads back to "
               "the proxy."},
    ReasonText{Reason::kThisMachine, "this-machine",
               "Services of the proxy's machine are served only to that machine's own clients."},
    ReasonText{Reason::kDns, "dns",
               "Check the address for typing errors, and that the proxy's machine reaches a name "
               "server (or give the host's address with --resolve)."},
    ReasonText{Reason::kRefused, "refused",
               "Nothing accepts connections there: check the address and its port, or try again "
               "later."},
    ReasonText{Reason::kUnreachable, "unreachable",
               "Check the network connection of the proxy's machine."},
    ReasonText{Reason::kTlsVerify, "tls-verify",
               "The site's certificate could not be trusted: check the address, or name the "
               "authority that signs it with --origin-ca."},
    ReasonText{Reason::kTls, "tls",
               "The secure connection failed: check the address and try again."},
    ReasonText{Reason::kTimeout, "timeout",
               "Check the network connection of the proxy's machine and try again; "
               "--connect-timeout and --read-timeout set how long the proxy waits."},
    ReasonText{Reason::kPatience, "patience",
               "The site is slow to answer in full; try again later."},
    ReasonText{Reason::kNetwork, "network",
               "Check the network connection of the proxy's machine and try again."},
    ReasonText{Reason::kBadOrigin, "bad-origin", "The site's answer was faulty; try again later."},
    ReasonText{Reason::kNotImplemented, "not-implemented",
               "Only http:// and https:// addresses are served, and the disc's programs run "
               "only where they were made for."},
    ReasonText{Reason::kCertificate, "certificate",
               "The proxy's messages on standard error say why; --ca-dir names the authority's "
               "folder."},
    ReasonText{Reason::kHandshake, "tls-handshake",
               "The browser may not trust the proxy's authority: the start page says how to "
               "install it."},
};

const ReasonText& TextOf(Reason reason) {
  for (const ReasonText& row : kReasons) {
    if (row.reason == reason) return row;
  }
  return kReasons[0];
}

// Keeps the plain form on one line whatever `what` holds (it may quote an address).
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

}  // namespace

std::string_view ReasonName(Reason reason) { return TextOf(reason).name; }

std::string_view StatusPhrase(unsigned status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 421:
      return "Misdirected Request";
    case 431:
      return "Request Header Fields Too Large";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 508:
      return "Loop Detected";
    default:
      return "Error";
  }
}

std::string OwnAnswer(const OwnWords& words, bool html, bool close) {
  const std::string phrase(StatusPhrase(words.status));
  const std::string_view advice = TextOf(words.reason).advice;
  std::string body;
  if (html) {
    const std::string title = words.title.empty() ? phrase : words.title;
    std::string content = "<h1>" + EscapeHtml(title) + "</h1>\n<p>" + EscapeHtml(words.what) +
                          "</p>\n" + words.moreHtml;
    if (!advice.empty()) content += "<p>" + EscapeHtml(advice) + "</p>\n";
    body = HtmlDocument(title, content);
  } else {
    body = std::to_string(words.status) + " " + phrase + ": " + OneLine(words.what);
    if (!words.morePlain.empty()) body += " " + OneLine(words.morePlain);
    if (!advice.empty()) body += " " + std::string(advice);
    body += "\n";
  }
  std::string out = "HTTP/1.1 " + std::to_string(words.status) + " " + phrase + "\r\n";
  out += html ? "Content-Type: text/html; charset=utf-8\r\n" : "Content-Type: text/plain\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\nCache-Control: no-store\r\n";
  if (close) out += "Connection: close\r\n";
  out += "\r\n";
  return out + body;
}

bool AcceptsHtml(std::string_view accept) {
  return AsciiLowered(accept).find("text/html") != std::string::npos;
}

std::string NoContentAnswer() { return "HTTP/1.1 204 No Content\r\n\r\n"; }

bool IsExecutablePath(std::string_view path) {
  path = path.substr(0, path.find('?'));
  return EndsWithIgnoreCase(path, ".exe") || EndsWithIgnoreCase(path, ".dll");
}

}  // namespace quillon::host
