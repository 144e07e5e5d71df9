#include "sentry/DataAppendUTF8.h"

void appendUTF8String(platform::Value::Bytes& data, std::string_view text) {
    const size_t end = text.find('\0');
    if (end != std::string_view::npos) {
        text = text.substr(0, end);
    }
    data.insert(data.end(), text.begin(), text.end());
}
