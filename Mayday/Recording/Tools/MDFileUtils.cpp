// File routines of the crash recorder. The descriptor, writer and reader
// routines run on the crash path: raw system calls on caller memory only,
// no heap, no locks, no stdio, no exceptions. See MDFileUtils.h.
#include "Mayday/Recording/Tools/MDFileUtils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Recording/Tools/MDSysCall.h"

namespace {

// Recursive deletion builds entry paths in buffers of this size.
constexpr int kPathBufferLength = 500;

// ---- Directory listing and recursive deletion (off the crash path).

struct DirCloser {
    void operator()(DIR* dir) const noexcept { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Every entry, "." and ".." included; 0 when the directory cannot be opened.
int dirContentsCount(const char* path) {
    DirHandle dir(opendir(path));
    if (!dir) {
        MDLOG_ERROR("Error reading directory %s: %s", path, mdsys_errorText(errno));
        return 0;
    }
    int count = 0;
    while (readdir(dir.get()) != nullptr) {
        count++;
    }
    return count;
}

// The entry names, at most as many as a first count found: a directory that
// grows while it is listed is reported, and the newcomers are left for later.
std::vector<std::string> dirContents(const char* path) {
    std::vector<std::string> names;
    const int count = dirContentsCount(path);
    if (count < 1) {
        return names;
    }
    DirHandle dir(opendir(path));
    if (!dir) {
        MDLOG_ERROR("Error reading directory %s: %s", path, mdsys_errorText(errno));
        return names;
    }
    names.reserve(static_cast<size_t>(count));
    const struct dirent* entry;
    while ((entry = readdir(dir.get())) != nullptr) {
        if (static_cast<int>(names.size()) >= count) {
            MDLOG_ERROR("Contents of %s have been mutated", path);
            break;
        }
        names.emplace_back(entry->d_name);
    }
    return names;
}

bool deletePathContents(const char* path, bool deleteTopLevelPathAlso) {
    struct stat statStruct;
    // Entries are examined without following links, so a link to a directory
    // elsewhere is removed as a link and its target is never emptied. The
    // path the caller named may itself be a link to the directory meant.
    const int statResult = deleteTopLevelPathAlso ? lstat(path, &statStruct) : stat(path, &statStruct);
    if (statResult != 0) {
        MDLOG_ERROR("Could not stat %s: %s", path, mdsys_errorText(errno));
        return false;
    }
    if (S_ISDIR(statStruct.st_mode)) {
        const std::vector<std::string> entries = dirContents(path);
        char pathBuffer[kPathBufferLength];
        const int prefixLength = snprintf(pathBuffer, sizeof(pathBuffer), "%s/", path);
        for (const std::string& entry : entries) {
            if (entry == "." || entry == "..") {
                continue;
            }
            // A name that does not fit is skipped rather than cut: a cut path
            // could name some other file, and that one would be deleted.
            if (prefixLength < 0 || prefixLength + entry.size() >= sizeof(pathBuffer)) {
                MDLOG_ERROR("Could not delete %s/%s: %s", path, entry.c_str(), mdsys_errorText(ENAMETOOLONG));
                continue;
            }
            memcpy(pathBuffer + prefixLength, entry.c_str(), entry.size() + 1);
            deletePathContents(pathBuffer, true);
        }
        if (deleteTopLevelPathAlso) {
            mdfu_removeFile(path, false);
        }
        return true;
    }
    if (S_ISREG(statStruct.st_mode) || S_ISLNK(statStruct.st_mode)) {
        mdfu_removeFile(path, false);
        return true;
    }
    MDLOG_ERROR("Could not delete %s: Not a regular file.", path);
    return false;
}

// ---- Buffered writer and reader (crash path).

// Descriptor 0 is a file like any other (standard input may have been
// closed); only a negative descriptor means "not open". Using a writer that
// is not open is logged as the EBADF it is.
bool isOpen(int fd) {
    if (fd >= 0) {
        return true;
    }
    MDLOG_ERROR("Could not use fd %d: %s", fd, mdsys_errorText(EBADF));
    return false;
}

// Moves the unread bytes to the front and reads behind them. Answers the
// number of new bytes, or -1 when the read fails.
int fillReadBuffer(MDBufferedReader* reader) {
    if (reader->dataStartPos > 0) {
        const int unread = reader->dataEndPos - reader->dataStartPos;
        memmove(reader->buffer, reader->buffer + reader->dataStartPos, static_cast<size_t>(unread));
        reader->dataEndPos -= reader->dataStartPos;
        reader->dataStartPos = 0;
        reader->buffer[reader->dataEndPos] = '\0';
    }
    const int bytesToRead = reader->bufferLength - reader->dataEndPos;
    if (bytesToRead <= 0) {
        return 0;
    }
    const ssize_t bytesRead =
        mdsys_read(reader->fd, reader->buffer + reader->dataEndPos, static_cast<size_t>(bytesToRead));
    if (bytesRead < 0) {
        MDLOG_ERROR("Could not read: %s", mdsys_errorText(errno));
        return -1;
    }
    reader->dataEndPos += static_cast<int>(bytesRead);
    reader->buffer[reader->dataEndPos] = '\0';
    return static_cast<int>(bytesRead);
}

}  // namespace

bool mdfu_writeBytesToFD(int fd, const char* bytes, int length) {
    if (length <= 0) {
        return true;
    }
    if (!mdsys_writeFully(fd, bytes, static_cast<size_t>(length))) {
        MDLOG_ERROR("Could not write to fd %d: %s", fd, mdsys_errorText(errno));
        return false;
    }
    return true;
}

bool mdfu_readBytesFromFD(int fd, char* buffer, int length) {
    if (length <= 0) {
        return true;
    }
    int error = 0;
    const size_t got = mdsys_readFully(fd, buffer, static_cast<size_t>(length), &error);
    if (error != 0) {
        MDLOG_ERROR("Could not read from fd %d: %s", fd, mdsys_errorText(error));
        return false;
    }
    // Short only when the file ended before the length was filled.
    return got == static_cast<size_t>(length);
}

bool mdfu_readEntireFile(const char* path, char** data, int* length, int maxLength) {
    if (data) *data = nullptr;
    if (length) *length = 0;

    struct stat st;
    if (stat(path, &st) < 0) {
        MDLOG_ERROR("Could not stat %s: %s", path, mdsys_errorText(errno));
        return false;
    }
    const int fd = mdsys_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        MDLOG_ERROR("Could not open %s: %s", path, mdsys_errorText(errno));
        return false;
    }

