// The crash reporter's streaming JSON encoder and callback decoder.
//
// Crash-path code: no heap, no locks, no stdio, no exceptions, no globals
// that change. All state lives in caller-owned records and fixed stack
// buffers; the only system calls are open/read/close (file embedding), and
// the only library calls are memcpy/memmove/memcmp/strlen, MDNumberText,
// MDSysCall and the async-safe logger. Numbers go through MDNumberText,
// since printf and scanf are neither async-signal-safe nor locale-proof (the
// installer runs with the user's locale after GTK starts, so "%lg" could
// write "0,1" and break the document). Written in plain C style.

#include "Mayday/Recording/Tools/MDJSONCodec.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

// ============================================================================
// Errors
// ============================================================================

const char* mdjson_stringForError(int error) {
    switch (error) {
        case MDJSON_ERROR_INVALID_CHARACTER:
            return "Invalid character";
        case MDJSON_ERROR_DATA_TOO_LONG:
            return "Data too long";
        case MDJSON_ERROR_CANNOT_ADD_DATA:
            return "Cannot add data";
        case MDJSON_ERROR_INCOMPLETE:
            return "Incomplete data";
        case MDJSON_ERROR_INVALID_DATA:
            return "Invalid data";
        default:
            return "(unknown error)";
    }
}

// ============================================================================
// Encoder
// ============================================================================

static int addJSONData(MDJSONEncodeContext* context, const char* data, int length) {
    return context->addJSONData(data, length, context->userData);
}

// Input chunk of the string escaper. Every input byte may grow to six output
// bytes ("\u001f"), so the work buffer holds six times a chunk; the sink still
// gets one call per chunk.
#define MDJSON_ESCAPE_CHUNK 256
#define MDJSON_ESCAPE_BUFFER (MDJSON_ESCAPE_CHUNK * 6)

static int appendEscapedString(MDJSONEncodeContext* context, const char* string, int length) {
    char work[MDJSON_ESCAPE_BUFFER];
    int offset = 0;
    while (offset < length) {
        int chunk = length - offset;
        if (chunk > MDJSON_ESCAPE_CHUNK) chunk = MDJSON_ESCAPE_CHUNK;
        int out = 0;
        for (int i = 0; i < chunk; i++) {
            unsigned char ch = (unsigned char)string[offset + i];
            switch (ch) {
                case '"':
                case '\\':
                    work[out++] = '\\';
                    work[out++] = (char)ch;
                    break;
                case '\b':
                    work[out++] = '\\';
                    work[out++] = 'b';
                    break;
                case '\t':
                    work[out++] = '\\';
                    work[out++] = 't';
                    break;
                case '\n':
                    work[out++] = '\\';
                    work[out++] = 'n';
                    break;
                case '\f':
                    work[out++] = '\\';
                    work[out++] = 'f';
                    break;
                case '\r':
                    work[out++] = '\\';
                    work[out++] = 'r';
                    break;
                default:
                    if (ch < 0x20) {
                        // Other control bytes (0x00, 0x0B, ESC...) are written as
                        // \u00xx rather than failing: a failure here would leave
                        // a crash report truncated mid-string over one stray byte
                        // in, say, a thread name.
                        work[out++] = '\\';
                        work[out++] = 'u';
                        work[out++] = '0';
                        work[out++] = '0';
                        mdnum_writeHexByte(work + out, ch, false);
                        out += 2;
                    } else {
                        work[out++] = (char)ch;
                    }
                    break;
            }
        }
        int result = addJSONData(context, work, out);
        if (result != MDJSON_OK) return result;
        offset += chunk;
    }
    return MDJSON_OK;
}

static int addQuotedEscapedString(MDJSONEncodeContext* context, const char* string, int length) {
    int result = addJSONData(context, "\"", 1);
    if (result != MDJSON_OK) return result;
    result = appendEscapedString(context, string, length);
    if (result != MDJSON_OK) return result;
    return addJSONData(context, "\"", 1);
}

static const char kIndentSpaces[] =
    "                                                                                                                "
    "                ";  // 128 spaces

// A newline and `level` indentation steps of four spaces.
static int addNewlineAndIndent(MDJSONEncodeContext* context, int level) {
    int result = addJSONData(context, "\n", 1);
    if (result != MDJSON_OK) return result;
    int remaining = level * 4;
    while (remaining > 0) {
        int piece = remaining > 128 ? 128 : remaining;
        result = addJSONData(context, kIndentSpaces, piece);
        if (result != MDJSON_OK) return result;
        remaining -= piece;
    }
    return MDJSON_OK;
}

