// URL parsing for the handful of components the product reads.
#include "platform/foundation/URL.h"

#include <cctype>
#include <string_view>

namespace platform {

namespace {

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Characters RFC 3986 never allows unescaped anywhere in a URL.
bool isForbidden(unsigned char c) {
    if (c <= 0x20 || c >= 0x7f) return true;
    switch (c) {
        case '"': case '<': case '>': case '\\': case '^': case '`':
        case '{': case '|': case '}':
            return true;
        default:
            return false;
    }
}

// Every '%' must start a two-digit escape; NSURL refuses the text otherwise.
bool escapesAreWellFormed(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') continue;
        if (i + 2 >= s.size()) return false;
        if (!isHexDigit(s[i + 1]) || !isHexDigit(s[i + 2])) return false;
        i += 2;
    }
    return true;
}

std::string percentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && isHexDigit(s[i + 1]) && isHexDigit(s[i + 2])) {
            out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// reg-name characters: unreserved, sub-delims and escapes.
bool isRegNameChar(char c) {
    if (isAlpha(c) || isDigit(c)) return true;
    switch (c) {
        case '-': case '.': case '_': case '~': case '%':
        case '!': case '$': case '&': case '\'': case '(': case ')':
        case '*': case '+': case ',': case ';': case '=':
            return true;
        default:
            return false;
    }
}

bool isUserInfoChar(char c) { return isRegNameChar(c) || c == ':'; }

bool parsePort(std::string_view text, std::optional<int>& port) {
    if (text.empty()) {  // "http://host:/" is allowed and has no port
        port.reset();
        return true;
    }
    long value = 0;
    for (char c : text) {
        if (!isDigit(c)) return false;
        value = value * 10 + (c - '0');
        if (value > 65535) return false;
    }
    port = static_cast<int>(value);
    return true;
}

}  // namespace

std::optional<URL> URL::URLWithString(const std::string& text) {
    if (text.empty()) return std::nullopt;
    for (unsigned char c : text) {
        if (isForbidden(c)) return std::nullopt;
    }
    if (!escapesAreWellFormed(text)) return std::nullopt;

    URL url;
    url.text_ = text;
    std::string_view rest(text);

    // Fragment and query come off first: they may hold '/' and ':'.
    if (size_t hash = rest.find('#'); hash != std::string_view::npos) {
        std::string_view fragment = rest.substr(hash + 1);
        if (fragment.find('#') != std::string_view::npos) return std::nullopt;
        url.fragment_ = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (size_t question = rest.find('?'); question != std::string_view::npos) {
        url.query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    if (url.query_.find_first_of("[]") != std::string::npos ||
        url.fragment_.find_first_of("[]") != std::string::npos) {
        return std::nullopt;
    }

    // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":"
    bool hasScheme = false;
    if (!rest.empty() && isAlpha(rest[0])) {
        size_t i = 1;
        while (i < rest.size() &&
               (isAlpha(rest[i]) || isDigit(rest[i]) || rest[i] == '+' || rest[i] == '-' || rest[i] == '.')) {
            ++i;
        }
        if (i < rest.size() && rest[i] == ':') {
            url.scheme_.reserve(i);
            for (size_t k = 0; k < i; ++k) {
                url.scheme_.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(rest[k]))));
            }
            rest = rest.substr(i + 1);
            hasScheme = true;
        }
    }

    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        size_t end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);

        if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
            std::string_view userInfo = authority.substr(0, at);
            for (char c : userInfo) {
                if (!isUserInfoChar(c)) return std::nullopt;
            }
            size_t colon = userInfo.find(':');
            url.user_ = percentDecode(userInfo.substr(0, colon));
            if (colon != std::string_view::npos) url.password_ = percentDecode(userInfo.substr(colon + 1));
            authority = authority.substr(at + 1);
        }

        std::string_view portText;
        bool hasPort = false;
        if (!authority.empty() && authority[0] == '[') {
            size_t close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            std::string_view literal = authority.substr(1, close - 1);
            if (literal.empty()) return std::nullopt;
            for (char c : literal) {
                // IPv6 digits, separators, embedded IPv4 and IPvFuture/zone text.
                if (!(isHexDigit(c) || c == ':' || c == '.' || c == '%' || c == 'v' || c == 'V')) {
                    return std::nullopt;
                }
            }
            url.host_ = std::string(literal);
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after[0] != ':') return std::nullopt;
                portText = after.substr(1);
                hasPort = true;
            }
        } else {
            size_t colon = authority.find(':');
            std::string_view host = authority.substr(0, colon);
            for (char c : host) {
                if (!isRegNameChar(c)) return std::nullopt;
            }
            url.host_ = std::string(host);
            if (colon != std::string_view::npos) {
                portText = authority.substr(colon + 1);
                hasPort = true;
            }
        }
        if (hasPort && !parsePort(portText, url.port_)) return std::nullopt;
    } else if (hasScheme && (rest.empty() || rest[0] != '/')) {
        // "mailto:someone@example.com": opaque, no hierarchical path.
        if (rest.find_first_of("[]") != std::string_view::npos) return std::nullopt;
        return url;
    }

    if (rest.find_first_of("[]") != std::string_view::npos) return std::nullopt;
    url.path_ = percentDecode(rest);
    return url;
}

std::string URL::lastPathComponent() const {
    if (path_.empty()) return {};
    return lastPathComponentOfString(path_);
}

std::string lastPathComponentOfString(const std::string& pathOrURL) {
    if (pathOrURL.empty()) return {};
    size_t end = pathOrURL.find_last_not_of('/');
    if (end == std::string::npos) return "/";  // only slashes
    size_t slash = pathOrURL.rfind('/', end);
    size_t begin = slash == std::string::npos ? 0 : slash + 1;
    return pathOrURL.substr(begin, end + 1 - begin);
}

}  // namespace platform
