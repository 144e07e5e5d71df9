// gzip compression and decompression of byte buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include "CrashChild.h"

#include "sentry/DataGZip.h"

namespace {

using Bytes = platform::Value::Bytes;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes randomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& b : bytes) b = static_cast<uint8_t>(generator());
    return bytes;
}

// A filled slot, so tests can see that success empties it.
platform::OptionalError staleError() { return platform::Error("stale", 7, "left from before"); }

// Checks the result against zlib's own one-shot decoder, independent of gunzippedWithError.
Bytes inflateWithZlib(const Bytes& gz, size_t expectedSize) {
    Bytes out(expectedSize + 1);
    z_stream s{};
    EXPECT_EQ(inflateInit2(&s, 31), Z_OK);
    s.next_in = const_cast<Bytef*>(gz.data());
    s.avail_in = static_cast<uInt>(gz.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    inflateEnd(&s);
    return out;
}

Bytes zlibWrapped(const Bytes& data) {
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    Bytes out(length);
    EXPECT_EQ(compress(out.data(), &length, data.data(), static_cast<uLong>(data.size())), Z_OK);
    out.resize(length);
    return out;
}

// One gzip member of `size` zero bytes, compressed a piece at a time at
// zlib's fastest level (zeros still shrink more than two hundredfold).
Bytes zerosMember(size_t size) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 1, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_OK);
    const Bytes zeros(1 << 20);
    Bytes out;
    Bytes chunk(1 << 16);
    size_t fed = 0;
    int status = Z_OK;
    do {
        if (s.avail_in == 0 && fed < size) {
            const size_t piece = std::min(zeros.size(), size - fed);
            s.next_in = const_cast<Bytef*>(zeros.data());
            s.avail_in = static_cast<uInt>(piece);
            fed += piece;
        }
        s.next_out = chunk.data();
        s.avail_out = static_cast<uInt>(chunk.size());
        status = deflate(&s, fed == size ? Z_FINISH : Z_NO_FLUSH);
        out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - s.avail_out));
    } while (status != Z_STREAM_END);
    deflateEnd(&s);
    return out;
}

// The address space this process has mapped now.
rlim_t mappedBytes() {
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm) {
        if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
        fclose(statm);
    }
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

TEST(GZip, EmptyInputGivesEmptyOutputBothWaysAndClearsTheSlot) {
    platform::OptionalError error = staleError();
    auto zipped = gzippedWithCompressionLevel({}, -1, &error);
    ASSERT_TRUE(zipped.has_value());
    EXPECT_TRUE(zipped->empty());
    EXPECT_FALSE(error.has_value());

    error = staleError();
    auto unzipped = gunzippedWithError({}, &error);
    ASSERT_TRUE(unzipped.has_value());
    EXPECT_TRUE(unzipped->empty());
    EXPECT_FALSE(error.has_value());
}

TEST(GZip, OutputIsAGzipMemberThatZlibDecodes) {
    const Bytes text = bytesOf(std::string(5000, 'a') + "the end");
    platform::OptionalError error = staleError();
    auto zipped = gzippedWithCompressionLevel(text, 9, &error);
    ASSERT_TRUE(zipped.has_value());
    EXPECT_FALSE(error.has_value());
    ASSERT_GE(zipped->size(), 18u);
    EXPECT_EQ((*zipped)[0], 0x1f);  // gzip magic, not a zlib header
    EXPECT_EQ((*zipped)[1], 0x8b);
    EXPECT_LT(zipped->size(), text.size() / 10);
    EXPECT_EQ(inflateWithZlib(*zipped, text.size()), text);
}

TEST(GZip, RoundTripsAtEveryLevel) {
    Bytes text;
    for (int i = 0; i < 2000; i++) {
        const std::string line = "line " + std::to_string(i) + " of the report\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    for (int level = -1; level <= 9; level++) {
        SCOPED_TRACE(level);
        auto zipped = gzippedWithCompressionLevel(text, level, nullptr);
        ASSERT_TRUE(zipped.has_value());
        auto unzipped = gunzippedWithError(*zipped, nullptr);
        ASSERT_TRUE(unzipped.has_value());
        EXPECT_EQ(*unzipped, text);
    }
}

TEST(GZip, IncompressibleDataFitsTheFixedOutputAndRoundTrips) {
    // The output space (1.02n + 50) exceeds deflate's worst case, stored
    // blocks, for small and large inputs alike.
    for (size_t size : {size_t(1), size_t(1000), size_t(70000), size_t(1) << 20, size_t(5) << 20}) {
        SCOPED_TRACE(size);
        const Bytes data = randomBytes(size, static_cast<uint32_t>(size));
        for (int level : {0, 1, -1, 9}) {
            SCOPED_TRACE(level);
            platform::OptionalError error;
            auto zipped = gzippedWithCompressionLevel(data, level, &error);
            ASSERT_TRUE(zipped.has_value()) << platform::describe(error);
            EXPECT_LE(zipped->size(), static_cast<size_t>(size * 1.02 + 50));
            EXPECT_EQ(inflateWithZlib(*zipped, size), data);
            auto unzipped = gunzippedWithError(*zipped, &error);
            ASSERT_TRUE(unzipped.has_value()) << platform::describe(error);
            EXPECT_EQ(*unzipped, data);
        }
    }
}

