// Small file routines of the crash recorder: complete descriptor reads and
// writes, whole-file reading with a size limit, directory creation and
// recursive deletion, and buffered streams over caller-supplied buffers.
//
// Crash-path safe: mdfu_writeBytesToFD, mdfu_readBytesFromFD and the buffered
// writer and reader use only open/read/write/lseek/close on caller-owned
// memory (no heap, no locks, no stdio, no exceptions), retry calls cut short
// by EINTR, and log through the async-safe logger, so they may run in a signal
// handler of a crashed process. mdfu_readEntireFile, mdfu_makePath,
// mdfu_removeFile and mdfu_deleteContentsOfPath allocate and must not.
//
// Every failure is logged at ERROR level and answered with false; nothing is
// thrown. Each writer, reader and descriptor must be used by one thread at a time.
#pragma once

// A file written through a buffer the caller owns (usually on its stack).
typedef struct {
    char* buffer;      // the caller's buffer
    int bufferLength;  // its size
    int position;      // bytes currently held
    int fd;            // the open file (0 is a file too); -1 when not open
} MDBufferedWriter;

// A file read through a buffer the caller owns. One byte of the buffer is
// kept for a terminating NUL, so buffer[dataEndPos] is always NUL.
typedef struct {
    char* buffer;      // the caller's buffer
    int bufferLength;  // usable size: the caller's size - 1
    int dataStartPos;  // first unread byte
    int dataEndPos;    // end of the bytes read
    int fd;            // the open file (0 is a file too); -1 when not open
} MDBufferedReader;

// Writes all `length` bytes, continuing after partial writes. A length of 0
// or less succeeds at once. Crash-path safe.
bool mdfu_writeBytesToFD(int fd, const char* bytes, int length);

// Reads exactly `length` bytes, continuing after partial reads; end of file
// before that many bytes is a failure. A length of 0 or less succeeds at
// once. Crash-path safe.
bool mdfu_readBytesFromFD(int fd, char* buffer, int length);

// Reads the file at `path` into a malloc'ed, NUL-terminated buffer that the
// caller frees. With `maxLength` 0 (or less) or not smaller than the file,
// the whole file is read; otherwise its last `maxLength` bytes. `length`
// (may be null) receives the byte count. On failure *data is null and
// *length 0. Not crash-path safe.
bool mdfu_readEntireFile(const char* path, char** data, int* length, int maxLength);

// Creates `absolutePath` and every missing directory above it, mode 0700.
// Directories that already exist are no failure. Not crash-path safe.
bool mdfu_makePath(const char* absolutePath);

// Removes a file or empty directory. A missing file is logged only when
// `mustExist`; every failure answers false. Not crash-path safe.
bool mdfu_removeFile(const char* path, bool mustExist);

// Deletes everything inside the directory `path`, keeping the directory
// itself. Refuses (false, nothing deleted) when the last path component is
// "." or "..". Symbolic links inside are removed, never followed. Not
// crash-path safe.
bool mdfu_deleteContentsOfPath(const char* path);

// Creates a new file at `path` (it must not exist yet; mode 0644) written
// through `writeBuffer`. Crash-path safe.
bool mdfu_openBufferedWriter(MDBufferedWriter* writer, const char* path, char* writeBuffer, int writeBufferLength);

// Flushes the held bytes and closes the file; the descriptor becomes -1.
// Does nothing when the writer is not open. Crash-path safe.
void mdfu_closeBufferedWriter(MDBufferedWriter* writer);

// Adds `length` bytes. Flushes first when they do not fit the free space;
// bytes longer than the whole buffer go straight to the file, after the ones
// already held. Nothing is ever copied past the buffer's end. Fails when the
// writer is not open. Crash-path safe.
bool mdfu_writeBufferedWriter(MDBufferedWriter* writer, const char* data, int length);

// Writes out the held bytes. On failure they stay held for a later attempt.
// Fails when the writer is not open. Crash-path safe.
bool mdfu_flushBufferedWriter(MDBufferedWriter* writer);

// Opens `path` for reading through `readBuffer` (at least 2 bytes) and fills
// the buffer once. Crash-path safe.
bool mdfu_openBufferedReader(MDBufferedReader* reader, const char* path, char* readBuffer, int readBufferLength);

// Closes the file; the descriptor becomes -1. Crash-path safe.
void mdfu_closeBufferedReader(MDBufferedReader* reader);

// Copies bytes into `dstBuffer` up to and including the first `ch`, but no
// more than *length bytes (the destination is not NUL-terminated). On return
// *length holds the number of bytes copied. Answers true when `ch` was
// copied; false when the request ran out, the file ended or a read failed.
// Crash-path safe.
bool mdfu_readBufferedReaderUntilChar(MDBufferedReader* reader, int ch, char* dstBuffer, int* length);
