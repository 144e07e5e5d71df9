// Time from a fault to the crash recorder's event handler: a child process
// with N other threads enables the monitors, stamps the time and reads a null
// pointer; the event handler stamps the time again and sends the difference
// through a pipe. Printed for the signal monitor alone and with the Mach
// exception monitor too, with 10 and 100 other threads.
//
//   fault_bench [rounds, default 20]
#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/Monitors/MaydayMonitor.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_MachException.h"
#include "Mayday/Recording/Monitors/MaydayMonitor_Signal.h"

namespace {

int gPipe = -1;
volatile int64_t* gFaultTime = nullptr;  // shared with nothing: the child's own stamp

int64_t nowNanoseconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);  // async-signal-safe
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void onEvent(Mayday_MonitorContext*) {
    int64_t elapsed = nowNanoseconds() - *gFaultTime;
    ssize_t ignored = write(gPipe, &elapsed, sizeof elapsed);
    (void)ignored;
}

void* idle(void*) {
    for (;;) pause();
    return nullptr;
}

// One measurement in a fresh child; nanoseconds, or -1.
int64_t measure(MaydayMonitorFlags monitors, int threads) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        gPipe = fds[1];
        int quiet = open("/dev/null", O_WRONLY);  // the recorder's log lines are not the measurement
        dup2(quiet, STDOUT_FILENO);
        static int64_t stamp;
        gFaultTime = &stamp;
        for (int i = 0; i < threads; ++i) {
            pthread_t thread;
            pthread_create(&thread, nullptr, idle, nullptr);
        }
        mdcm_setEventHandler(onEvent);
        mdcm_selectMonitors(monitors);
        usleep(20000);  // let the handler threads settle
        *gFaultTime = nowNanoseconds();
        volatile int* volatile nowhere = nullptr;
        int value = *nowhere;
        _exit(value);
    }
    close(fds[1]);
    int64_t elapsed = -1;
    if (read(fds[0], &elapsed, sizeof elapsed) != sizeof elapsed) elapsed = -1;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    struct Setup {
        const char* name;
        MaydayMonitorFlags monitors;
    } setups[] = {{"signal monitor", MaydayMonitorTypeSignal},
                  {"Mach + signal monitors", MaydayMonitorTypeMachException | MaydayMonitorTypeSignal}};
    for (const auto& setup : setups) {
        for (int threads : {10, 100}) {
            std::vector<int64_t> samples;
            for (int r = 0; r < rounds; ++r) {
                int64_t t = measure(setup.monitors, threads);
                if (t >= 0) samples.push_back(t);
            }
            if (samples.empty()) {
                std::printf("%-24s %3d threads: no event reached the handler\n", setup.name, threads);
                continue;
            }
            std::sort(samples.begin(), samples.end());
            std::printf("%-24s %3d threads: median %8.1f us, min %8.1f us, max %8.1f us (%zu rounds)\n", setup.name,
                        threads, samples[samples.size() / 2] / 1000.0, samples.front() / 1000.0,
                        samples.back() / 1000.0, samples.size());
        }
    }
    return 0;
}