// The prefix of every element: separator, indentation, and the member name
// inside objects.
static int beginElement(MDJSONEncodeContext* context, const char* name) {
    // A member without a name is refused before the separator is written,
    // so the output stays well formed and the next member gets no stray comma.
    bool needsName = context->isObject[context->containerLevel];
    if (needsName && name == NULL) return MDJSON_ERROR_INVALID_DATA;
    int result;
    if (context->isFirstEntry) {
        context->isFirstEntry = false;
    } else {
        result = addJSONData(context, ",", 1);
        if (result != MDJSON_OK) return result;
    }
    if (context->prettyPrint && context->containerLevel > 0) {
        result = addNewlineAndIndent(context, context->containerLevel);
        if (result != MDJSON_OK) return result;
    }
    if (needsName) {
        result = addQuotedEscapedString(context, name, (int)strlen(name));
        if (result != MDJSON_OK) return result;
        return context->prettyPrint ? addJSONData(context, ": ", 2) : addJSONData(context, ":", 1);
    }
    return MDJSON_OK;
}

// The text of a whole short element, gathered so the sink gets it in one
// call instead of up to eight (separator, newline, indentation, quotes,
// name, colon, value): a report has tens of thousands of members.
#define MDJSON_ELEMENT_TEXT_SIZE 256

typedef struct {
    char text[MDJSON_ELEMENT_TEXT_SIZE];
    int length;
    bool fits;
} ElementText;

static void appendText(ElementText* element, const char* text, int length) {
    if (!element->fits || length > MDJSON_ELEMENT_TEXT_SIZE - element->length) {
        element->fits = false;
        return;
    }
    memcpy(element->text + element->length, text, (size_t)length);
    element->length += length;
}

// Appends `string` quoted when none of its bytes needs escaping (else the
// element no longer fits and is written the long way).
static void appendPlainQuoted(ElementText* element, const char* string, int length) {
    for (int i = 0; i < length; i++) {
        const unsigned char ch = (unsigned char)string[i];
        if (ch < 0x20 || ch == '"' || ch == '\\') {
            element->fits = false;
            return;
        }
    }
    appendText(element, "\"", 1);
    appendText(element, string, length);
    appendText(element, "\"", 1);
}

// The separator, indentation and name beginElement would write; false
// (leaving the context alone) when they do not fit or the name needs
// escaping, and the element is written piece by piece.
static bool gatherPrefix(MDJSONEncodeContext* context, const char* name, ElementText* element) {
    const bool needsName = context->isObject[context->containerLevel];
    if (needsName && name == NULL) return false;
    element->length = 0;
    element->fits = true;
    if (!context->isFirstEntry) appendText(element, ",", 1);
    if (context->prettyPrint && context->containerLevel > 0) {
        appendText(element, "\n", 1);
        int remaining = context->containerLevel * 4;
        while (remaining > 0 && element->fits) {
            const int piece = remaining > 128 ? 128 : remaining;
            appendText(element, kIndentSpaces, piece);
            remaining -= piece;
        }
    }
    if (needsName) {
        appendPlainQuoted(element, name, (int)strlen(name));
        if (context->prettyPrint) {
            appendText(element, ": ", 2);
        } else {
            appendText(element, ":", 1);
        }
    }
    return element->fits;
}

// An element whose value is `value` (a number, true, false, null): in one
// sink call when it fits, else as beginElement and the value.
static int addSimpleElement(MDJSONEncodeContext* context, const char* name, const char* value, int length) {
    ElementText element;
    if (gatherPrefix(context, name, &element)) {
        appendText(&element, value, length);
        if (element.fits) {
            context->isFirstEntry = false;
            return addJSONData(context, element.text, element.length);
        }
    }
    int result = beginElement(context, name);
    if (result != MDJSON_OK) return result;
    return addJSONData(context, value, length);
}

void mdjson_beginEncode(MDJSONEncodeContext* context, bool prettyPrint, MDJSONAddDataFunc addJSONDataFunc,
                        void* userData) {
    memset(context, 0, sizeof(*context));
    context->addJSONData = addJSONDataFunc;
    context->userData = userData;
    context->prettyPrint = prettyPrint;
    context->isFirstEntry = true;
}

