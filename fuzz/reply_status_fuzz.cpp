// The status of a network answer's first block: read no further than the block, and only from
// a block that starts "HTTP/".
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "responses/fallback.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A heap copy of exactly the block, so a read past it is caught.
  std::unique_ptr<char[]> block(new char[size == 0 ? 1 : size]);
  for (std::size_t i = 0; i < size; ++i) block[i] = static_cast<char>(data[i]);
  const std::string_view text(block.get(), size);
  const std::uint32_t status = quillon::ReadReplyStatus(text);
  if (status != 0 && text.substr(0, 5) != "HTTP/") std::abort();
  return 0;
}
