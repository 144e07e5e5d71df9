#include "sentry/DataGZip.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <zlib.h>

#include "sentry/DataError.h"

namespace {

// The domain of every error made here: the class name the platform reports
// for a byte buffer.
constexpr const char* kDomain = "NSData";

// Window bits 15 (32 KiB) plus 16: a gzip header and trailer instead of zlib's.
constexpr int kGzipWindowBits = 31;
constexpr int kMemoryLevel = 9;
constexpr size_t kInflateChunk = 4096;

std::string zlibMessage(int status) {
    switch (status) {
        case Z_OK: return "OK";
        case Z_STREAM_END: return "End of stream";
        case Z_NEED_DICT: return "NEED_DICT";
        case Z_ERRNO: return platform::format("errno: %s", std::strerror(errno));
        case Z_STREAM_ERROR: return "Invalid stream state";
        case Z_DATA_ERROR: return "Invalid data";
        case Z_MEM_ERROR: return "Insufficient memory";
        case Z_BUF_ERROR: return "Output buffer too small";
        case Z_VERSION_ERROR: return "Incorrect zlib version";
        default: return platform::format("Unknown error: %d", status);
    }
}

// Ends a stream that was set up, whichever way the function leaves.
struct DeflateStream {
    z_stream stream{};
    bool active = false;
    ~DeflateStream() {
        if (active) deflateEnd(&stream);
    }
};

struct InflateStream {
    z_stream stream{};
    bool active = false;
    ~InflateStream() {
        if (active) inflateEnd(&stream);
    }
};

// zlib counts its input and output in 32-bit unsigned numbers.
constexpr uint64_t kMaxZlibLength = UINT32_MAX;

// Runs `grow`, a resize or reserve of `bytes`. When the memory cannot be
// had, frees what `bytes` holds (so the error can still be built) and
// answers false.
template <typename Grow>
bool growOrRelease(platform::Value::Bytes& bytes, Grow grow) {
    try {
        grow();
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    platform::Value::Bytes().swap(bytes);
    return false;
}

}  // namespace

std::optional<platform::Value::Bytes> gzippedWithCompressionLevel(const platform::Value::Bytes& data, int level,
                                                                  platform::OptionalError* error) {
    if (data.empty()) {
        clearError(error);
        return platform::Value::Bytes();
    }
    // One call takes at most 4 GiB of input; more would be compressed only in
    // part, so it is refused rather than returned incomplete.
    if (data.size() > kMaxZlibLength) {
        fillError(error, kDomain, 0, "deflate: %@", zlibMessage(Z_STREAM_ERROR));
        return std::nullopt;
    }
    const auto length = static_cast<uint32_t>(data.size());

    DeflateStream deflater;
    z_stream& stream = deflater.stream;
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = length;
    // ZLIB_VERSION is the version of the headers this is built with, which
    // matches the library linked in; a version text from another zlib can
    // make the initialiser refuse with Z_VERSION_ERROR (-6).
    int status = deflateInit2_(&stream, level, Z_DEFLATED, kGzipWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY,
                               ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
    if (status != Z_OK) {
        fillError(error, kDomain, 0, "deflateInit2: %@", zlibMessage(status));
        return std::nullopt;
    }
    deflater.active = true;

    // Never grown: deflate's worst case (stored blocks) stays below this.
    const auto outLength = static_cast<size_t>(length * 1.02 + 50);
    platform::Value::Bytes output;
    if (!growOrRelease(output, [&] { output.resize(outLength); })) {
        fillError(error, kDomain, 0, "deflate: %@", zlibMessage(Z_MEM_ERROR));
        return std::nullopt;
    }
    do {
        const size_t produced = stream.total_out;
        stream.next_out = output.data() + produced;
        stream.avail_out = static_cast<uInt>(std::min<uint64_t>(outLength - produced, kMaxZlibLength));
        status = deflate(&stream, Z_FINISH);
    } while (status == Z_OK);

    if (status != Z_STREAM_END) {
        fillError(error, kDomain, 0, "deflate: %@", zlibMessage(status));
        return std::nullopt;
    }
    output.resize(stream.total_out);
    clearError(error);
    return output;
}

std::optional<platform::Value::Bytes> gunzippedWithError(const platform::Value::Bytes& data,
                                                         platform::OptionalError* error) {
    if (data.empty()) {
        clearError(error);
        return platform::Value::Bytes();
    }
    // Input beyond what one call takes could not be reached: refuse it rather
    // than return the payload of only its beginning.
    if (data.size() > kMaxZlibLength) {
        fillError(error, kDomain, 0, "inflate: %@", zlibMessage(Z_STREAM_ERROR));
        return std::nullopt;
    }

    InflateStream inflater;
    z_stream& stream = inflater.stream;
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    // Window bits 31 accept the gzip format only. ZLIB_VERSION: see above.
    int status = inflateInit2_(&stream, kGzipWindowBits, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
    if (status != Z_OK) {
        fillError(error, kDomain, 0, "inflateInit2: %@", zlibMessage(status));
        return std::nullopt;
    }
    inflater.active = true;

    // A small input may inflate past the memory there is: running out is
    // reported like any other failure, never thrown at the caller.
    platform::Value::Bytes output;
    if (!growOrRelease(output, [&] { output.reserve(data.size() * 2); })) {
        fillError(error, kDomain, 0, "inflate: %@", zlibMessage(Z_MEM_ERROR));
        return std::nullopt;
    }
    do {
        const size_t produced = output.size();
        if (!growOrRelease(output, [&] { output.resize(produced + kInflateChunk); })) {
            fillError(error, kDomain, 0, "inflate: %@", zlibMessage(Z_MEM_ERROR));
            return std::nullopt;
        }
        stream.next_out = output.data() + produced;
        stream.avail_out = static_cast<uInt>(kInflateChunk);
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            fillError(error, kDomain, 0, "inflate: %@", zlibMessage(status));
            return std::nullopt;
        }
        output.resize(produced + (kInflateChunk - stream.avail_out));
    } while (status != Z_STREAM_END);

    clearError(error);
    return output;
}
