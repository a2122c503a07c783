// HTTP dates: any text parses to -1, 0 or a time, and every time written reads back as itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "names/http_date.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const quillon::HttpTime parsed = quillon::ParseHttpDate(text);
  if (parsed < -1 || (text.empty() && parsed != 0)) std::abort();

  if (size >= sizeof(std::int32_t)) {
    std::int32_t time = 0;
    std::memcpy(&time, data, sizeof time);
    const std::string written = quillon::FormatHttpDate(time);
    if (time < 0 ? !written.empty() : written.size() != quillon::kHttpDateLength) std::abort();
    if (time >= 0 && quillon::ParseHttpDate(written) != time) std::abort();
  }
  return 0;
}
