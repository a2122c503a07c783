// Document numbers and the disc names made from them: lumFFFFF/lumNNNNN, folder = number / 256.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// Identifies a catalogue document. Negative means no document.
using DocumentNumber = std::int32_t;

inline constexpr DocumentNumber kNoDocument = -1;

// "lum%.5lx/lum%.5lx" over the folder number and the number, as unsigned 32-bit values.
std::string DocumentFileName(DocumentNumber number);

// The number that the disc file name at the end of an address encodes, or -1. The scan stops at
// the end of the text, a NUL, '#', ';' or '?'. Either separator is accepted.
DocumentNumber ParseDocumentNumber(std::string_view address);

}  // namespace quillon