static int beginContainer(MDJSONEncodeContext* context, const char* name, bool isObject) {
    // The flag array has room for MDJSON_MAX_CONTAINER_DEPTH - 1 open
    // containers; one more fails before anything is written, so the flags
    // never overflow and the output stays well formed up to here.
    if (context->containerLevel < 0 || context->containerLevel >= MDJSON_MAX_CONTAINER_DEPTH - 1) {
        return MDJSON_ERROR_DATA_TOO_LONG;
    }
    int result = beginElement(context, name);
    if (result != MDJSON_OK) return result;
    context->containerLevel++;
    context->isObject[context->containerLevel] = isObject;
    context->isFirstEntry = true;
    return isObject ? addJSONData(context, "{", 1) : addJSONData(context, "[", 1);
}

int mdjson_beginObject(MDJSONEncodeContext* context, const char* name) { return beginContainer(context, name, true); }

int mdjson_beginArray(MDJSONEncodeContext* context, const char* name) { return beginContainer(context, name, false); }

int mdjson_endContainer(MDJSONEncodeContext* context) {
    if (context->containerLevel <= 0) return MDJSON_OK;
    bool isObject = context->isObject[context->containerLevel];
    context->containerLevel--;
    if (context->prettyPrint && !context->isFirstEntry) {
        int result = addNewlineAndIndent(context, context->containerLevel);
        if (result != MDJSON_OK) return result;
    }
    context->isFirstEntry = false;
    return isObject ? addJSONData(context, "}", 1) : addJSONData(context, "]", 1);
}

int mdjson_endEncode(MDJSONEncodeContext* context) {
    int result = MDJSON_OK;
    while (context->containerLevel > 0) {
        result = mdjson_endContainer(context);
        if (result != MDJSON_OK) break;
    }
    return result;
}

int mdjson_addBooleanElement(MDJSONEncodeContext* context, const char* name, bool value) {
    return value ? addSimpleElement(context, name, "true", 4) : addSimpleElement(context, name, "false", 5);
}

int mdjson_addIntegerElement(MDJSONEncodeContext* context, const char* name, int64_t value) {
    char buffer[MDNUM_INTEGER_TEXT_SIZE];
    int length = mdnum_formatInt64(buffer, value);
    return addSimpleElement(context, name, buffer, length);
}

int mdjson_addFloatingPointElement(MDJSONEncodeContext* context, const char* name, double value) {
    // NaN and the infinities have no JSON form; "nan" or "inf" would make the
    // whole report undecodable, so they are written as null.
    if (__builtin_isnan(value) || __builtin_isinf(value)) return addSimpleElement(context, name, "null", 4);
    char buffer[MDNUM_DOUBLE_TEXT_SIZE];
    int length = mdnum_formatDouble(buffer, value);
    return addSimpleElement(context, name, buffer, length);
}

int mdjson_addNullElement(MDJSONEncodeContext* context, const char* name) {
    return addSimpleElement(context, name, "null", 4);
}

int mdjson_addStringElement(MDJSONEncodeContext* context, const char* name, const char* value, int length) {
    // Only -1 asks for strlen; another negative length is a caller's mistake
    // and is refused before anything is written.
    if (value != NULL && length < -1) return MDJSON_ERROR_INVALID_DATA;
    if (value == NULL) return addSimpleElement(context, name, "null", 4);
    if (length == -1) length = (int)strlen(value);
    // A short string that needs no escaping goes with its prefix in one call.
    ElementText element;
    if (length <= MDJSON_ELEMENT_TEXT_SIZE && gatherPrefix(context, name, &element)) {
        appendPlainQuoted(&element, value, length);
        if (element.fits) {
            context->isFirstEntry = false;
            return addJSONData(context, element.text, element.length);
        }
    }
    int result = beginElement(context, name);
    if (result != MDJSON_OK) return result;
    return addQuotedEscapedString(context, value, length);
}

int mdjson_beginStringElement(MDJSONEncodeContext* context, const char* name) {
    int result = beginElement(context, name);
    if (result != MDJSON_OK) return result;
    return addJSONData(context, "\"", 1);
}

int mdjson_appendStringElement(MDJSONEncodeContext* context, const char* value, int length) {
    if (value == NULL || length <= 0) return MDJSON_OK;
    return appendEscapedString(context, value, length);
}

int mdjson_endStringElement(MDJSONEncodeContext* context) { return addJSONData(context, "\"", 1); }

int mdjson_beginDataElement(MDJSONEncodeContext* context, const char* name) {
    return mdjson_beginStringElement(context, name);
}

int mdjson_appendDataElement(MDJSONEncodeContext* context, const char* value, int length) {
    if (value == NULL) return MDJSON_OK;
    for (int i = 0; i < length; i++) {
        char pair[2];
        mdnum_writeHexByte(pair, (uint8_t)value[i], true);
        int result = addJSONData(context, pair, 2);
        if (result != MDJSON_OK) return result;
    }
    return MDJSON_OK;
}