    bool ok = false;
    char* buffer = nullptr;
    long long bytesToRead = st.st_size;
    if (maxLength > 0 && maxLength < st.st_size) {
        // Only the tail is wanted: start that many bytes before the end.
        bytesToRead = maxLength;
        if (lseek(fd, -static_cast<off_t>(maxLength), SEEK_END) < 0) {
            MDLOG_ERROR("Could not seek to %d from end of %s: %s", -maxLength, path, mdsys_errorText(errno));
            goto done;
        }
    }
    // The length is handed out as an int: a bigger file cannot be held.
    if (bytesToRead > 0x7ffffffe || (buffer = static_cast<char*>(malloc(static_cast<size_t>(bytesToRead) + 1))) == nullptr) {
        MDLOG_ERROR("Out of memory");
        goto done;
    }
    if (!mdfu_readBytesFromFD(fd, buffer, static_cast<int>(bytesToRead))) {
        goto done;
    }
    buffer[bytesToRead] = '\0';
    ok = true;

done:
    close(fd);
    if (!ok) {
        free(buffer);
        return false;
    }
    if (data) {
        *data = buffer;
    } else {
        free(buffer);
    }
    if (length) *length = static_cast<int>(bytesToRead);
    return true;
}

bool mdfu_makePath(const char* absolutePath) {
    char* path = strdup(absolutePath);
    if (!path) {
        MDLOG_ERROR("Out of memory");
        return false;
    }
    bool ok = true;
    // Each directory above the last, then the last.
    for (char* ptr = path + 1; *ptr != '\0'; ptr++) {
        if (*ptr == '/') {
            *ptr = '\0';
            if (mkdir(path, S_IRWXU) < 0 && errno != EEXIST) {
                MDLOG_ERROR("Could not create directory %s: %s", path, mdsys_errorText(errno));
                ok = false;
            }
            *ptr = '/';
            if (!ok) break;
        }
    }
    if (ok && mkdir(path, S_IRWXU) < 0 && errno != EEXIST) {
        MDLOG_ERROR("Could not create directory %s: %s", path, mdsys_errorText(errno));
        ok = false;
    }
    free(path);
    return ok;
}

bool mdfu_removeFile(const char* path, bool mustExist) {
    if (remove(path) < 0) {
        const int err = errno;
        if (err != ENOENT || mustExist) {
            MDLOG_ERROR("Could not delete %s: %s", path, mdsys_errorText(err));
        }
        return false;
    }
    return true;
}

bool mdfu_deleteContentsOfPath(const char* path) {
    // The last component, trailing slashes aside.
    size_t end = strlen(path);
    while (end > 1 && path[end - 1] == '/') {
        end--;
    }
    size_t start = end;
    while (start > 0 && path[start - 1] != '/') {
        start--;
    }
    const std::string last(path + start, end - start);
    if (last == "." || last == "..") {
        return false;
    }
    return deletePathContents(path, false);
}

bool mdfu_openBufferedWriter(MDBufferedWriter* writer, const char* path, char* writeBuffer, int writeBufferLength) {
    writer->buffer = writeBuffer;
    // Without a usable buffer every write goes straight to the file.
    writer->bufferLength = writeBuffer != nullptr && writeBufferLength > 0 ? writeBufferLength : 0;
    writer->position = 0;
    // Exclusive creation: a report never overwrites an existing file.
    writer->fd = mdsys_open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (writer->fd < 0) {
        MDLOG_ERROR("Could not open crash report file %s: %s", path, mdsys_errorText(errno));
        return false;
    }
    return true;
}

void mdfu_closeBufferedWriter(MDBufferedWriter* writer) {
    if (writer->fd >= 0) {
        mdfu_flushBufferedWriter(writer);
        close(writer->fd);
        writer->fd = -1;
    }
}

bool mdfu_writeBufferedWriter(MDBufferedWriter* writer, const char* data, int length) {
    if (!isOpen(writer->fd)) {
        return false;
    }
    if (length <= 0) {
        return true;
    }
    if (length > writer->bufferLength - writer->position) {
        if (!mdfu_flushBufferedWriter(writer)) {
            return false;
        }
    }
    // Measured against the free space, not the buffer's size: the bytes are
    // only ever copied where they fit.
    if (length > writer->bufferLength - writer->position) {
        return mdfu_writeBytesToFD(writer->fd, data, length);
    }
    memcpy(writer->buffer + writer->position, data, static_cast<size_t>(length));
    writer->position += length;
    return true;
}

bool mdfu_flushBufferedWriter(MDBufferedWriter* writer) {
    if (!isOpen(writer->fd)) {
        return false;
    }
    if (writer->position > 0) {
        if (!mdfu_writeBytesToFD(writer->fd, writer->buffer, writer->position)) {
            return false;
        }
        writer->position = 0;
    }
    return true;
}

bool mdfu_openBufferedReader(MDBufferedReader* reader, const char* path, char* readBuffer, int readBufferLength) {
    reader->buffer = readBuffer;
    reader->bufferLength = 0;
    reader->dataStartPos = 0;
    reader->dataEndPos = 0;
    reader->fd = -1;
    if (readBuffer == nullptr || readBufferLength < 2) {
        // No room for a byte and its terminating NUL.
        MDLOG_ERROR("Could not open file %s: %s", path, mdsys_errorText(EINVAL));
        return false;
    }
    readBuffer[0] = '\0';
    readBuffer[readBufferLength - 1] = '\0';
    reader->bufferLength = readBufferLength - 1;
    reader->fd = mdsys_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (reader->fd < 0) {
        MDLOG_ERROR("Could not open file %s: %s", path, mdsys_errorText(errno));
        return false;
    }
    fillReadBuffer(reader);
    return true;
}

void mdfu_closeBufferedReader(MDBufferedReader* reader) {
    if (reader->fd >= 0) {
        close(reader->fd);
    }
    reader->fd = -1;
}

bool mdfu_readBufferedReaderUntilChar(MDBufferedReader* reader, int ch, char* dstBuffer, int* length) {
    int remaining = *length;
    int total = 0;
    if (remaining <= 0) {
        *length = 0;
        return false;
    }
    const char wanted = static_cast<char>(ch);
    for (;;) {
        const char* src = reader->buffer + reader->dataStartPos;
        int copyLength = reader->dataEndPos - reader->dataStartPos;
        if (copyLength > remaining) {
            copyLength = remaining;
        }
        bool found = false;
        for (int i = 0; i < copyLength; i++) {
            if (src[i] == wanted) {
                copyLength = i + 1;
                found = true;
                break;
            }
        }
        memcpy(dstBuffer + total, src, static_cast<size_t>(copyLength));
        reader->dataStartPos += copyLength;
        total += copyLength;
        if (found) {
            *length = total;
            return true;
        }
        remaining -= copyLength;
        if (remaining <= 0) {
            break;
        }
        if (fillReadBuffer(reader) <= 0) {
            break;
        }
    }
    *length = total;
    return false;
}
