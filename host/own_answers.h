// The answers the proxy makes itself: errors, refusals and its own small pages.
#pragma once

#include <string>
#include <string_view>

namespace quillon::host {

// A complete answer with a short plain-text body.
std::string OwnAnswer(unsigned status, std::string_view reason, std::string_view text, bool close);

// "204 No Content": no body and no Content-Length, as the status requires.
std::string NoContentAnswer();

// "HTTP/1.1 100 Continue", sent when the proxy is ready for the body a client holds back.
inline constexpr std::string_view kContinueAnswer = "HTTP/1.1 100 Continue\r\n\r\n";

// A disc program (.exe or .dll) that cannot run here.
bool IsExecutablePath(std::string_view path);

}  // namespace quillon::host
