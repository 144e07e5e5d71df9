// The seventeen element writers of a report and the file and JSON-text
// elements behind them.
//
// Crash-path safe: the JSON encoder, open/read/close through mdsys_ and the
// buffered reader, stack buffers only; no heap, no locks, no stdio.
#include "Mayday/Recording/MaydayReportWriter.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDFileUtils.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

MDJSONEncodeContext* encoderOf(const MaydayReportWriter* writer) {
    return static_cast<MDJSONEncodeContext*>(writer->context);
}

void addBooleanElement(const MaydayReportWriter* writer, const char* name, bool value) {
    mdjson_addBooleanElement(encoderOf(writer), name, value);
}

void addFloatingPointElement(const MaydayReportWriter* writer, const char* name, double value) {
    mdjson_addFloatingPointElement(encoderOf(writer), name, value);
}

void addIntegerElement(const MaydayReportWriter* writer, const char* name, int64_t value) {
    mdjson_addIntegerElement(encoderOf(writer), name, value);
}

void addUIntegerElement(const MaydayReportWriter* writer, const char* name, uint64_t value) {
    mdjson_addIntegerElement(encoderOf(writer), name, static_cast<int64_t>(value));
}

void addStringElement(const MaydayReportWriter* writer, const char* name, const char* value) {
    mdjson_addStringElement(encoderOf(writer), name, value, -1);
}

void addTextFileElement(const MaydayReportWriter* writer, const char* name, const char* filePath) {
    const int fd = mdsys_open(filePath, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        MDLOG_ERROR("Could not open file %s: %s", filePath, mdsys_errorText(errno));
        return;
    }
    MDJSONEncodeContext* encoder = encoderOf(writer);
    if (mdjson_beginStringElement(encoder, name) != MDJSON_OK) {
        MDLOG_ERROR("Could not start string element");
    } else {
        char buffer[512];
        for (;;) {
            const ssize_t got = mdsys_read(fd, buffer, sizeof(buffer));
            if (got <= 0) break;
            if (mdjson_appendStringElement(encoder, buffer, static_cast<int>(got)) != MDJSON_OK) {
                MDLOG_ERROR("Could not append string element");
                break;
            }
        }
    }
    mdjson_endStringElement(encoder);
    close(fd);
}

void addTextFileLinesElement(const MaydayReportWriter* writer, const char* name, const char* filePath) {
    char readBuffer[1024];
    MDBufferedReader reader;
    if (!mdfu_openBufferedReader(&reader, filePath, readBuffer, sizeof(readBuffer))) return;
    MDJSONEncodeContext* encoder = encoderOf(writer);
    mdjson_beginArray(encoder, name);
    char line[1024];
    for (;;) {
        int length = static_cast<int>(sizeof(line)) - 1;
        mdfu_readBufferedReaderUntilChar(&reader, '\n', line, &length);
        if (length <= 0) break;
        if (line[length - 1] == '\n') length--;
        line[length] = '\0';
        mdjson_addStringElement(encoder, nullptr, line, length);
    }
    mdjson_endContainer(encoder);
    mdfu_closeBufferedReader(&reader);
}

void addJSONFileElement(const MaydayReportWriter* writer, const char* name, const char* filePath,
                        bool closeLastContainer) {
    const int result = mdjson_addJSONFromFile(encoderOf(writer), name, filePath, closeLastContainer);
    if (result != MDJSON_OK) MDLOG_ERROR("Could not add JSON file %s: %s", filePath, mdjson_stringForError(result));
}

void addDataElement(const MaydayReportWriter* writer, const char* name, const char* value, int length) {
    mdjson_addDataElement(encoderOf(writer), name, value, length);
}

void beginDataElement(const MaydayReportWriter* writer, const char* name) {
    mdjson_beginDataElement(encoderOf(writer), name);
}

void appendDataElement(const MaydayReportWriter* writer, const char* value, int length) {
    mdjson_appendDataElement(encoderOf(writer), value, length);
}

void endDataElement(const MaydayReportWriter* writer) { mdjson_endDataElement(encoderOf(writer)); }

void addUUIDElement(const MaydayReportWriter* writer, const char* name, const unsigned char* value) {
    if (value == nullptr) {
        mdjson_addNullElement(encoderOf(writer), name);
        return;
    }
    static const int kGroupEnds[] = {4, 6, 8, 10, 16};
    char text[37];
    int out = 0;
    int byte = 0;
    for (int group = 0; group < 5; group++) {
        if (group > 0) text[out++] = '-';
        for (; byte < kGroupEnds[group]; byte++) {
            mdnum_writeHexByte(text + out, value[byte], true);
            out += 2;
        }
    }
    text[out] = '\0';
    mdjson_addStringElement(encoderOf(writer), name, text, out);
}

void addJSONElement(const MaydayReportWriter* writer, const char* name, const char* jsonElement,
                    bool closeLastContainer) {
    MDJSONEncodeContext* encoder = encoderOf(writer);
    const int length = jsonElement != nullptr ? static_cast<int>(strlen(jsonElement)) : 0;
    const int result = mdjson_addJSONElement(encoder, name, jsonElement, length, closeLastContainer);
    if (result == MDJSON_OK) return;
    char message[100];
    maydayreport_invalidJSONText(result, message, sizeof(message));
    mdjson_beginObject(encoder, name);
    mdjson_addStringElement(encoder, "error", message, -1);
    mdjson_addStringElement(encoder, "json_data", jsonElement, -1);
    mdjson_endContainer(encoder);
}

void beginObject(const MaydayReportWriter* writer, const char* name) { mdjson_beginObject(encoderOf(writer), name); }

void beginArray(const MaydayReportWriter* writer, const char* name) { mdjson_beginArray(encoderOf(writer), name); }

void endContainer(const MaydayReportWriter* writer) { mdjson_endContainer(encoderOf(writer)); }

}  // namespace

void maydayreport_invalidJSONText(int error, char* buffer, int bufferLength) {
    static const char kPrefix[] = "Invalid JSON data: ";
    if (bufferLength <= 0) return;
    const char* reason = mdjson_stringForError(error);
    int out = 0;
    for (const char* p = kPrefix; *p && out < bufferLength - 1; p++) buffer[out++] = *p;
    for (const char* p = reason; *p && out < bufferLength - 1; p++) buffer[out++] = *p;
    buffer[out] = '\0';
}

int maydayreport_addJSONDataToWriter(const char* data, int length, void* userData) {
    MDBufferedWriter* writer = static_cast<MDBufferedWriter*>(userData);
    return mdfu_writeBufferedWriter(writer, data, length) ? MDJSON_OK : MDJSON_ERROR_CANNOT_ADD_DATA;
}

void maydayreport_prepareReportWriter(MaydayReportWriter* writer, MDJSONEncodeContext* context) {
    writer->addBooleanElement = addBooleanElement;
    writer->addFloatingPointElement = addFloatingPointElement;
    writer->addIntegerElement = addIntegerElement;
    writer->addUIntegerElement = addUIntegerElement;
    writer->addStringElement = addStringElement;
    writer->addTextFileElement = addTextFileElement;
    writer->addTextFileLinesElement = addTextFileLinesElement;
    writer->addJSONFileElement = addJSONFileElement;
    writer->addDataElement = addDataElement;
    writer->beginDataElement = beginDataElement;
    writer->appendDataElement = appendDataElement;
    writer->endDataElement = endDataElement;
    writer->addUUIDElement = addUUIDElement;
    writer->addJSONElement = addJSONElement;
    writer->beginObject = beginObject;
    writer->beginArray = beginArray;
    writer->endContainer = endContainer;
    writer->context = context;
}
