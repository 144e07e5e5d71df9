// The encoder hands a short member to the sink whole (separator, indentation,
// name and value in one call) and writes exactly the text it wrote piece by
// piece: random documents against a reference writer, pretty and compact.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Mayday/Recording/Tools/MDJSONCodec.h"

namespace {

struct Sink {
    std::string out;
    std::vector<std::string> calls;
    int failFromCall = -1;

    static int add(const char* data, int length, void* userData) {
        Sink* sink = static_cast<Sink*>(userData);
        if (sink->failFromCall >= 0 && (int)sink->calls.size() >= sink->failFromCall) return MDJSON_ERROR_CANNOT_ADD_DATA;
        sink->calls.emplace_back(data, (size_t)length);
        sink->out.append(data, (size_t)length);
        return MDJSON_OK;
    }
};

std::string escaped(const std::string& text) {
    static const char* const kHex = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char ch : text) {
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (ch < 0x20) {
                    out += "\\u00";
                    out += kHex[ch >> 4];
                    out += kHex[ch & 15];
                } else {
                    out += (char)ch;
                }
        }
    }
    return out + "\"";
}

// Writes the same document through the encoder and as text of its own.
struct Writer {
    bool pretty;
    Sink sink;
    MDJSONEncodeContext context;
    std::string expected;
    std::vector<bool> isObject{false};
    std::vector<bool> hasMembers{false};

    explicit Writer(bool prettyPrint) : pretty(prettyPrint) { mdjson_beginEncode(&context, pretty, Sink::add, &sink); }

    void prefix(const std::string* name) {
        if (hasMembers.back()) expected += ",";
        hasMembers.back() = true;
        if (pretty && isObject.size() > 1) expected += "\n" + std::string(4 * (isObject.size() - 1), ' ');
        if (isObject.back()) expected += escaped(*name) + (pretty ? ": " : ":");
    }
    void integer(const std::string& name, int64_t value) {
        prefix(&name);
        expected += std::to_string(value);
        ASSERT_EQ(MDJSON_OK, mdjson_addIntegerElement(&context, isObject.back() ? name.c_str() : nullptr, value));
    }
    void boolean(const std::string& name, bool value) {
        prefix(&name);
        expected += value ? "true" : "false";
        ASSERT_EQ(MDJSON_OK, mdjson_addBooleanElement(&context, isObject.back() ? name.c_str() : nullptr, value));
    }
    void null(const std::string& name) {
        prefix(&name);
        expected += "null";
        ASSERT_EQ(MDJSON_OK, mdjson_addNullElement(&context, isObject.back() ? name.c_str() : nullptr));
    }
    void string(const std::string& name, const std::string& value) {
        prefix(&name);
        expected += escaped(value);
        ASSERT_EQ(MDJSON_OK, mdjson_addStringElement(&context, isObject.back() ? name.c_str() : nullptr, value.data(),
                                                     (int)value.size()));
    }
    void begin(const std::string& name, bool object) {
        prefix(&name);
        expected += object ? "{" : "[";
        isObject.push_back(object);
        hasMembers.push_back(false);
        const char* n = isObject[isObject.size() - 2] ? name.c_str() : nullptr;
        ASSERT_EQ(MDJSON_OK, object ? mdjson_beginObject(&context, n) : mdjson_beginArray(&context, n));
    }
    void end() {
        const bool object = isObject.back();
        const bool members = hasMembers.back();
        isObject.pop_back();
        hasMembers.pop_back();
        if (pretty && members) expected += "\n" + std::string(4 * (isObject.size() - 1), ' ');
        expected += object ? "}" : "]";
        ASSERT_EQ(MDJSON_OK, mdjson_endContainer(&context));
    }
};

std::string randomText(std::mt19937_64& random, size_t longest) {
    static const char kPieces[] = "abcXYZ_09 .-\"\\\n\t\x01\x1f\x7f\xc3\xa9/";
    std::string text;
    const size_t length = random() % (longest + 1);
    const bool plain = random() % 2;  // half need no escaping at all
    for (size_t i = 0; i < length; i++) text += plain ? (char)('a' + random() % 26) : kPieces[random() % (sizeof(kPieces) - 1)];
    return text;
}

TEST(JsonCodecElementText, RandomDocumentsMatchTheReferenceText) {
    std::mt19937_64 random(814);
    for (int document = 0; document < 300; document++) {
        Writer writer(document % 2 == 0);
        writer.begin("", true);
        for (int step = 0; step < 200; step++) {
            // Some names and values are too long to gather; depth reaches
            // beyond what one gathered prefix can indent.
            const std::string name = randomText(random, step % 17 == 0 ? 300 : 12);
            switch (random() % 7) {
                case 0: writer.integer(name, (int64_t)random()); break;
                case 1: writer.boolean(name, random() % 2); break;
                case 2: writer.null(name); break;
                case 3: writer.string(name, randomText(random, step % 5 == 0 ? 400 : 40)); break;
                case 4:
                case 5:
                    if (writer.isObject.size() < 70) writer.begin(name, random() % 2);
                    break;
                default:
                    if (writer.isObject.size() > 2) writer.end();
                    break;
            }
            if (HasFatalFailure()) return;
        }
        while (writer.isObject.size() > 1) writer.end();
        ASSERT_EQ(writer.sink.out, writer.expected) << "document " << document;
    }
}

TEST(JsonCodecElementText, ShortMemberIsOneSinkCall) {
    Writer writer(true);
    writer.begin("", true);
    writer.begin("registers", true);
    const size_t before = writer.sink.calls.size();
    writer.integer("rax", 42);
    writer.boolean("crashed", false);
    writer.string("name", "main");
    writer.null("none");
    ASSERT_EQ(writer.sink.calls.size(), before + 4);
    EXPECT_EQ(writer.sink.calls[before], "\n        \"rax\": 42");
    EXPECT_EQ(writer.sink.calls[before + 1], ",\n        \"crashed\": false");
    EXPECT_EQ(writer.sink.calls[before + 2], ",\n        \"name\": \"main\"");
    // A name that needs escaping goes the long way, with the same text.
    writer.integer("a\"b", 1);
    EXPECT_GT(writer.sink.calls.size(), before + 5);
    writer.end();
    writer.end();
    EXPECT_EQ(writer.sink.out, writer.expected);
}

TEST(JsonCodecElementText, FailingSinkAndMissingNameWriteNothingMore) {
    Sink sink;
    MDJSONEncodeContext context;
    mdjson_beginEncode(&context, true, Sink::add, &sink);
    ASSERT_EQ(MDJSON_OK, mdjson_beginObject(&context, nullptr));
    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, mdjson_addIntegerElement(&context, nullptr, 1));
    EXPECT_EQ(MDJSON_ERROR_INVALID_DATA, mdjson_addStringElement(&context, nullptr, "v", 1));
    EXPECT_EQ(sink.out, "{");
    sink.failFromCall = (int)sink.calls.size();
    EXPECT_EQ(MDJSON_ERROR_CANNOT_ADD_DATA, mdjson_addIntegerElement(&context, "n", 1));
    EXPECT_EQ(MDJSON_ERROR_CANNOT_ADD_DATA, mdjson_addStringElement(&context, "s", "v", 1));
    EXPECT_EQ(sink.out, "{");
}

}  // namespace
