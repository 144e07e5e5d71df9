// The crash reporter's JSON encoder and decoder.
//
// Crash-path safe: everything here works in caller-owned records and fixed
// stack buffers, with no heap, no locks and no globals, so it can run in a
// signal handler while the other threads are suspended. Every operation
// answers 0 on success or one of the error codes below.
#pragma once

#include <cstdint>

enum {
    MDJSON_OK = 0,
    MDJSON_ERROR_INVALID_CHARACTER = 1,
    MDJSON_ERROR_DATA_TOO_LONG = 2,
    MDJSON_ERROR_CANNOT_ADD_DATA = 3,
    MDJSON_ERROR_INCOMPLETE = 4,
    MDJSON_ERROR_INVALID_DATA = 5,
};

// "Invalid character", "Data too long", "Cannot add data", "Incomplete data",
// "Invalid data", or "(unknown error)".
const char* mdjson_stringForError(int error);

// Receives every output byte; a non-zero answer aborts the element being written.
typedef int (*MDJSONAddDataFunc)(const char* data, int length, void* userData);

// The container stack's size: at most MDJSON_MAX_CONTAINER_DEPTH - 1 open containers.
#define MDJSON_MAX_CONTAINER_DEPTH 200

typedef struct {
    MDJSONAddDataFunc addJSONData;
    void* userData;
    int containerLevel;                          // 0 at the top level
    char isObject[MDJSON_MAX_CONTAINER_DEPTH];  // isObject[n]: the container at depth n is an object
    bool isFirstEntry;                           // no comma before the next element
    bool prettyPrint;
} MDJSONEncodeContext;

typedef struct {
    int (*onBooleanElement)(const char* name, bool value, void* userData);
    int (*onFloatingPointElement)(const char* name, double value, void* userData);
    int (*onIntegerElement)(const char* name, int64_t value, void* userData);
    int (*onNullElement)(const char* name, void* userData);
    int (*onStringElement)(const char* name, const char* value, void* userData);
    int (*onBeginObject)(const char* name, void* userData);
    int (*onBeginArray)(const char* name, void* userData);
    int (*onEndContainer)(void* userData);
    int (*onEndData)(void* userData);
} MDJSONDecodeCallbacks;

// ---- Encoder. `name` is required inside objects and ignored elsewhere.
void mdjson_beginEncode(MDJSONEncodeContext* context, bool prettyPrint, MDJSONAddDataFunc addJSONData, void* userData);
int mdjson_endEncode(MDJSONEncodeContext* context);
int mdjson_beginObject(MDJSONEncodeContext* context, const char* name);
int mdjson_beginArray(MDJSONEncodeContext* context, const char* name);
int mdjson_endContainer(MDJSONEncodeContext* context);
int mdjson_addBooleanElement(MDJSONEncodeContext* context, const char* name, bool value);
int mdjson_addIntegerElement(MDJSONEncodeContext* context, const char* name, int64_t value);
int mdjson_addFloatingPointElement(MDJSONEncodeContext* context, const char* name, double value);
int mdjson_addNullElement(MDJSONEncodeContext* context, const char* name);
// A null value writes null; a length of -1 takes strlen(value).
int mdjson_addStringElement(MDJSONEncodeContext* context, const char* name, const char* value, int length);
int mdjson_beginStringElement(MDJSONEncodeContext* context, const char* name);
int mdjson_appendStringElement(MDJSONEncodeContext* context, const char* value, int length);
int mdjson_endStringElement(MDJSONEncodeContext* context);
// Data as quoted upper-case hexadecimal.
int mdjson_addDataElement(MDJSONEncodeContext* context, const char* name, const char* value, int length);
int mdjson_beginDataElement(MDJSONEncodeContext* context, const char* name);
int mdjson_appendDataElement(MDJSONEncodeContext* context, const char* value, int length);
int mdjson_endDataElement(MDJSONEncodeContext* context);
// Re-encodes the top element of a JSON text or file under `name`. Names and
// strings of the source may be this long (terminator included); a longer one
// fails with MDJSON_ERROR_DATA_TOO_LONG. They are sized for everything a
// crash report holds (1023-byte console lines, paths, long mangled symbol
// names), since a report is embedded whole into its recrash report; the
// buffers live on the stack (about 25 KiB for a file).
#define MDJSON_EMBED_MAX_NAME_LENGTH 512
#define MDJSON_EMBED_MAX_STRING_LENGTH 8192
int mdjson_addJSONElement(MDJSONEncodeContext* context, const char* name, const char* jsonData, int jsonDataLength,
                          bool closeLastContainer);
int mdjson_addJSONFromFile(MDJSONEncodeContext* context, const char* name, const char* filename,
                           bool closeLastContainer);

// ---- Decoder. Decodes one element of data[0..length) and reports it to the
// callbacks. `buffer` is split: the first quarter holds member names, the
// rest string values. On failure `errorOffset` (when given) receives the
// number of bytes before the point of failure.
int mdjson_decode(const char* data, int length, char* buffer, int bufferLength, const MDJSONDecodeCallbacks* callbacks,
                  void* userData, int* errorOffset);
