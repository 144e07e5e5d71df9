// The call-frame unwinder against backtrace(3): an own-thread walk at a
// fixed depth (what every C++ throw pays for its throw-site stack), and a
// walk from a machine context of this thread (what the crash path pays per
// thread). Prints microseconds per walk and the frames each found.
#include <chrono>
#include <cstdio>
#include <execinfo.h>

#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"

namespace {

constexpr int kRounds = 2000;
constexpr int kDepth = 20;

using Clock = std::chrono::steady_clock;

double microsecondsPer(Clock::time_point start, int rounds) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
}

void measureAtDepth() {
    // The first machine-context walk finds the images through the link map
    // and fills the shared caches; later walks (the other threads of a
    // crash) mostly reuse them.
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForCurrentThread(context);
    auto start = Clock::now();
    {
        MDStackCursor cursor;
        mdsc_initWithMachineContext(&cursor, 200, context);
        while (cursor.advanceCursor(&cursor)) {
        }
    }
    const double firstWalk = microsecondsPer(start, 1);

    int frames = 0;
    start = Clock::now();
    for (int i = 0; i < kRounds; i++) {
        MDStackCursor cursor;
        mdsc_initSelfThread(&cursor, 0);
        frames = 0;
        while (cursor.advanceCursor(&cursor)) frames++;
    }
    const double own = microsecondsPer(start, kRounds);

    void* addresses[128];
    int traced = 0;
    start = Clock::now();
    for (int i = 0; i < kRounds; i++) traced = backtrace(addresses, 128);
    const double reference = microsecondsPer(start, kRounds);

    int contextFrames = 0;
    start = Clock::now();
    for (int i = 0; i < kRounds; i++) {
        mdmc_fillContextForCurrentThread(context);
        MDStackCursor cursor;
        mdsc_initWithMachineContext(&cursor, 200, context);
        contextFrames = 0;
        while (cursor.advanceCursor(&cursor)) contextFrames++;
    }
    const double fromContext = microsecondsPer(start, kRounds);

    printf("own-thread walk      %7.2f us  %d frames\n", own, frames);
    printf("backtrace(3)         %7.2f us  %d frames  (own walk %.1fx)\n", reference, traced, own / reference);
    printf("machine-context walk %7.2f us  %d frames  (the first, cold: %.2f us)\n", fromContext, contextFrames,
           firstWalk);
}

__attribute__((noinline)) void descend(int depth) {
    if (depth > 0) {
        descend(depth - 1);
    } else {
        measureAtDepth();
    }
    __asm__ volatile("" ::: "memory");  // no tail call: every level is a frame
}

}  // namespace

int main() {
    mddl_initialize();
    descend(kDepth);
    return 0;
}
