// Report fix-up: every decoder event is re-encoded at once into a growing
// output buffer, rewritten first when its key path is one of the rules below.
#include "Mayday/Recording/MaydayReportFixer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Mayday/Recording/Tools/MDDate.h"
#include "Mayday/Recording/Tools/MDDemangle.h"
#include "Mayday/Recording/Tools/MDJSONCodec.h"
#include "Mayday/Recording/Tools/MDLogger.h"

namespace {

constexpr int kMaxDepth = 100;
constexpr int kMaxNameLength = 100;
constexpr size_t kMinWorkBufferLength = 10000;
constexpr size_t kMinOutputCapacity = 4096;
// Sizes are handed to the codec as int.
constexpr size_t kMaxBufferLength = INT_MAX;

// A key path from the top level down; "" is an unnamed level (the top-level
// container, array elements). The last name is the element's own.
struct KeyPathRule {
    int length;
    const char* names[10];
};

const KeyPathRule kDateRules[] = {
    {3, {"", "report", "timestamp"}},
    {4, {"", "recrash_report", "report", "timestamp"}},
};
const KeyPathRule kSymbolRules[] = {
    {8, {"", "crash", "threads", "", "backtrace", "contents", "", "symbol_name"}},
    {9, {"", "recrash_report", "crash", "threads", "", "backtrace", "contents", "", "symbol_name"}},
};
const KeyPathRule kExceptionTypeRules[] = {
    {5, {"", "crash", "error", "cpp_exception", "name"}},
    {6, {"", "recrash_report", "crash", "error", "cpp_exception", "name"}},
};

struct FixupContext {
    MDJSONEncodeContext encoder;
    // Names of the open containers, outermost first, cut to fit.
    char keyPath[kMaxDepth][kMaxNameLength];
    int depth = 0;
    char* output = nullptr;
    size_t outputLength = 0;
    size_t outputCapacity = 0;  // one byte is always left for the final NUL
};

FixupContext* contextOf(void* userData) { return static_cast<FixupContext*>(userData); }

// Matches only a rule exactly one longer than the open containers: a rule
// is never satisfied by its prefix (a top-level "report" integer is no date).
template <size_t N>
bool keyPathMatches(const FixupContext* context, const char* name, const KeyPathRule (&rules)[N]) {
    const char* ownName = name ? name : "";
    for (const KeyPathRule& rule : rules) {
        if (rule.length != context->depth + 1 || strcmp(ownName, rule.names[context->depth]) != 0) continue;
        bool same = true;
        for (int level = 0; level < context->depth && same; level++)
            same = strcmp(context->keyPath[level], rule.names[level]) == 0;
        if (same) return true;
    }
    return false;
}

int appendOutput(const char* data, int length, void* userData) {
    FixupContext* context = contextOf(userData);
    if (length <= 0) return MDJSON_OK;
    const size_t needed = context->outputLength + static_cast<size_t>(length) + 1;
    if (needed > context->outputCapacity) {
        // Pretty printing grows compact reports by an amount nobody knows up front.
        size_t capacity = context->outputCapacity;
        while (capacity < needed) {
            if (capacity > kMaxBufferLength / 2) return MDJSON_ERROR_DATA_TOO_LONG;
            capacity *= 2;
        }
        char* grown = static_cast<char*>(realloc(context->output, capacity));
        if (grown == nullptr) {
            MDLOG_ERROR("Out of memory");
            return MDJSON_ERROR_DATA_TOO_LONG;
        }
        context->output = grown;
        context->outputCapacity = capacity;
    }
    memcpy(context->output + context->outputLength, data, static_cast<size_t>(length));
    context->outputLength += static_cast<size_t>(length);
    return MDJSON_OK;
}

int pushName(FixupContext* context, const char* name) {
    if (context->depth >= kMaxDepth) return MDJSON_ERROR_DATA_TOO_LONG;
    char* slot = context->keyPath[context->depth++];
    const size_t length = name ? std::min(strlen(name), static_cast<size_t>(kMaxNameLength - 1)) : 0;
    if (length) memcpy(slot, name, length);
    slot[length] = '\0';
    return MDJSON_OK;
}

bool startsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// C function names on Linux are plain ("i", "f", "Ss"), and would demangle
// as the types they happen to spell: only real mangled names are touched.
char* demangleSymbolName(const char* symbol) {
    if (startsWith(symbol, "_Z")) {
        if (char* demangled = mddm_demangleCPP(symbol)) return demangled;
    }
    if (startsWith(symbol, "$s") || startsWith(symbol, "$S") || startsWith(symbol, "_T"))
        return mddm_demangleSwift(symbol);
    return nullptr;
}

int onBooleanElement(const char* name, bool value, void* userData) {
    return mdjson_addBooleanElement(&contextOf(userData)->encoder, name, value);
}

int onFloatingPointElement(const char* name, double value, void* userData) {
    return mdjson_addFloatingPointElement(&contextOf(userData)->encoder, name, value);
}

int onNullElement(const char* name, void* userData) {
    return mdjson_addNullElement(&contextOf(userData)->encoder, name);
}

int onIntegerElement(const char* name, int64_t value, void* userData) {
    FixupContext* context = contextOf(userData);
    if (keyPathMatches(context, name, kDateRules)) {
        char date[21];
        mddate_utcStringFromTimestamp(static_cast<time_t>(value), date);
        return mdjson_addStringElement(&context->encoder, name, date, -1);
    }
    return mdjson_addIntegerElement(&context->encoder, name, value);
}

int onStringElement(const char* name, const char* value, void* userData) {
    FixupContext* context = contextOf(userData);
    std::unique_ptr<char, decltype(&free)> demangled(nullptr, &free);
    if (keyPathMatches(context, name, kSymbolRules)) {
        demangled.reset(demangleSymbolName(value));
    } else if (keyPathMatches(context, name, kExceptionTypeRules)) {
        // A type name ("St13runtime_error"), not a symbol: no "_Z" in front.
        demangled.reset(mddm_demangleCPP(value));
    }
    return mdjson_addStringElement(&context->encoder, name, demangled ? demangled.get() : value, -1);
}

int onBeginObject(const char* name, void* userData) {
    FixupContext* context = contextOf(userData);
    if (context->depth >= kMaxDepth) return MDJSON_ERROR_DATA_TOO_LONG;
    const int result = mdjson_beginObject(&context->encoder, name);
    return result != MDJSON_OK ? result : pushName(context, name);
}

int onBeginArray(const char* name, void* userData) {
    FixupContext* context = contextOf(userData);
    if (context->depth >= kMaxDepth) return MDJSON_ERROR_DATA_TOO_LONG;
    const int result = mdjson_beginArray(&context->encoder, name);
    return result != MDJSON_OK ? result : pushName(context, name);
}

int onEndContainer(void* userData) {
    FixupContext* context = contextOf(userData);
    const int result = mdjson_endContainer(&context->encoder);
    if (context->depth > 0) context->depth--;
    return result;
}

int onEndData(void* userData) { return mdjson_endEncode(&contextOf(userData)->encoder); }

const MDJSONDecodeCallbacks kFixupCallbacks = {
    onBooleanElement, onFloatingPointElement, onIntegerElement, onNullElement, onStringElement,
    onBeginObject,    onBeginArray,           onEndContainer,   onEndData,
};

bool isNumberCharacter(char ch) {
    return (ch >= '0' && ch <= '9') || ch == '.' || ch == 'e' || ch == 'E' || ch == '+' || ch == '-';
}

// The longest quoted text or number run, so the decoder's buffers can hold
// every token of the input (an approximation that only ever errs upward).
size_t longestToken(const char* text, size_t length) {
    size_t longest = 0;
    size_t i = 0;
    while (i < length) {
        const size_t start = i;
        if (text[i] == '"') {
            i++;
            while (i < length && text[i] != '"') i += text[i] == '\\' ? 2 : 1;
            i = std::min(i, length);
            longest = std::max(longest, i - start);
            i++;
        } else if (isNumberCharacter(text[i])) {
            while (i < length && isNumberCharacter(text[i])) i++;
            longest = std::max(longest, i - start);
        } else {
            i++;
        }
    }
    return longest;
}

}  // namespace