int mdjson_endDataElement(MDJSONEncodeContext* context) { return mdjson_endStringElement(context); }

int mdjson_addDataElement(MDJSONEncodeContext* context, const char* name, const char* value, int length) {
    int result = mdjson_beginDataElement(context, name);
    if (result != MDJSON_OK) return result;
    result = mdjson_appendDataElement(context, value, length);
    if (result != MDJSON_OK) return result;
    return mdjson_endDataElement(context);
}

// ============================================================================
// Decoder
//
// Every read is checked against the end of data and every write against the
// end of its buffer, including the awkward endings: a truncated \u escape, a
// string ending in a backslash, a number running into the end.
// ============================================================================

typedef struct {
    const char* dataStart;  // for error offsets
    const char* bufferPtr;  // read cursor; file embedding moves it when refilling
    const char* bufferEnd;  // end of data
    char* nameBuffer;
    int nameBufferLength;
    char* stringBuffer;
    int stringBufferLength;
    const MDJSONDecodeCallbacks* callbacks;
    void* userData;
} MDJSONDecodeContext;

static bool isWhitespace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// Skips whitespace; incomplete when nothing follows.
static int skipWhitespace(MDJSONDecodeContext* context) {
    while (context->bufferPtr < context->bufferEnd && isWhitespace(*context->bufferPtr)) context->bufferPtr++;
    return context->bufferPtr < context->bufferEnd ? MDJSON_OK : MDJSON_ERROR_INCOMPLETE;
}

// Four hexadecimal digits at *src, which must end before `end`.
static int readHex4(const char** src, const char* end, unsigned* value) {
    unsigned result = 0;
    for (int i = 0; i < 4; i++) {
        if (*src >= end) return MDJSON_ERROR_INCOMPLETE;
        int digit = mdnum_hexDigitValue(**src);
        if (digit < 0) return MDJSON_ERROR_INVALID_CHARACTER;
        result = (result << 4) | (unsigned)digit;
        (*src)++;
    }
    *value = result;
    return MDJSON_OK;
}

// Decodes the string at the cursor into dst (NUL-terminated).
static int decodeString(MDJSONDecodeContext* context, char* dst, int dstLength) {
    const char* end = context->bufferEnd;
    if (context->bufferPtr >= end) return MDJSON_ERROR_INCOMPLETE;
    if (*context->bufferPtr != '"') return MDJSON_ERROR_INVALID_CHARACTER;
    const char* start = ++context->bufferPtr;

    // Find the closing quote, stepping over every escaped byte.
    const char* closing = start;
    bool hasEscapes = false;
    while (closing < end && *closing != '"') {
        if (*closing == '\\') {
            hasEscapes = true;
            closing++;
        }
        closing++;
    }
    if (closing >= end) return MDJSON_ERROR_INCOMPLETE;
    int rawLength = (int)(closing - start);
    if (rawLength >= dstLength) return MDJSON_ERROR_DATA_TOO_LONG;
    context->bufferPtr = closing + 1;

    if (!hasEscapes) {
        memcpy(dst, start, (size_t)rawLength);
        dst[rawLength] = '\0';
        return MDJSON_OK;
    }

    // Escapes only ever shrink the text, so rawLength + 1 bytes suffice; the
    // bound is checked anyway.
    char* out = dst;
    char* const outEnd = dst + dstLength - 1;  // room for the NUL
    const char* src = start;
    while (src < closing) {
        if (out >= outEnd) return MDJSON_ERROR_DATA_TOO_LONG;
        char ch = *src++;
        if (ch != '\\') {
            *out++ = ch;
            continue;
        }
        // The scan above guarantees that an escaped byte precedes the quote.
        ch = *src++;
        switch (ch) {
            case '"':
            case '\\':
            case '/':
                *out++ = ch;
                continue;
            case 'b':
                *out++ = '\b';
                continue;
            case 'f':
                *out++ = '\f';
                continue;
            case 'n':
                *out++ = '\n';
                continue;
            case 'r':
                *out++ = '\r';
                continue;
            case 't':
                *out++ = '\t';
                continue;
            case 'u':
                break;
            default:
                return MDJSON_ERROR_INVALID_CHARACTER;
        }
        unsigned codePoint;
        int result = readHex4(&src, closing, &codePoint);
        if (result != MDJSON_OK) return result;
        if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
            if (closing - src < 6) return MDJSON_ERROR_INCOMPLETE;
            if (src[0] != '\\' || src[1] != 'u') return MDJSON_ERROR_INVALID_CHARACTER;
            src += 2;
            unsigned low;
            result = readHex4(&src, closing, &low);
            if (result != MDJSON_OK) return result;
            if (low < 0xDC00 || low > 0xDFFF) return MDJSON_ERROR_INVALID_CHARACTER;
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
        } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
            return MDJSON_ERROR_INVALID_CHARACTER;
        }

        int needed = codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
        if (codePoint > 0x10FFFF) return MDJSON_ERROR_INVALID_CHARACTER;
        if (outEnd - out < needed) return MDJSON_ERROR_DATA_TOO_LONG;
        switch (needed) {
            case 1:
                *out++ = (char)codePoint;
                break;
            case 2:
                *out++ = (char)(0xC0 | (codePoint >> 6));
                *out++ = (char)(0x80 | (codePoint & 0x3F));
                break;
            case 3:
                *out++ = (char)(0xE0 | (codePoint >> 12));
                *out++ = (char)(0x80 | ((codePoint >> 6) & 0x3F));
                *out++ = (char)(0x80 | (codePoint & 0x3F));
                break;
            default:
                *out++ = (char)(0xF0 | (codePoint >> 18));
                *out++ = (char)(0x80 | ((codePoint >> 12) & 0x3F));
                *out++ = (char)(0x80 | ((codePoint >> 6) & 0x3F));
                *out++ = (char)(0x80 | (codePoint & 0x3F));
                break;
        }
    }
    *out = '\0';
    return MDJSON_OK;
}

