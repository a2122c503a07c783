// Addresses as the catalogue keeps them, so that the spellings a browser or a mirror may use for
// one address find one entry.
#pragma once

#include <string>
#include <string_view>

namespace quillon::viewer {

// Scheme and host lower case, the scheme's default port dropped, an empty path made "/", and
// percent escapes in upper case ("%2f" is "%2F"). Anything that is not scheme://authority... is
// returned as it is.
std::string NormalizeAddress(std::string_view address);

// The address with a slash added to its path when that names a folder ("http://h/dir" gives
// "http://h/dir/"); empty when the path ends in one already or the address has a query.
std::string WithFolderSlash(std::string_view normalized);

// Query parameters that only defeat caches ("app.js?v=3", jQuery's "_=1700000000"): a lookup
// ignores them, on either side. Compared by name, as written.
inline constexpr std::string_view kCacheBusters[] = {"_",    "cb",  "cachebuster", "nocache",
                                                     "rand", "t",   "ts",          "timestamp",
                                                     "v",    "ver", "version",     "rev"};

// The address with its cache-busting parameters taken out of the query, and the '?' with them
// when nothing else is left ("http://h/a.js?v=3" gives "http://h/a.js").
std::string WithoutCacheBusters(std::string_view address);

// The address up to its query.
std::string_view WithoutQuery(std::string_view address);

// The parameters a site's own search page takes its words in, in the order they are looked for.
inline constexpr std::string_view kSearchParameters[] = {"q", "query", "s", "search"};

// The words of a site search in an address ("search.html?q=event+loop" gives "event loop"):
// the first search parameter's value, percent escapes and '+' decoded; empty when there is none.
std::string SearchWordsOf(std::string_view address);

// The content type a file's extension (lower case, no dot) is sent with.
std::string_view ContentTypeOf(std::string_view extension);

}  // namespace quillon::viewer