TEST(GZip, LargeTextRoundTripsThroughManyInflateChunks) {
    std::string text;
    std::mt19937 generator(3);
    while (text.size() < (3u << 20)) text += "word" + std::to_string(generator() % 1000) + ' ';
    const Bytes data = bytesOf(text);
    auto zipped = gzippedWithCompressionLevel(data, -1, nullptr);
    ASSERT_TRUE(zipped.has_value());
    auto unzipped = gunzippedWithError(*zipped, nullptr);
    ASSERT_TRUE(unzipped.has_value());
    EXPECT_EQ(*unzipped, data);
}

TEST(GZip, BadLevelFailsInInit) {
    platform::OptionalError error;
    EXPECT_FALSE(gzippedWithCompressionLevel(bytesOf("abc"), 42, &error).has_value());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, "NSData");
    EXPECT_EQ(error->code, 0);
    EXPECT_EQ(error->localizedDescription, "deflateInit2: Invalid stream state");
    // No slot: still nothing returned, no crash.
    EXPECT_FALSE(gzippedWithCompressionLevel(bytesOf("abc"), -2, nullptr).has_value());
}

TEST(GUnzip, ZlibWrappedDataIsInvalid) {
    const Bytes wrapped = zlibWrapped(bytesOf("hello hello hello"));
    platform::OptionalError error;
    EXPECT_FALSE(gunzippedWithError(wrapped, &error).has_value());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, "NSData");
    EXPECT_EQ(error->code, 0);
    EXPECT_EQ(error->localizedDescription, "inflate: Invalid data");
}

TEST(GUnzip, TruncatedMemberNeedsMoreThanItHas) {
    const Bytes text = bytesOf(std::string(20000, 'x') + "tail");
    auto zipped = gzippedWithCompressionLevel(text, -1, nullptr);
    ASSERT_TRUE(zipped.has_value());
    for (size_t keep : {size_t(10), zipped->size() / 2, zipped->size() - 1}) {
        SCOPED_TRACE(keep);
        const Bytes cut(zipped->begin(), zipped->begin() + static_cast<long>(keep));
        platform::OptionalError error = staleError();
        EXPECT_FALSE(gunzippedWithError(cut, &error).has_value());
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->localizedDescription, "inflate: Output buffer too small");
    }
}

TEST(GUnzip, CorruptedTrailerAndGarbageFail) {
    auto zipped = gzippedWithCompressionLevel(bytesOf("some payload"), -1, nullptr);
    ASSERT_TRUE(zipped.has_value());
    Bytes badCrc = *zipped;
    badCrc[badCrc.size() - 5] ^= 0xff;  // inside the CRC-32
    platform::OptionalError error;
    EXPECT_FALSE(gunzippedWithError(badCrc, &error).has_value());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->localizedDescription, "inflate: Invalid data");

    error.reset();
    EXPECT_FALSE(gunzippedWithError(bytesOf("not compressed at all"), &error).has_value());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->localizedDescription, "inflate: Invalid data");
}

TEST(GUnzip, BytesAfterTheFirstMemberAreIgnored) {
    auto first = gzippedWithCompressionLevel(bytesOf("first"), -1, nullptr);
    auto second = gzippedWithCompressionLevel(bytesOf("second"), -1, nullptr);
    ASSERT_TRUE(first && second);
    Bytes both = *first;
    both.insert(both.end(), second->begin(), second->end());
    auto unzipped = gunzippedWithError(both, nullptr);
    ASSERT_TRUE(unzipped.has_value());
    EXPECT_EQ(*unzipped, bytesOf("first"));
}

TEST(GZip, InputIsLeftUnchanged) {
    const Bytes original = randomBytes(3000, 11);
    Bytes data = original;
    auto zipped = gzippedWithCompressionLevel(data, 6, nullptr);
    ASSERT_TRUE(zipped.has_value());
    EXPECT_EQ(data, original);
    Bytes zippedCopy = *zipped;
    ASSERT_TRUE(gunzippedWithError(zippedCopy, nullptr).has_value());
    EXPECT_EQ(zippedCopy, *zipped);
}

// A small input that inflates past the memory the process may have fails
// through the error slot; it does not end the process with an exception.
TEST(GUnzip, PayloadLargerThanTheMemoryLimitFailsThroughTheError) {
#ifdef ZEL_SANITIZED_BUILD
    GTEST_SKIP() << "AddressSanitizer's operator new ends the process when memory runs out instead of throwing "
                    "std::bad_alloc, so the failure cannot reach the error slot";
#endif
    const Bytes bomb = zerosMember(size_t(256) << 20);
    ASSERT_LT(bomb.size(), size_t(2) << 20);
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        // What is mapped now and 128 MiB more: half the payload.
        const rlimit limit = {mappedBytes() + (rlim_t(128) << 20), RLIM_INFINITY};
        if (mappedBytes() == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        platform::OptionalError error;
        try {
            if (gunzippedWithError(bomb, &error).has_value()) _exit(3);
        } catch (...) {
            _exit(6);  // thrown at the caller instead of failing through the error
        }
        if (!error || error->localizedDescription != "inflate: Insufficient memory") _exit(4);
        // The memory the attempt took is given back: a modest payload still inflates.
        const auto small = gunzippedWithError(zerosMember(size_t(32) << 20), &error);
        if (!small || small->size() != size_t(32) << 20) _exit(5);
        zeltest::put("failed through the error");
    });
    ASSERT_TRUE(end.exited) << "signal " << end.signal;
    EXPECT_EQ(end.exitStatus, 0);
    EXPECT_EQ(end.output, "failed through the error");
}
