// The crash recorder's file routines: descriptor I/O, whole-file reads,
// directory creation and deletion, and the buffered writer and reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CrashChild.h"
#include "Mayday/Recording/Tools/MDFileUtils.h"
#include "StdoutCapture.h"
#include "TempDir.h"

namespace {

using zeltest::fileExists;
using zeltest::readFile;
using zeltest::TempDir;
using zeltest::writeFile;

using LogCapture = zeltest::StdoutCapture;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// 0..n-1 as distinct, position-revealing bytes.
std::string patterned(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('A' + (i * 7 + i / 26) % 26);
    return s;
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
};

std::atomic<int> g_signalsSeen{0};
void countSignal(int) { g_signalsSeen++; }

}  // namespace

// ---- Descriptor reads and writes

TEST(FileUtilsDescriptors, WritesAndReadsExactLengths) {
    TempDir dir;
    const std::string path = dir.file("f");
    const std::string data = patterned(100000);
    {
        Fd out(open(path.c_str(), O_WRONLY | O_CREAT, 0600));
        EXPECT_TRUE(mdfu_writeBytesToFD(out.fd, data.data(), static_cast<int>(data.size())));
        EXPECT_TRUE(mdfu_writeBytesToFD(out.fd, "ignored", 0));
        EXPECT_TRUE(mdfu_writeBytesToFD(out.fd, "ignored", -5));
    }
    EXPECT_EQ(readFile(path), data);

    Fd in(open(path.c_str(), O_RDONLY));
    std::string buffer(data.size(), '\0');
    EXPECT_TRUE(mdfu_readBytesFromFD(in.fd, buffer.data(), 60000));
    EXPECT_TRUE(mdfu_readBytesFromFD(in.fd, buffer.data() + 60000, 40000));
    EXPECT_EQ(buffer, data);
    EXPECT_TRUE(mdfu_readBytesFromFD(in.fd, buffer.data(), 0));
    // End of file before the length is filled.
    LogCapture log;
    EXPECT_FALSE(mdfu_readBytesFromFD(in.fd, buffer.data(), 1));
}

TEST(FileUtilsDescriptors, BadDescriptorsLogTheFailure) {
    LogCapture log;
    char buffer[4];
    EXPECT_FALSE(mdfu_writeBytesToFD(-1, "abc", 3));
    EXPECT_FALSE(mdfu_readBytesFromFD(-1, buffer, 3));
    const std::string text = log.text();
    EXPECT_TRUE(contains(text, "ERROR: ")) << text;
    EXPECT_TRUE(contains(text, "Could not write to fd -1: Bad file descriptor\n")) << text;
    EXPECT_TRUE(contains(text, "Could not read from fd -1: Bad file descriptor\n")) << text;
}

TEST(FileUtilsDescriptors, ReadCollectsPartialReadsAndSurvivesSignals) {
    Pipe p;
    struct sigaction action {};
    struct sigaction old {};
    action.sa_handler = countSignal;
    action.sa_flags = 0;  // no SA_RESTART: a blocked read returns EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
    g_signalsSeen = 0;

    const std::string data = patterned(100);
    std::string received(100, '\0');
    std::atomic<bool> ok{false};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        ok = mdfu_readBytesFromFD(p.fds[0], received.data(), 100);
        done = true;
    });
    // Interrupt the blocked reader a few times (a reader that gives up on the
    // interruption ends here), then feed it in small pieces.
    for (int attempt = 0; attempt < 1000 && g_signalsSeen < 3 && !done; attempt++) {
        pthread_kill(reader.native_handle(), SIGUSR1);
        usleep(2000);
    }
    EXPECT_FALSE(done) << "the read ended before any data was written";
    for (size_t i = 0; i < data.size() && !done; i += 10) {
        EXPECT_EQ(write(p.fds[1], data.data() + i, 10), 10);
        usleep(1000);
    }
    reader.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(ok);
    EXPECT_EQ(received, data);
}

// ---- Whole-file reads

