// Time to suspend and resume the environment (the crash path's freeze) with
// 10 and 100 other threads, sleeping in short naps as busy application
// threads would. Prints the median, mean and worst of each.
//
//   suspend_bench [rounds, default 200]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Tools/MDMachineContext.h"

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Figures {
    double median, mean, worst;
};

Figures figuresOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    double total = 0;
    for (double v : values) total += v;
    return {values[values.size() / 2], total / values.size(), values.back()};
}

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

    std::vector<double> suspends, resumes;
    for (int r = 0; r < rounds; r++) {
        const auto start = Clock::now();
        mdmc_suspendEnvironment();
        const auto suspended = Clock::now();
        mdmc_resumeEnvironment();
        const auto resumed = Clock::now();
        suspends.push_back(microseconds(suspended - start));
        resumes.push_back(microseconds(resumed - suspended));
        usleep(2000);  // every thread back in its nap before the next round
    }
    stop = true;
    for (auto& t : threads) t.join();
    const Figures s = figuresOf(suspends), e = figuresOf(resumes);
    printf("%3d threads: suspend %8.1f us median, %8.1f us mean, %8.1f us max; resume %8.1f us median, %8.1f us "
           "mean, %8.1f us max (%d rounds)\n",
           threadCount, s.median, s.mean, s.worst, e.median, e.mean, e.worst, rounds);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    mdmc_installSuspendHandler();
    measure(10, rounds);
    measure(100, rounds);
    return 0;
}
