// mdjson [--pretty|-p] FILE|-
//
// Reads a JSON document, decodes it with MDJSONCodec and writes it back
// encoded, followed by a newline. Exit status 0 when the document decoded,
// 1 when it did not (the reason goes to standard error), 2 on usage errors.
//
// The codec decodes the first element and ignores whatever follows it, and
// takes only an object or an array at the top level.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"

namespace {

constexpr const char* kUsage = "usage: mdjson [--pretty|-p] FILE   (FILE \"-\" reads standard input)\n";

bool readAll(int fd, platform::Value::Bytes& out) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
}

bool writeAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void printError(const std::string& text) { fprintf(stderr, "mdjson: %s\n", text.c_str()); }

}  // namespace

int main(int argc, char** argv) {
    bool pretty = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pretty" || arg == "-p") {
            pretty = true;
        } else if (arg == "-" || arg.empty() || arg[0] != '-') {
            if (path) {
                fputs(kUsage, stderr);
                return 2;
            }
            path = argv[i];
        } else {
            fputs(kUsage, stderr);
            return 2;
        }
    }
    if (!path) {
        fputs(kUsage, stderr);
        return 2;
    }

    platform::Value::Bytes input;
    const bool fromStdin = strcmp(path, "-") == 0;
    const int fd = fromStdin ? STDIN_FILENO : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        printError(std::string(path) + ": " + strerror(errno));
        return 1;
    }
    const bool readOK = readAll(fd, input);
    const int readErrno = errno;
    if (!fromStdin) close(fd);
    if (!readOK) {
        printError(std::string(path) + ": " + strerror(readErrno));
        return 1;
    }

    platform::OptionalError error;
    const platform::Value document = MDJSONCodec::decode(input, 0, &error);
    if (document.isNil()) {
        printError(error ? error->localizedDescription : "the document did not decode");
        return 1;
    }
    auto output = MDJSONCodec::encode(document, pretty ? unsigned{MDJSONEncodeOptionPretty} : 0u, &error);
    if (!output) {
        printError("the decoded document could not be encoded again: " +
                   (error ? error->localizedDescription : std::string("no further reason")));
        return 1;
    }
    output->push_back('\n');
    if (!writeAll(STDOUT_FILENO, output->data(), output->size())) {
        printError(std::string("cannot write the output: ") + strerror(errno));
        return 1;
    }
    return 0;
}
