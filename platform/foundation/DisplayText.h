// Outside text (a feed's fields, a server's answer, file names) made safe to
// show in a terminal or write to a log: it must not move the cursor, recolour
// the terminal or forge a log line.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// C0 controls, DEL and C1 controls (U+0080 to U+009F) become spaces, newlines
// too unless `keepNewlines`; bytes that are not UTF-8 (a lone 0x9B is CSI to
// an 8-bit terminal) become U+FFFD. Everything else is kept as it is.
std::string displayableText(std::string_view text, bool keepNewlines = false);

}  // namespace platform
