// Disc names: any address yields -1 or a number, and the name of every number the parser can
// read back leads to that number again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "names/document_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view address(reinterpret_cast<const char*>(data), size);
  const quillon::DocumentNumber number = quillon::ParseDocumentNumber(address);
  if (number < -0xFFFFF || number > 0xFFFFF) std::abort();  // five hexadecimal digits at most

  if (size >= sizeof(std::int32_t)) {
    std::int32_t candidate = 0;
    std::memcpy(&candidate, data, sizeof candidate);
    candidate &= 0xFFFFF;
    const std::string name = "http://h/" + quillon::DocumentFileName(candidate) + ".htm";
    if (quillon::ParseDocumentNumber(name) != candidate) std::abort();
  }
  return 0;
}
