// Time to suspend and resume the environment with 10 and 100 other threads.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDMachineContext.h"

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void measure(int threadCount, int rounds) {
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; i++)
        threads.emplace_back([&] {
            ready++;
            while (!stop) usleep(1000);
        });
    while (ready < threadCount) usleep(100);

    double suspendTotal = 0, resumeTotal = 0, suspendMax = 0, resumeMax = 0;
    for (int r = 0; r < rounds; r++) {
        const auto start = Clock::now();
        mdmc_suspendEnvironment();
        const auto suspended = Clock::now();
        mdmc_resumeEnvironment();
        const auto resumed = Clock::now();
        const double s = microseconds(suspended - start), e = microseconds(resumed - suspended);
        suspendTotal += s;
        resumeTotal += e;
        if (s > suspendMax) suspendMax = s;
        if (e > resumeMax) resumeMax = e;
    }
    stop = true;
    for (auto& t : threads) t.join();
    printf("%3d threads: suspend %8.1f us mean, %8.1f us max; resume %8.1f us mean, %8.1f us max (%d rounds)\n",
           threadCount, suspendTotal / rounds, suspendMax, resumeTotal / rounds, resumeMax, rounds);
}

}  // namespace

int main() {
    mdmc_installSuspendHandler();
    measure(10, 200);
    measure(100, 50);
    return 0;
}
