// The answers the proxy makes itself: errors, refusals and its own small pages, all in one voice.
#pragma once

#include <string>
#include <string_view>

namespace quillon::host {

// Why the proxy answered itself, as the access log's last field names it.
enum class Reason {
  kNone,            // "-": the filter or the network answered
  kNotOnDisc,       // the network is not used and the disc lacks the address
  kNotFound,        // an address of the proxy's own that names nothing
  kBadRequest,      // malformed
  kSmuggling,       // framing that two readers could take differently
  kLimit,           // past a bound the proxy keeps
  kNotAllowed,      // a client, tunnel or address the proxy's options do not admit
  kPort,            // a tunnel to a port --connect-ports does not list
  kMisdirected,     // a request inside a tunnel for another host
  kLoop,            // it would come back to this proxy
  kThisMachine,     // the proxy's machine, asked for by another machine
  kDns,             // the name could not be resolved
  kRefused,         // nothing listens at the address
  kUnreachable,     // no route to the address
  kTlsVerify,       // the origin's certificate did not verify
  kTls,             // any other TLS failure towards the origin
  kTimeout,         // the network did not answer in time
  kPatience,        // the origin took longer than the proxy waits for a whole answer
  kNetwork,         // any other network failure
  kBadOrigin,       // the origin's answer was faulty
  kNotImplemented,  // an address or a program the proxy cannot serve
  kCertificate,     // no certificate could be made for an intercepted host
  kHandshake,       // the browser's TLS with the proxy, in an intercepted tunnel, failed
};

// The log's word for a reason: "not-on-disc", "dns", ... ("-" for none).
std::string_view ReasonName(Reason reason);

// The phrase of the status line the proxy sends with `status`.
std::string_view StatusPhrase(unsigned status);

// What the proxy says: `what` happened (plain text, may hold an address); the advice follows
// from the reason. `moreHtml` is further content for a browser, already HTML (the not-on-disc
// page's links), and `morePlain` its plain-text counterpart.
struct OwnWords {
  unsigned status = 0;
  Reason reason = Reason::kNone;
  std::string what;
  std::string moreHtml;
  std::string morePlain;
  std::string title;  // the page's heading; empty: the status phrase
};

// A complete answer: a page in the start page's style for a browser (`html`), else one line
// of plain text.
std::string OwnAnswer(const OwnWords& words, bool html, bool close);

// An Accept field that names text/html: a browser, which is shown a page.
bool AcceptsHtml(std::string_view accept);

// "204 No Content": no body and no Content-Length, as the status requires.
std::string NoContentAnswer();

// "HTTP/1.1 100 Continue", sent when the proxy is ready for the body a client holds back.
inline constexpr std::string_view kContinueAnswer = "HTTP/1.1 100 Continue\r\n\r\n";

// A disc program (.exe or .dll) that cannot run here.
bool IsExecutablePath(std::string_view path);

}  // namespace quillon::host
