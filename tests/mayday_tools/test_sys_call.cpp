// Retried system calls and error text of the crash recorder.
#include "Mayday/Recording/Tools/MDSysCall.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

TEST(SysCallErrorText, IsTheUntranslatedTableText) {
    EXPECT_STREQ("No such file or directory", mdsys_errorText(ENOENT));
    EXPECT_STREQ("Bad file descriptor", mdsys_errorText(EBADF));
    EXPECT_STREQ("Invalid argument", mdsys_errorText(EINVAL));
    EXPECT_STREQ("Unknown error", mdsys_errorText(-1));
    EXPECT_STREQ("Unknown error", mdsys_errorText(99999));
}

TEST(SysCallRetry, RepeatsOnlyWhileInterrupted) {
    int calls = 0;
    const int result = mdsys_retry([&] {
        errno = ++calls < 4 ? EINTR : 0;
        return calls < 4 ? -1 : 42;
    });
    EXPECT_EQ(42, result);
    EXPECT_EQ(4, calls);

    calls = 0;
    EXPECT_EQ(-1, mdsys_retry([&] {
        calls++;
        errno = EAGAIN;
        return -1L;
    }));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(EAGAIN, errno);

    EXPECT_EQ(-1, mdsys_open("/nonexistent/file", O_RDONLY, 0));
    EXPECT_EQ(ENOENT, errno);
}

TEST(SysCallFully, ReadAndWriteEveryByteAcrossPartialTransfers) {
    // More than a pipe holds, so both sides see partial transfers.
    std::string text(300000, '\0');
    for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>('a' + i % 23);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::thread writer([&] {
        EXPECT_TRUE(mdsys_writeFully(fds[1], text.data(), text.size()));
        close(fds[1]);
    });
    std::string got(text.size() + 10, '\0');
    int error = -1;
    const size_t count = mdsys_readFully(fds[0], got.data(), got.size(), &error);
    writer.join();
    EXPECT_EQ(0, error);
    ASSERT_EQ(text.size(), count) << "stops at the end of the file";
    got.resize(count);
    EXPECT_EQ(text, got);
    close(fds[0]);

    // A request shorter than what is there takes just that much.
    ASSERT_EQ(0, pipe(fds));
    ASSERT_TRUE(mdsys_writeFully(fds[1], "abcdef", 6));
    char buffer[4];
    EXPECT_EQ(4u, mdsys_readFully(fds[0], buffer, sizeof buffer, &error));
    EXPECT_EQ(0, memcmp(buffer, "abcd", 4));
    close(fds[0]);
    close(fds[1]);
}

TEST(SysCallFully, FailuresReportTheirError) {
    int error = 0;
    char buffer[8];
    EXPECT_EQ(0u, mdsys_readFully(-1, buffer, sizeof buffer, &error));
    EXPECT_EQ(EBADF, error);

    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    errno = 0;
    EXPECT_FALSE(mdsys_writeFully(full, "data", 4));
    EXPECT_EQ(ENOSPC, errno);
    close(full);
}
