// Sends standard output (where the crash reporter's logger writes) to an
// unlinked temporary file while alive, so tests can read what was logged.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace zeltest {

class StdoutCapture {
public:
    StdoutCapture() : file_(tmpfile()), saved_(dup(STDOUT_FILENO)) {
        fflush(stdout);
        dup2(fileno(file_), STDOUT_FILENO);
    }
    ~StdoutCapture() {
        finish();
        fclose(file_);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything written so far; capturing goes on.
    std::string text() const {
        fflush(stdout);
        std::string text;
        char buffer[4096];
        ssize_t count;
        while ((count = pread(fileno(file_), buffer, sizeof(buffer), static_cast<off_t>(text.size()))) > 0)
            text.append(buffer, static_cast<size_t>(count));
        return text;
    }

    // Restores standard output and answers everything written.
    std::string finish() {
        if (saved_ >= 0) {
            fflush(stdout);
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
        return text();
    }

private:
    FILE* file_;
    int saved_;
};

}  // namespace zeltest
