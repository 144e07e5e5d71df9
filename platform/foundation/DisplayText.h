// Outside text (a feed's fields, a server's answer, file names) made safe to
// show in a terminal or write to a log: it must not move the cursor, recolour
// the terminal or forge a log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// C0 controls, DEL and C1 controls (U+0080 to U+009F) become spaces, newlines
// too unless `keepNewlines`; bytes that are not UTF-8 (a lone 0x9B is CSI to
// an 8-bit terminal) become U+FFFD. Everything else is kept as it is.
std::string displayableText(std::string_view text, bool keepNewlines = false);

// The length of the well-formed UTF-8 sequence at text[i], 0 if there is none
// (overlong forms, surrogates and values past U+10FFFF are not well-formed);
// its code point goes to `codePoint` when given.
size_t utf8SequenceLength(std::string_view text, size_t i, uint32_t* codePoint = nullptr);

// `bytes` as text: nothing when they are not UTF-8, unless `repair`, which
// puts U+FFFD in place of each byte that does not belong to a sequence.
std::optional<std::string> utf8Text(std::string_view bytes, bool repair);

}  // namespace platform