static bool isNumberCharacter(char ch) {
    return mdnum_isDecimalDigit(ch) || ch == '.' || ch == 'e' || ch == 'E' || ch == '+' || ch == '-';
}

static int decodeNumber(MDJSONDecodeContext* context, const char* name) {
    const char* end = context->bufferEnd;
    bool negative = false;
    if (*context->bufferPtr == '-') {
        context->bufferPtr++;
        if (context->bufferPtr >= end) return MDJSON_ERROR_INCOMPLETE;
        if (!mdnum_isDecimalDigit(*context->bufferPtr)) return MDJSON_ERROR_INVALID_CHARACTER;
        negative = true;
    }
    const char* numberStart = context->bufferPtr;

    uint64_t value = 0;
    bool overflow = false;
    while (context->bufferPtr < end && mdnum_isDecimalDigit(*context->bufferPtr)) {
        if (!mdnum_addDecimalDigit(&value, (unsigned)(*context->bufferPtr - '0')) || value > INT64_MAX) {
            overflow = true;
            break;
        }
        context->bufferPtr++;
    }
    if (context->bufferPtr >= end) return MDJSON_ERROR_INCOMPLETE;
    if (!overflow && !isNumberCharacter(*context->bufferPtr)) {
        int64_t integer = (int64_t)value;
        return context->callbacks->onIntegerElement(name, negative ? -integer : integer, context->userData);
    }

    while (context->bufferPtr < end && isNumberCharacter(*context->bufferPtr)) context->bufferPtr++;
    if (context->bufferPtr >= end) return MDJSON_ERROR_INCOMPLETE;
    // The number text is held to the string buffer's size, like every other text.
    int length = (int)(context->bufferPtr - numberStart);
    if (length >= context->stringBufferLength) return MDJSON_ERROR_DATA_TOO_LONG;
    double number = mdnum_parseDouble(numberStart, length, NULL);
    return context->callbacks->onFloatingPointElement(name, negative ? -number : number, context->userData);
}

// One element that is not a container.
static int decodeScalar(MDJSONDecodeContext* context, const char* name) {
    const MDJSONDecodeCallbacks* callbacks = context->callbacks;
    const char* ptr = context->bufferPtr;
    const int remaining = (int)(context->bufferEnd - ptr);
    switch (*ptr) {
        case '"': {
            int result = decodeString(context, context->stringBuffer, context->stringBufferLength);
            if (result != MDJSON_OK) return result;
            return callbacks->onStringElement(name, context->stringBuffer, context->userData);
        }
        case 't':
            if (remaining < 4) return MDJSON_ERROR_INCOMPLETE;
            if (memcmp(ptr, "true", 4) != 0) return MDJSON_ERROR_INVALID_CHARACTER;
            context->bufferPtr += 4;
            return callbacks->onBooleanElement(name, true, context->userData);
        case 'f':
            if (remaining < 5) return MDJSON_ERROR_INCOMPLETE;
            if (memcmp(ptr, "false", 5) != 0) return MDJSON_ERROR_INVALID_CHARACTER;
            context->bufferPtr += 5;
            return callbacks->onBooleanElement(name, false, context->userData);
        case 'n':
            if (remaining < 4) return MDJSON_ERROR_INCOMPLETE;
            if (memcmp(ptr, "null", 4) != 0) return MDJSON_ERROR_INVALID_CHARACTER;
            context->bufferPtr += 4;
            return callbacks->onNullElement(name, context->userData);
        default:
            if (*ptr == '-' || mdnum_isDecimalDigit(*ptr)) return decodeNumber(context, name);
            return MDJSON_ERROR_INVALID_CHARACTER;
    }
}

