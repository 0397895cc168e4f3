// Unicode lower-casing of whole texts: the full lower-case mapping (so "İ"
// becomes "i̇"), with the word-final form of capital sigma ("ΟΔΟΣ" becomes
// "οδος").  Language-specific rules (Turkish, Lithuanian) do not apply.
#pragma once

#include <string>
#include <string_view>

namespace halvorn {

// `text` is UTF-8; invalid sequences are replaced by U+FFFD first.
std::string unicode_lower(std::string_view text);

}  // namespace halvorn
