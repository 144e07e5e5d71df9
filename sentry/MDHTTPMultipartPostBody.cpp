#include "sentry/MDHTTPMultipartPostBody.h"

#include <cctype>

#include "platform/foundation/UUID.h"
#include "sentry/DataAppendUTF8.h"

using platform::Value;

namespace {

// A random UUID's 32 hexadecimal digits, lower-cased, without the dashes.
std::string newBoundary() {
    std::string text;
    for (char c : platform::newUUIDString())
        if (c != '-') text.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return text;
}

}  // namespace

std::shared_ptr<MDHTTPPostField> MDHTTPPostField::data(Value::Bytes data, std::string name,
                                                       std::optional<std::string> contentType,
                                                       std::optional<std::string> filename) {
    return std::make_shared<MDHTTPPostField>(std::move(data), std::move(name), std::move(contentType),
                                             std::move(filename));
}

MDHTTPPostField::MDHTTPPostField(Value::Bytes data, std::string name, std::optional<std::string> contentType,
                                 std::optional<std::string> filename)
    : data_(std::move(data)), name_(std::move(name)), contentType_(std::move(contentType)),
      filename_(std::move(filename)) {}

std::shared_ptr<MDHTTPMultipartPostBody> MDHTTPMultipartPostBody::body() {
    return std::make_shared<MDHTTPMultipartPostBody>();
}

MDHTTPMultipartPostBody::MDHTTPMultipartPostBody() : boundary_(newBoundary()) {}

std::string MDHTTPMultipartPostBody::contentType() const {
    return platform::format("multipart/form-data; boundary=%@", boundary_);
}

void MDHTTPMultipartPostBody::appendData(Value::Bytes data, const std::string& name,
                                         const std::optional<std::string>& contentType,
                                         const std::optional<std::string>& filename) {
    fields_.push_back(MDHTTPPostField::data(std::move(data), name, contentType, filename));
}

void MDHTTPMultipartPostBody::appendUTF8String(const std::string& text, const std::string& name,
                                               const std::optional<std::string>& contentType,
                                               const std::optional<std::string>& filename) {
    Value::Bytes bytes;
    ::appendUTF8String(bytes, text);
    appendData(std::move(bytes), name, contentType, filename);
}

std::string MDHTTPMultipartPostBody::toStringWithQuotesEscaped(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '"') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

Value::Bytes MDHTTPMultipartPostBody::data() const {
    size_t size = 200;
    for (const auto& field : fields_) size += field->data().size();
    Value::Bytes out;
    out.reserve(size);

    bool first = true;
    for (const auto& field : fields_) {
        if (!first) ::appendUTF8String(out, "\r\n");
        first = false;
        appendUTF8Format(out, "--%@\r\n", boundary_);
        if (field->filename()) {
            appendUTF8Format(out, "Content-Disposition: form-data; name=\"%@\"; filename=\"%@\"\r\n",
                             toStringWithQuotesEscaped(field->name()), toStringWithQuotesEscaped(*field->filename()));
        } else {
            appendUTF8Format(out, "Content-Disposition: form-data; name=\"%@\"\r\n",
                             toStringWithQuotesEscaped(field->name()));
        }
        if (field->contentType()) appendUTF8Format(out, "Content-Type: %@\r\n", *field->contentType());
        ::appendUTF8String(out, "\r\n");
        out.insert(out.end(), field->data().begin(), field->data().end());
    }
    appendUTF8Format(out, "\r\n--%@--\r\n", boundary_);
    return out;
}