// Decodes one element (the top one named `topName`) and then calls
// onEndData. Nesting is tracked in a fixed stack rather than by recursion,
// so deep input cannot exhaust a small signal stack; the limit is the
// encoder's (MDJSON_MAX_CONTAINER_DEPTH - 1 open containers), and one more
// opening bracket fails with "Invalid data". The cursor lives in the context
// and is re-read after every callback, because file embedding refills the
// buffer from inside the callbacks.
static int decodeDocument(MDJSONDecodeContext* context, const char* topName) {
    const MDJSONDecodeCallbacks* callbacks = context->callbacks;
    bool isObject[MDJSON_MAX_CONTAINER_DEPTH];
    int depth = 0;
    const char* name = topName;
    int result;

    for (;;) {
        // One element, named `name`.
        result = skipWhitespace(context);
        if (result != MDJSON_OK) return result;
        bool justOpened = false;
        char ch = *context->bufferPtr;
        if (ch == '[' || ch == '{') {
            if (depth >= MDJSON_MAX_CONTAINER_DEPTH - 1) return MDJSON_ERROR_INVALID_DATA;
            context->bufferPtr++;
            bool object = ch == '{';
            result = object ? callbacks->onBeginObject(name, context->userData)
                            : callbacks->onBeginArray(name, context->userData);
            if (result != MDJSON_OK) return result;
            isObject[++depth] = object;
            justOpened = true;
        } else {
            result = decodeScalar(context, name);
            if (result != MDJSON_OK) return result;
            if (depth == 0) break;
        }

        // Inside the container at `depth`: after an element comes whitespace
        // and an optional comma; then a closing bracket or the next entry.
        for (;;) {
            if (!justOpened) {
                result = skipWhitespace(context);
                if (result != MDJSON_OK) return result;
                if (*context->bufferPtr == ',') context->bufferPtr++;
            }
            justOpened = false;
            result = skipWhitespace(context);
            if (result != MDJSON_OK) return result;
            if (*context->bufferPtr != (isObject[depth] ? '}' : ']')) break;
            context->bufferPtr++;
            result = callbacks->onEndContainer(context->userData);
            if (result != MDJSON_OK) return result;
            if (--depth == 0) return callbacks->onEndData(context->userData);
        }

        if (isObject[depth]) {
            result = decodeString(context, context->nameBuffer, context->nameBufferLength);
            if (result != MDJSON_OK) return result;
            result = skipWhitespace(context);
            if (result != MDJSON_OK) return result;
            if (*context->bufferPtr != ':') return MDJSON_ERROR_INVALID_CHARACTER;
            context->bufferPtr++;
            name = context->nameBuffer;
        } else {
            name = NULL;
        }
    }
    return callbacks->onEndData(context->userData);
}

int mdjson_decode(const char* data, int length, char* buffer, int bufferLength, const MDJSONDecodeCallbacks* callbacks,
                  void* userData, int* errorOffset) {
    if (data == NULL || length < 0) length = 0;
    if (buffer == NULL || bufferLength < 0) bufferLength = 0;
    int nameBufferLength = bufferLength / 4;
    MDJSONDecodeContext context;
    context.dataStart = data;
    context.bufferPtr = data;
    context.bufferEnd = data + length;
    context.nameBuffer = buffer;
    context.nameBufferLength = nameBufferLength;
    context.stringBuffer = buffer + nameBufferLength;
    context.stringBufferLength = bufferLength - nameBufferLength;
    context.callbacks = callbacks;
    context.userData = userData;

    int result = decodeDocument(&context, NULL);
    if (result != MDJSON_OK && errorOffset != NULL) *errorOffset = (int)(context.bufferPtr - context.dataStart);
    return result;
}

// ============================================================================
// Embedding JSON text and files into the document being encoded
// ============================================================================

