// Throughput of the kernel-checked copy (mdmem_copySafely) against memcpy on
// the same buffer, for whole-buffer copies and for the small copies the crash
// path makes (a frame record, a 500-byte string probe).
//
//   memory_bench [buffer size in MiB, default 64]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Mayday/Recording/Tools/MDMemory.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Copy>
double bestSeconds(int rounds, Copy copy) {
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        auto start = Clock::now();
        copy();
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (seconds < best) best = seconds;
    }
    return best;
}

void report(const char* what, size_t bytesPerRound, double safeSeconds, double memcpySeconds) {
    double safe = static_cast<double>(bytesPerRound) / 1e6 / safeSeconds;
    double plain = static_cast<double>(bytesPerRound) / 1e6 / memcpySeconds;
    std::printf("%-28s safe copy %10.1f MB/s   memcpy %10.1f MB/s   ratio %.3f\n", what, safe, plain, safe / plain);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    if (mebibytes == 0) {
        std::fprintf(stderr, "usage: %s [buffer size in MiB]\n", argv[0]);
        return 2;
    }
    const size_t size = mebibytes << 20;
    std::vector<char> source(size, 'x'), destination(size);
    for (size_t i = 0; i < size; i += 4096) source[i] = static_cast<char>(i);

    // Whole buffer: one call each.
    double safe = bestSeconds(5, [&] {
        if (!mdmem_copySafely(source.data(), destination.data(), static_cast<int>(size))) std::abort();
    });
    double plain = bestSeconds(5, [&] {
        std::memcpy(destination.data(), source.data(), size);
        asm volatile("" ::"r"(destination.data()) : "memory");
    });
    report("whole buffer", size, safe, plain);

    // Small copies, as a stack walk and a string probe make them.
    for (size_t piece : {static_cast<size_t>(16), static_cast<size_t>(500)}) {
        const size_t count = (size / piece) < 200000 ? size / piece : 200000;
        double safeSmall = bestSeconds(3, [&] {
            for (size_t i = 0; i < count; ++i)
                if (!mdmem_copySafely(source.data() + i * piece, destination.data() + i * piece, static_cast<int>(piece)))
                    std::abort();
        });
        double plainSmall = bestSeconds(3, [&] {
            for (size_t i = 0; i < count; ++i) std::memcpy(destination.data() + i * piece, source.data() + i * piece, piece);
            asm volatile("" ::"r"(destination.data()) : "memory");
        });
        char label[64];
        std::snprintf(label, sizeof label, "%zu-byte copies", piece);
        report(label, piece * count, safeSmall, plainSmall);
    }
    return 0;
}
