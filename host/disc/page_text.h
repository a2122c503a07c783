// Text of the disc's pages, as pure functions: HTML escapes, query strings, an address's words,
// and the docs/lumother/ path an address names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon::host {

// Text made safe for HTML content and quoted attribute values.
std::string EscapeHtml(std::string_view text);
// One parameter of a query string ("q=a+b&page=2"), percent escapes and '+' decoded; empty when
// absent.
std::string QueryParameter(std::string_view query, std::string_view name);
// Text made safe inside a query string value.
std::string EscapeQueryValue(std::string_view text);
// The words of an address that a search might find its page by: "http://h/ferries/winter.html"
// gives "ferries winter".
std::string AddressWords(std::string_view url);
// The path under docs/lumother/ that an address names, as the filter would send the browser to
// it; empty when it would leave that folder or names none; nullopt for any other address.
std::optional<std::string> OtherPagePath(std::string_view url);

}  // namespace quillon::host