#define MDJSON_EMBED_NAME_BUFFER MDJSON_EMBED_MAX_NAME_LENGTH
#define MDJSON_EMBED_STRING_BUFFER MDJSON_EMBED_MAX_STRING_LENGTH
// Twice the longest string: the reader keeps half a buffer ahead of the cursor.
#define MDJSON_EMBED_FILE_BUFFER (2 * MDJSON_EMBED_MAX_STRING_LENGTH + 64)

typedef struct JSONFromFileContext {
    MDJSONEncodeContext* encodeContext;
    MDJSONDecodeContext* decodeContext;
    char* bufferStart;
    const char* sourceFilename;
    int fd;
    bool isEOF;
    bool closeLastContainer;
    void (*updateDecoder)(struct JSONFromFileContext* context);
} JSONFromFileContext;

static void updateDecoder_doNothing(JSONFromFileContext* context) { (void)context; }

// Keeps at least half a buffer of input ahead of the cursor: when less is
// left, the rest moves to the front and the buffer is filled up behind it.
static void updateDecoder_readFile(JSONFromFileContext* context) {
    if (context->isEOF) return;
    MDJSONDecodeContext* decodeContext = context->decodeContext;
    char* start = context->bufferStart;
    int remaining = (int)(decodeContext->bufferEnd - decodeContext->bufferPtr);
    int size = (int)(decodeContext->bufferEnd - start);
    if (remaining >= size / 2) return;

    memmove(start, decodeContext->bufferPtr, (size_t)remaining);
    decodeContext->bufferPtr = start;
    decodeContext->dataStart = start;
    int wanted = size - remaining;
    int error = 0;
    int got = (int)mdsys_readFully(context->fd, start + remaining, (size_t)wanted, &error);
    if (got < wanted) {
        context->isEOF = true;
        decodeContext->bufferEnd = start + remaining + got;
        if (error != 0) MDLOG_ERROR("Error reading file %s: %s", context->sourceFilename, mdsys_errorText(error));
    }
}

static int embed_onBooleanElement(const char* name, bool value, void* userData) {
    JSONFromFileContext* context = (JSONFromFileContext*)userData;
    int result = mdjson_addBooleanElement(context->encodeContext, name, value);
    context->updateDecoder(context);
    return result;
}

static int embed_onFloatingPointElement(const char* name, double value, void* userData) {
    JSONFromFileContext* context = (JSONFromFileContext*)userData;
    int result = mdjson_addFloatingPointElement(context->encodeContext, name, value);
    context->updateDecoder(context);
    return result;
}

static int embed_onIntegerElement(const char* name, int64_t value, void* userData) {
    JSONFromFileContext* context = (JSONFromFileContext*)userData;
    int result = mdjson_addIntegerElement(context->encodeContext, name, value);
    context->updateDecoder(context);
    return result;
}

static int embed_onNullElement(const char* name, void* userData) {
    JSONFromFileContext* context = (JSONFromFileContext*)userData;
    int result = mdjson_addNullElement(context->encodeContext, name);
    context->updateDecoder(context);
    return result;
}

static int embed_onStringElement(const char* name, const char* value, void* userData) {
    JSONFromFileContext* context = (JSONFromFileContext*)userData;
    int result = mdjson_addStringElement(context->encodeContext, name, value, (int)strlen(value));
    context->updateDecoder(context);
    return result;
}

static int embed_onBeginObject(const char* name, void* userData) {
    JSONFromFileContext* context = (JSONFromFileContext*)userData;
    int result = mdjson_beginObject(context->encodeContext, name);
    context->updateDecoder(context);
    return result;
}

static int embed_onBeginArray(const char* name, void* userData) {
    JSONFromFileContext* context = (JSONFromFileContext*)userData;
    int result = mdjson_beginArray(context->encodeContext, name);
    context->updateDecoder(context);
    return result;
}

// Without closeLastContainer, closings below level 3 are dropped: the
// source's outermost container then stays open in a report whose top object
// sits at level 1, and the caller can go on adding members to it.
static int embed_onEndContainer(void* userData) {
    JSONFromFileContext* context = (JSONFromFileContext*)userData;
    int result = MDJSON_OK;
    if (context->closeLastContainer || context->encodeContext->containerLevel >= 3) {
        result = mdjson_endContainer(context->encodeContext);
    }
    context->updateDecoder(context);
    return result;
}

static int embed_onEndData(void* userData) {
    (void)userData;
    return MDJSON_OK;
}

