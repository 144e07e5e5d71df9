// Percent-escaping of text for use in a URL: stands in for NSString's
// URLEncoded (stringByAddingPercentEscapesUsingEncoding: with UTF-8).
#pragma once

#include <string>
#include <string_view>

// `text` (UTF-8) with every byte that may not appear in a URL written as
// "%XX" (uppercase hex): spaces, control characters, non-ASCII bytes and
// " % < > \ ^ ` { | }. Letters, digits and the delimiters
// / ? & = : # @ + , ; $ ! * ' ( ) [ ] ~ - . _ stay as they are, so an
// already assembled query or path keeps its structure.
std::string URLEncoded(std::string_view text);