char* mdcrf_fixupCrashReport(const char* crashReport) {
    if (crashReport == nullptr) return nullptr;
    const size_t inputLength = strlen(crashReport);
    // Member names get the first quarter of the work buffer, strings the rest.
    const size_t tokenRoom = longestToken(crashReport, inputLength) + 2;
    const size_t workLength = std::max(kMinWorkBufferLength, tokenRoom * 4 + 4);
    if (inputLength > kMaxBufferLength || workLength > kMaxBufferLength) {
        MDLOG_ERROR("Could not decode report: %s", mdjson_stringForError(MDJSON_ERROR_DATA_TOO_LONG));
        return nullptr;
    }
    std::unique_ptr<char, decltype(&free)> workBuffer(static_cast<char*>(malloc(workLength)), &free);
    auto context = std::make_unique<FixupContext>();
    context->outputCapacity = std::max(kMinOutputCapacity, inputLength + inputLength / 2 + 1);
    context->output = static_cast<char*>(malloc(context->outputCapacity));
    if (!workBuffer || context->output == nullptr) {
        MDLOG_ERROR("Out of memory");
        free(context->output);
        return nullptr;
    }

    mdjson_beginEncode(&context->encoder, true, appendOutput, context.get());
    const int result = mdjson_decode(crashReport, static_cast<int>(inputLength), workBuffer.get(),
                                     static_cast<int>(workLength), &kFixupCallbacks, context.get(), nullptr);
    if (result != MDJSON_OK) {
        MDLOG_ERROR("Could not decode report: %s", mdjson_stringForError(result));
        free(context->output);
        return nullptr;
    }
    context->output[context->outputLength] = '\0';
    return context->output;
}
