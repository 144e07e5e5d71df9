// A multipart/form-data request body, and one field of it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

class MDHTTPPostField {
public:
    static std::shared_ptr<MDHTTPPostField> data(platform::Value::Bytes data, std::string name,
                                                 std::optional<std::string> contentType,
                                                 std::optional<std::string> filename);
    MDHTTPPostField(platform::Value::Bytes data, std::string name, std::optional<std::string> contentType,
                    std::optional<std::string> filename);
    const platform::Value::Bytes& data() const noexcept { return data_; }
    const std::string& name() const noexcept { return name_; }
    const std::optional<std::string>& contentType() const noexcept { return contentType_; }
    const std::optional<std::string>& filename() const noexcept { return filename_; }

private:
    platform::Value::Bytes data_;
    std::string name_;
    std::optional<std::string> contentType_;
    std::optional<std::string> filename_;
};

class MDHTTPMultipartPostBody {
public:
    static std::shared_ptr<MDHTTPMultipartPostBody> body();
    MDHTTPMultipartPostBody();  // a fresh random boundary

    // "multipart/form-data; boundary=<boundary>".
    std::string contentType() const;
    const std::string& boundary() const noexcept { return boundary_; }
    const std::vector<std::shared_ptr<MDHTTPPostField>>& fields() const noexcept { return fields_; }

    void appendData(platform::Value::Bytes data, const std::string& name,
                    const std::optional<std::string>& contentType, const std::optional<std::string>& filename);
    // The text's UTF-8 bytes up to its first zero byte.
    void appendUTF8String(const std::string& text, const std::string& name,
                          const std::optional<std::string>& contentType, const std::optional<std::string>& filename);
    static std::string toStringWithQuotesEscaped(const std::string& text);
    platform::Value::Bytes data() const;

private:
    std::string boundary_;
    std::vector<std::shared_ptr<MDHTTPPostField>> fields_;
};
