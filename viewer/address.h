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

// The content type a file's extension (lower case, no dot) is sent with.
std::string_view ContentTypeOf(std::string_view extension);

}  // namespace quillon::viewer