TEST(FileUtilsReadEntireFile, ReadsWholeFileOrItsTail) {
    TempDir dir;
    const std::string path = dir.file("hundred");
    const std::string data = patterned(100);
    writeFile(path, data);

    char* text = nullptr;
    int length = -1;
    ASSERT_TRUE(mdfu_readEntireFile(path.c_str(), &text, &length, 10));
    EXPECT_EQ(length, 10);
    EXPECT_EQ(std::string(text), data.substr(90));
    free(text);

    for (int max : {0, 100, 5000}) {
        SCOPED_TRACE(max);
        text = nullptr;
        ASSERT_TRUE(mdfu_readEntireFile(path.c_str(), &text, &length, max));
        EXPECT_EQ(length, 100);
        EXPECT_EQ(std::string(text, 100), data);
        EXPECT_EQ(text[100], '\0');
        free(text);
    }

    // Length slot may be absent.
    ASSERT_TRUE(mdfu_readEntireFile(path.c_str(), &text, nullptr, 99));
    EXPECT_EQ(std::string(text), data.substr(1));
    free(text);
}

TEST(FileUtilsReadEntireFile, EmptyFileGivesEmptyText) {
    TempDir dir;
    writeFile(dir.file("empty"), "");
    char* text = nullptr;
    int length = -1;
    ASSERT_TRUE(mdfu_readEntireFile(dir.file("empty").c_str(), &text, &length, 0));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(text[0], '\0');
    free(text);
}

TEST(FileUtilsReadEntireFile, MissingFileFailsWithNothingHandedOut) {
    TempDir dir;
    const std::string path = dir.file("missing");
    LogCapture log;
    char* text = reinterpret_cast<char*>(0x1);
    int length = 77;
    EXPECT_FALSE(mdfu_readEntireFile(path.c_str(), &text, &length, 0));
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(contains(log.text(), "Could not stat " + path + ": No such file or directory\n")) << log.text();
}

// ---- Directories

