// Absolute URLs: stands in for NSURL (URLWithString:, lastPathComponent and
// the component accessors the product reads).
#pragma once

#include <optional>
#include <string>

namespace platform {

class URL {
public:
    // Parses an RFC 3986 URL. Answers nothing, as URLWithString: answers nil,
    // when the text is empty, holds characters a URL may not contain
    // (spaces, control characters, non-ASCII) or has a malformed
    // authority. Relative references are accepted like NSURL does, but
    // have no scheme or host.
    static std::optional<URL> URLWithString(const std::string& text);

    const std::string& absoluteString() const noexcept { return text_; }
    const std::string& scheme() const noexcept { return scheme_; }  // lower-cased
    const std::string& host() const noexcept { return host_; }
    std::optional<int> port() const noexcept { return port_; }
    const std::string& user() const noexcept { return user_; }
    const std::string& password() const noexcept { return password_; }
    const std::string& path() const noexcept { return path_; }  // percent-decoded
    const std::string& query() const noexcept { return query_; }
    const std::string& fragment() const noexcept { return fragment_; }
    // The last non-empty "/"-separated component of the decoded path; "/"
    // for the root path; empty when there is no path.
    std::string lastPathComponent() const;
    bool isFileURL() const noexcept { return scheme_ == "file"; }

private:
    std::string text_, scheme_, host_, user_, password_, path_, query_, fragment_;
    std::optional<int> port_;
};

// lastPathComponent of a path or URL string as NSString does it: trailing
// slashes ignored; "/" for "/"; the string itself when it has no slash.
std::string lastPathComponentOfString(const std::string& pathOrURL);

}  // namespace platform