static const MDJSONDecodeCallbacks kEmbedCallbacks = {
    embed_onBooleanElement, embed_onFloatingPointElement,
    embed_onIntegerElement, embed_onNullElement,
    embed_onStringElement,  embed_onBeginObject,
    embed_onBeginArray,     embed_onEndContainer,
    embed_onEndData,
};

// Decodes through the embedding callbacks, then (with closeLastContainer)
// closes whatever the source left open, so that a truncated source still
// leaves balanced brackets.
static int embedDocument(JSONFromFileContext* context, const char* name) {
    MDJSONEncodeContext* encodeContext = context->encodeContext;
    int levelBefore = encodeContext->containerLevel;
    int result = decodeDocument(context->decodeContext, name);
    if (context->closeLastContainer) {
        // Every call lowers the level, even when the sink fails.
        while (encodeContext->containerLevel > levelBefore) mdjson_endContainer(encodeContext);
    }
    return result;
}

int mdjson_addJSONElement(MDJSONEncodeContext* context, const char* name, const char* jsonData, int jsonDataLength,
                          bool closeLastContainer) {
    if (jsonData == NULL || jsonDataLength < 0) jsonDataLength = 0;
    char nameBuffer[MDJSON_EMBED_NAME_BUFFER];
    char stringBuffer[MDJSON_EMBED_STRING_BUFFER];
    JSONFromFileContext fileContext;
    MDJSONDecodeContext decodeContext;
    decodeContext.dataStart = jsonData;
    decodeContext.bufferPtr = jsonData;
    decodeContext.bufferEnd = jsonData + jsonDataLength;
    decodeContext.nameBuffer = nameBuffer;
    decodeContext.nameBufferLength = (int)sizeof(nameBuffer);
    decodeContext.stringBuffer = stringBuffer;
    decodeContext.stringBufferLength = (int)sizeof(stringBuffer);
    decodeContext.callbacks = &kEmbedCallbacks;
    decodeContext.userData = &fileContext;

    fileContext.encodeContext = context;
    fileContext.decodeContext = &decodeContext;
    fileContext.bufferStart = NULL;
    fileContext.sourceFilename = NULL;
    fileContext.fd = -1;
    fileContext.isEOF = true;
    fileContext.closeLastContainer = closeLastContainer;
    fileContext.updateDecoder = updateDecoder_doNothing;
    return embedDocument(&fileContext, name);
}

int mdjson_addJSONFromFile(MDJSONEncodeContext* context, const char* name, const char* filename,
                           bool closeLastContainer) {
    char nameBuffer[MDJSON_EMBED_NAME_BUFFER];
    char stringBuffer[MDJSON_EMBED_STRING_BUFFER];
    char readBuffer[MDJSON_EMBED_FILE_BUFFER];
    JSONFromFileContext fileContext;
    MDJSONDecodeContext decodeContext;
    char* const bufferEnd = readBuffer + sizeof(readBuffer);
    decodeContext.dataStart = bufferEnd;
    decodeContext.bufferPtr = bufferEnd;
    decodeContext.bufferEnd = bufferEnd;
    decodeContext.nameBuffer = nameBuffer;
    decodeContext.nameBufferLength = (int)sizeof(nameBuffer);
    decodeContext.stringBuffer = stringBuffer;
    decodeContext.stringBufferLength = (int)sizeof(stringBuffer);
    decodeContext.callbacks = &kEmbedCallbacks;
    decodeContext.userData = &fileContext;

    fileContext.encodeContext = context;
    fileContext.decodeContext = &decodeContext;
    fileContext.bufferStart = readBuffer;
    fileContext.sourceFilename = filename != NULL ? filename : "(null)";
    fileContext.fd = filename != NULL ? mdsys_open(filename, O_RDONLY | O_CLOEXEC, 0) : -1;
    fileContext.isEOF = false;
    fileContext.closeLastContainer = closeLastContainer;
    fileContext.updateDecoder = updateDecoder_readFile;

    if (fileContext.fd < 0) {
        // Decodes as empty input: "Incomplete data".
        MDLOG_ERROR("Error reading file %s: %s", fileContext.sourceFilename,
                    mdsys_errorText(filename != NULL ? errno : EINVAL));
        fileContext.isEOF = true;
        decodeContext.bufferPtr = readBuffer;
        decodeContext.dataStart = readBuffer;
        decodeContext.bufferEnd = readBuffer;
    } else {
        updateDecoder_readFile(&fileContext);
    }
    int result = embedDocument(&fileContext, name);
    if (fileContext.fd >= 0) close(fileContext.fd);
    return result;
}