TEST(FileUtilsMakePath, CreatesEveryLevelAndAcceptsExistingOnes) {
    TempDir dir;
    const std::string deep = dir.file("a/b/c/d");
    LogCapture log;
    EXPECT_TRUE(mdfu_makePath(deep.c_str()));
    struct stat st;
    ASSERT_EQ(stat(deep.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(dir.file("a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    EXPECT_TRUE(mdfu_makePath(deep.c_str()));
    EXPECT_TRUE(mdfu_makePath((deep + "/").c_str()));
    EXPECT_TRUE(mdfu_makePath(dir.path().c_str()));
    EXPECT_EQ(log.text(), "");
}

TEST(FileUtilsMakePath, FileInTheWayFails) {
    TempDir dir;
    writeFile(dir.file("file"), "x");
    LogCapture log;
    EXPECT_FALSE(mdfu_makePath(dir.file("file/sub/leaf").c_str()));
    EXPECT_TRUE(contains(log.text(), "Could not create directory " + dir.file("file/sub") + ": Not a directory\n"))
        << log.text();
    EXPECT_FALSE(fileExists(dir.file("file/sub/leaf")));
}

TEST(FileUtilsRemoveFile, MissingFileLogsOnlyWhenItMustExist) {
    TempDir dir;
    const std::string path = dir.file("gone");
    LogCapture log;
    EXPECT_FALSE(mdfu_removeFile(path.c_str(), false));
    EXPECT_EQ(log.text(), "");
    EXPECT_FALSE(mdfu_removeFile(path.c_str(), true));
    EXPECT_TRUE(contains(log.text(), "Could not delete " + path + ": No such file or directory\n")) << log.text();

    writeFile(path, "x");
    EXPECT_TRUE(mdfu_removeFile(path.c_str(), true));
    EXPECT_FALSE(fileExists(path));

    // Other failures are logged even when the file need not exist.
    writeFile(dir.file("full/inside"), "x");
    EXPECT_FALSE(mdfu_removeFile(dir.file("full").c_str(), false));
    EXPECT_TRUE(contains(log.text(), "Could not delete " + dir.file("full") + ": Directory not empty\n"));
}

TEST(FileUtilsDeleteContents, EmptiesTheTreeButKeepsTheDirectory) {
    TempDir dir;
    const std::string root = dir.file("reports");
    writeFile(root + "/one.json", "1");
    writeFile(root + "/two.json", "2");
    writeFile(root + "/nested/deeper/three", "3");
    writeFile(root + "/nested/four", "4");
    ASSERT_EQ(mkdir((root + "/empty").c_str(), 0700), 0);
    // A link to a directory elsewhere goes, but what it points to stays.
    writeFile(dir.file("outside/keep"), "k");
    ASSERT_EQ(symlink(dir.file("outside").c_str(), (root + "/link").c_str()), 0);

    LogCapture log;
    EXPECT_TRUE(mdfu_deleteContentsOfPath(root.c_str()));
    EXPECT_EQ(log.text(), "");
    struct stat st;
    ASSERT_EQ(stat(root.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(rmdir(root.c_str()), 0) << "directory not empty";
    EXPECT_EQ(readFile(dir.file("outside/keep")), "k");
}

TEST(FileUtilsDeleteContents, RefusesDotAndDotDot) {
    TempDir dir;
    writeFile(dir.file("top/keep"), "k");
    writeFile(dir.file("top/sub/keep2"), "k");
    LogCapture log;
    for (const std::string& path : {dir.file("top/sub/.."), dir.file("top/sub/../"), dir.file("top/."),
                                    std::string(".."), std::string(".")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(mdfu_deleteContentsOfPath(path.c_str()));
    }
    EXPECT_TRUE(fileExists(dir.file("top/keep")));
    EXPECT_TRUE(fileExists(dir.file("top/sub/keep2")));
    // Names that merely start with dots are fine.
    writeFile(dir.file("top/..x/f"), "f");
    EXPECT_TRUE(mdfu_deleteContentsOfPath(dir.file("top/..x").c_str()));
    EXPECT_FALSE(fileExists(dir.file("top/..x/f")));
}

TEST(FileUtilsDeleteContents, ReportsWhatItCannotDelete) {
    TempDir dir;
    const std::string root = dir.file("r");
    writeFile(root + "/plain", "p");
    ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);
    LogCapture log;
    EXPECT_TRUE(mdfu_deleteContentsOfPath(root.c_str()));
    EXPECT_TRUE(contains(log.text(), "Could not delete " + root + "/fifo: Not a regular file.\n")) << log.text();
    EXPECT_FALSE(fileExists(root + "/plain"));

    EXPECT_FALSE(mdfu_deleteContentsOfPath(dir.file("nothing").c_str()));
    EXPECT_TRUE(contains(log.text(), "Could not stat " + dir.file("nothing") + ": No such file or directory\n"));
}

TEST(FileUtilsDeleteContents, NamesTooLongForThePathBufferAreSkippedNotCut) {
    TempDir dir;
    // A directory whose path leaves less room than a 40-byte name needs
    // within the 500-byte buffer.
    ASSERT_LT(dir.path().size(), 200u);
    std::string deep = dir.path() + "/" + std::string(200, 'a');
    deep += "/" + std::string(499 - 40 - 1 - (deep.size() + 1), 'b');
    ASSERT_EQ(deep.size() + 1 + 40, 499u);  // a 40-byte name still fits, 41 does not
    const std::string fits = deep + "/" + std::string(40, 'x');
    const std::string tooLong = deep + "/" + std::string(41, 'y');
    const std::string cutVictim = deep + "/" + std::string(40, 'y');  // what a cut name would hit
    writeFile(fits, "1");
    writeFile(tooLong, "2");

    LogCapture log;
    EXPECT_TRUE(mdfu_deleteContentsOfPath(deep.c_str()));
    EXPECT_FALSE(fileExists(fits));
    EXPECT_TRUE(fileExists(tooLong));
    EXPECT_FALSE(fileExists(cutVictim));
    EXPECT_TRUE(contains(log.text(), "Could not delete " + tooLong + ": File name too long\n")) << log.text();
}

// ---- Buffered writer

TEST(FileUtilsBufferedWriter, RefusesAnExistingFile) {
    TempDir dir;
    const std::string path = dir.file("report.json");
    writeFile(path, "earlier report");
    char buffer[64];
    MDBufferedWriter writer;
    LogCapture log;
    EXPECT_FALSE(mdfu_openBufferedWriter(&writer, path.c_str(), buffer, sizeof(buffer)));
    EXPECT_TRUE(contains(log.text(), "Could not open crash report file " + path + ": File exists\n")) << log.text();
    EXPECT_EQ(readFile(path), "earlier report");
    // Closing a writer that never opened does nothing; flushing it fails.
    mdfu_closeBufferedWriter(&writer);
    EXPECT_FALSE(mdfu_flushBufferedWriter(&writer));
}

TEST(FileUtilsBufferedWriter, HoldsSmallWritesAndKeepsOrderAcrossBigOnes) {
    TempDir dir;
    const std::string path = dir.file("out");
    char buffer[16];
    MDBufferedWriter writer;
    ASSERT_TRUE(mdfu_openBufferedWriter(&writer, path.c_str(), buffer, sizeof(buffer)));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);

    EXPECT_TRUE(mdfu_writeBufferedWriter(&writer, "head:", 5));
    EXPECT_EQ(writer.position, 5);
    EXPECT_EQ(readFile(path), "") << "small writes are held";

    // Bigger than the whole buffer: the held bytes first, then these directly.
    const std::string big = patterned(50);
    EXPECT_TRUE(mdfu_writeBufferedWriter(&writer, big.data(), 50));
    EXPECT_EQ(writer.position, 0);
    EXPECT_EQ(readFile(path), "head:" + big);

    // Exactly fills the buffer, then one more byte forces a flush.
    EXPECT_TRUE(mdfu_writeBufferedWriter(&writer, "0123456789abcdef", 16));
    EXPECT_EQ(writer.position, 16);
    EXPECT_TRUE(mdfu_writeBufferedWriter(&writer, "!", 1));
    EXPECT_EQ(readFile(path), "head:" + big + "0123456789abcdef");
    EXPECT_TRUE(mdfu_writeBufferedWriter(&writer, "", 0));

    mdfu_closeBufferedWriter(&writer);
    EXPECT_EQ(writer.fd, -1);
    EXPECT_EQ(readFile(path), "head:" + big + "0123456789abcdef!");
    mdfu_closeBufferedWriter(&writer);  // a second close is harmless
}

TEST(FileUtilsBufferedWriter, FailedFlushKeepsTheHeldBytes) {
    TempDir dir;
    const std::string path = dir.file("out");
    char buffer[8];
    MDBufferedWriter writer;
    ASSERT_TRUE(mdfu_openBufferedWriter(&writer, path.c_str(), buffer, sizeof(buffer)));
    const int realFd = writer.fd;
    EXPECT_TRUE(mdfu_writeBufferedWriter(&writer, "abcdef", 6));

    // Point the writer at a device that is always full.
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    writer.fd = full;
    LogCapture log;
    EXPECT_FALSE(mdfu_flushBufferedWriter(&writer));
    EXPECT_FALSE(mdfu_writeBufferedWriter(&writer, "0123", 4)) << "needs a flush that fails";
    EXPECT_EQ(writer.position, 6);
    EXPECT_TRUE(contains(log.text(), "Could not write to fd " + std::to_string(full) + ": No space left on device\n"))
        << log.text();
    close(full);

    writer.fd = realFd;
    EXPECT_TRUE(mdfu_writeBufferedWriter(&writer, "0123", 4));
    mdfu_closeBufferedWriter(&writer);
    EXPECT_EQ(readFile(path), "abcdef0123");
}

TEST(FileUtilsBufferedWriter, WorksInsideASignalHandler) {
    TempDir dir;
    static std::string s_path;
    s_path = dir.file("from-handler");
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction action {};
        action.sa_handler = [](int) {
            char buffer[32];
            MDBufferedWriter writer;
            if (!mdfu_openBufferedWriter(&writer, s_path.c_str(), buffer, sizeof(buffer))) _exit(2);
            for (int i = 0; i < 100; i++) {
                if (!mdfu_writeBufferedWriter(&writer, "0123456789", 10)) _exit(3);
            }
            mdfu_closeBufferedWriter(&writer);
            _exit(0);
        };
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
        raise(SIGSEGV);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string expected;
    for (int i = 0; i < 100; i++) expected += "0123456789";
    EXPECT_EQ(readFile(s_path), expected);
}

// A writer that is not open fails every write and flush, and nothing it is
// given is copied, however full its buffer was.
TEST(FileUtilsBufferedWriter, WriterThatIsNotOpenFailsAndNeverWritesPastItsBuffer) {
    TempDir dir;
    char guarded[16 + 32];
    memset(guarded, '#', sizeof(guarded));
    MDBufferedWriter writer;
    ASSERT_TRUE(mdfu_openBufferedWriter(&writer, dir.file("out").c_str(), guarded, 16));
    EXPECT_TRUE(mdfu_writeBufferedWriter(&writer, "0123456789ab", 12));
    const int fd = writer.fd;
    writer.fd = -1;  // held bytes, no file
    LogCapture log;
    EXPECT_FALSE(mdfu_writeBufferedWriter(&writer, "ABCDEFGHIJ", 10));
    EXPECT_FALSE(mdfu_flushBufferedWriter(&writer));
    EXPECT_FALSE(mdfu_writeBufferedWriter(&writer, "", 0));
    EXPECT_EQ(writer.position, 12);
    EXPECT_EQ(std::string(guarded + 16, 32), std::string(32, '#'));
    EXPECT_TRUE(contains(log.text(), "Could not use fd -1: Bad file descriptor\n")) << log.text();
    close(fd);

    // After closing, the same.
    ASSERT_TRUE(mdfu_openBufferedWriter(&writer, dir.file("second").c_str(), guarded, 16));
    mdfu_closeBufferedWriter(&writer);
    EXPECT_FALSE(mdfu_writeBufferedWriter(&writer, "x", 1));
    EXPECT_EQ(readFile(dir.file("second")), "");
}

// With standard input closed the report file opens as descriptor 0, which
// is a file like any other: everything written, far more than the buffer in
// pieces of every size, reaches it, and closing closes it.
TEST(FileUtilsBufferedWriter, DescriptorZeroIsAFileLikeAnyOther) {
    TempDir dir;
    const std::string path = dir.file("report");
    const std::string text = patterned(6000);
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        close(STDIN_FILENO);
        char guarded[64 + 32];
        memset(guarded, '#', sizeof(guarded));
        MDBufferedWriter writer;
        if (!mdfu_openBufferedWriter(&writer, path.c_str(), guarded, 64)) _exit(2);
        if (writer.fd != 0) _exit(3);
        size_t offset = 0;
        for (size_t step = 0; offset < text.size(); step++) {
            const size_t piece = std::min(text.size() - offset, step * 37 % 150 + 1);
            if (!mdfu_writeBufferedWriter(&writer, text.data() + offset, static_cast<int>(piece))) _exit(4);
            offset += piece;
        }
        mdfu_closeBufferedWriter(&writer);
        if (writer.fd != -1) _exit(5);
        for (size_t i = 64; i < sizeof(guarded); i++)
            if (guarded[i] != '#') _exit(6);
        if (fcntl(STDIN_FILENO, F_GETFD) != -1 || errno != EBADF) _exit(7);
        zeltest::put("written");
    });
    ASSERT_TRUE(end.exited) << "signal " << end.signal;
    EXPECT_EQ(end.exitStatus, 0);
    EXPECT_EQ(end.output, "written");
    const std::string written = readFile(path);
    ASSERT_EQ(written.size(), text.size());
    EXPECT_TRUE(written == text) << "the bytes arrived out of order";
}

// ---- Buffered reader

namespace {

// A 3000-byte text with lines of many lengths, one longer than the reader's
// buffer and several longer than a typical request.
std::string mixedLines() {
    std::string text;
    int n = 0;
    while (text.size() < 3000) {
        const size_t len = (n == 5) ? 1500 : static_cast<size_t>((n * 37) % 130);
        text += patterned(len) + "\n";
        n++;
    }
    text.resize(3000);
    text.back() = 'Z';  // the last line has no newline
    return text;
}

// Reads `path` through a reader of `bufferSize` in requests of `request` bytes.
std::vector<std::pair<std::string, bool>> readPieces(const std::string& path, int bufferSize, int request) {
    std::vector<char> buffer(static_cast<size_t>(bufferSize));
    MDBufferedReader reader;
    EXPECT_TRUE(mdfu_openBufferedReader(&reader, path.c_str(), buffer.data(), bufferSize));
    EXPECT_EQ(reader.bufferLength, bufferSize - 1);
    std::vector<std::pair<std::string, bool>> pieces;
    std::vector<char> dst(static_cast<size_t>(request));
    for (;;) {
        int length = request;
        const bool found = mdfu_readBufferedReaderUntilChar(&reader, '\n', dst.data(), &length);
        EXPECT_EQ(reader.buffer[reader.dataEndPos], '\0');
        EXPECT_LE(reader.dataEndPos, reader.bufferLength);
        if (length == 0 && !found) break;
        pieces.emplace_back(std::string(dst.data(), static_cast<size_t>(length)), found);
    }
    mdfu_closeBufferedReader(&reader);
    EXPECT_EQ(reader.fd, -1);
    return pieces;
}

}  // namespace

TEST(FileUtilsBufferedReader, YieldsEveryByteOnceSplittingOnlyAtNewlinesOrTheRequest) {
    TempDir dir;
    const std::string path = dir.file("lines.txt");
    const std::string text = mixedLines();
    ASSERT_EQ(text.size(), 3000u);
    writeFile(path, text);

    for (int request : {1, 100, 1023, 1024, 2000, 5000}) {
        SCOPED_TRACE(request);
        const auto pieces = readPieces(path, 1024, request);
        std::string joined;
        for (size_t i = 0; i < pieces.size(); i++) {
            const auto& [piece, found] = pieces[i];
            joined += piece;
            ASSERT_FALSE(piece.empty());
            const size_t newline = piece.find('\n');
            if (found) {
                EXPECT_EQ(newline, piece.size() - 1) << "a line ends at its newline and nowhere else";
            } else {
                EXPECT_EQ(newline, std::string::npos);
                const bool last = i + 1 == pieces.size();
                EXPECT_TRUE(static_cast<int>(piece.size()) == request || last) << "split only at the request";
            }
        }
        EXPECT_EQ(joined, text);
    }
}

TEST(FileUtilsBufferedReader, EdgeCases) {
    TempDir dir;
    const std::string path = dir.file("f");
    writeFile(path, "ab\ncd");
    char buffer[8];
    char dst[16];
    MDBufferedReader reader;
    ASSERT_TRUE(mdfu_openBufferedReader(&reader, path.c_str(), buffer, sizeof(buffer)));

    int length = 0;
    EXPECT_FALSE(mdfu_readBufferedReaderUntilChar(&reader, '\n', dst, &length));
    EXPECT_EQ(length, 0);
    length = -3;
    EXPECT_FALSE(mdfu_readBufferedReaderUntilChar(&reader, '\n', dst, &length));
    EXPECT_EQ(length, 0);

    length = 16;
    EXPECT_TRUE(mdfu_readBufferedReaderUntilChar(&reader, '\n', dst, &length));
    EXPECT_EQ(std::string(dst, static_cast<size_t>(length)), "ab\n");
    length = 16;
    EXPECT_FALSE(mdfu_readBufferedReaderUntilChar(&reader, '\n', dst, &length));
    EXPECT_EQ(std::string(dst, static_cast<size_t>(length)), "cd");
    length = 16;
    EXPECT_FALSE(mdfu_readBufferedReaderUntilChar(&reader, '\n', dst, &length));
    EXPECT_EQ(length, 0);
    mdfu_closeBufferedReader(&reader);
    mdfu_closeBufferedReader(&reader);
    EXPECT_EQ(reader.fd, -1);

    LogCapture log;
    EXPECT_FALSE(mdfu_openBufferedReader(&reader, dir.file("missing").c_str(), buffer, sizeof(buffer)));
    EXPECT_TRUE(contains(log.text(), "Could not open file " + dir.file("missing") + ": No such file or directory\n"))
        << log.text();
    EXPECT_FALSE(mdfu_openBufferedReader(&reader, path.c_str(), buffer, 1));
    EXPECT_EQ(reader.fd, -1);
}

// A file read as descriptor 0 yields its lines, and closing the reader really closes it.
TEST(FileUtilsBufferedReader, DescriptorZeroIsReadAndClosed) {
    TempDir dir;
    const std::string path = dir.file("lines.txt");
    const std::string text = mixedLines();
    writeFile(path, text);
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        close(STDIN_FILENO);
        char buffer[100];
        MDBufferedReader reader;
        if (!mdfu_openBufferedReader(&reader, path.c_str(), buffer, sizeof(buffer))) _exit(2);
        if (reader.fd != 0) _exit(3);
        static char all[4000];
        int total = 0;
        for (;;) {
            int length = 50;
            const bool found = mdfu_readBufferedReaderUntilChar(&reader, '\n', all + total, &length);
            total += length;
            if (!found && length == 0) break;
        }
        mdfu_closeBufferedReader(&reader);
        if (fcntl(STDIN_FILENO, F_GETFD) != -1 || errno != EBADF) _exit(4);
        if (total != static_cast<int>(text.size()) || memcmp(all, text.data(), text.size()) != 0) _exit(5);
        zeltest::put("read");
    });
    ASSERT_TRUE(end.exited) << "signal " << end.signal;
    EXPECT_EQ(end.exitStatus, 0);
    EXPECT_EQ(end.output, "read");
}
