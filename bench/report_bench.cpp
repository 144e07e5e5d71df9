// Time from a fault to the crash report being closed on disk: a child with N
// other threads (parked in pause() or a blocking read) installs the crash
// recorder through the Mayday facade in a fresh base directory, stamps CLOCK_MONOTONIC into a shared
// page and reads a null pointer. The recorder writes the report, the fault's
// signal ends the child, and the parent stamps the time when waitpid
// returns; the report is closed by then. The same child without the
// recorder is the baseline (fault to death as the parent sees it), so the
// difference is the recorder's cost. Rounds alternate the two. Beside it,
// what installing costs at start-up: the time install() takes and the
// resident memory it adds (VmRSS before the facade is made and after).
//
//   report_bench [rounds, default 15] [thread counts, default 0,10,100]
//
// For a breakdown of the recorder's time, profile the children from outside,
// e.g. `perf record -F 20000 -g -- report_bench 40 100` (see bench/README.md).
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "DeliberateFault.h"
#include "Mayday/Recording/Mayday.h"

namespace {

// A MAP_SHARED page: the child writes, the parent reads.
volatile int64_t* gFaultTime = nullptr;
volatile int64_t* gInstallTime = nullptr;   // nanoseconds install() took
volatile int64_t* gResidentAdded = nullptr;  // kB of VmRSS the facade and install() added

long long residentKilobytes() {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long long kilobytes = -1;
    while (fgets(line, sizeof(line), status))
        if (sscanf(line, "VmRSS: %lld kB", &kilobytes) == 1) break;
    fclose(status);
    return kilobytes;
}

int64_t nowNanoseconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);  // system-wide, so both processes' stamps compare
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void* pauseForever(void*) {
    for (;;) pause();
    return nullptr;
}

void* readForever(void* pipeFd) {
    char byte;
    while (read(static_cast<int>(reinterpret_cast<intptr_t>(pipeFd)), &byte, 1) != 0) {
    }
    return nullptr;
}

struct Sample {
    int64_t nanoseconds = -1;
    long long reportBytes = -1;  // -1 without the recorder
    int64_t installNanoseconds = -1;
    long long residentAdded = -1;  // kB
};

long long reportSize(const std::string& reports) {
    long long size = -1;
    if (DIR* dir = opendir(reports.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            struct stat st;
            if (stat((reports + "/" + entry->d_name).c_str(), &st) == 0) size = st.st_size;
        }
        closedir(dir);
    }
    return size;
}

// One fault in a fresh child; nanoseconds stay -1 when the child did not end
// by SIGSEGV or (with the recorder) left no report.
Sample measure(bool withRecorder, int threads) {
    const char* tmp = getenv("TMPDIR");
    std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/report_bench-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) return {};
    *gFaultTime = 0;
    *gInstallTime = -1;
    *gResidentAdded = -1;
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = open("/dev/null", O_WRONLY);  // the recorder's log lines are not the measurement
        dup2(quiet, STDOUT_FILENO);
        const struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);  // a core file would be timed too
        // Installed first, as an application would, so the threads are made under it.
        if (withRecorder) {
            const long long residentBefore = residentKilobytes();
            const int64_t start = nowNanoseconds();
            Mayday* mayday = Mayday::sharedInstance();
            mayday->setBundleName("ReportBench");
            mayday->setBasePath(base + "/Mayday/ReportBench");
            if (!mayday->install()) _exit(3);
            *gInstallTime = nowNanoseconds() - start;
            *gResidentAdded = residentKilobytes() - residentBefore;
        }
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        for (int i = 0; i < threads; ++i) {
            pthread_t thread;
            if (i % 2)
                pthread_create(&thread, nullptr, pauseForever, nullptr);
            else
                pthread_create(&thread, nullptr, readForever, reinterpret_cast<void*>(static_cast<intptr_t>(fds[0])));
        }
        usleep(50000);  // the threads reach their waits, the handler threads settle
        *gFaultTime = nowNanoseconds();
        zeltest::readAddress(0);
        _exit(4);
    }
    Sample sample;
    if (child < 0) return sample;
    int status = 0;
    const pid_t ended = waitpid(child, &status, 0);
    const int64_t deathTime = nowNanoseconds();
    if (ended == child && WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV && *gFaultTime != 0) {
        sample.reportBytes = withRecorder ? reportSize(base + "/Mayday/ReportBench/Reports") : -1;
        sample.installNanoseconds = *gInstallTime;
        sample.residentAdded = *gResidentAdded;
        if (!withRecorder || sample.reportBytes > 0) sample.nanoseconds = deathTime - *gFaultTime;
    }
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
    return sample;
}

template <typename T> T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Series {
    std::vector<int64_t> times;
    std::vector<long long> sizes;
    std::vector<int64_t> installTimes;
    std::vector<long long> residentAdded;
    int failed = 0;

    void add(const Sample& sample) {
        if (sample.nanoseconds < 0) {
            failed++;
            return;
        }
        times.push_back(sample.nanoseconds);
        if (sample.reportBytes >= 0) sizes.push_back(sample.reportBytes);
        if (sample.installNanoseconds >= 0) installTimes.push_back(sample.installNanoseconds);
        if (sample.residentAdded >= 0) residentAdded.push_back(sample.residentAdded);
    }
    double medianMs() {
        std::sort(times.begin(), times.end());
        return times[times.size() / 2] / 1e6;
    }
    double bestMs() const { return *std::min_element(times.begin(), times.end()) / 1e6; }
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 15;
    std::vector<int> threadCounts = {0, 10, 100};
    if (argc > 2) {
        threadCounts.clear();
        for (const char* c = argv[2]; *c != '\0';) {
            char* end = nullptr;
            const long count = strtol(c, &end, 10);
            if (end == c || count < 0 || count > 1000) {
                std::fprintf(stderr, "usage: report_bench [rounds] [count,count,...]\n");
                return 2;
            }
            threadCounts.push_back(static_cast<int>(count));
            c = *end == ',' ? end + 1 : end;
        }
    }
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    gFaultTime = static_cast<volatile int64_t*>(page);
    gInstallTime = gFaultTime + 1;
    gResidentAdded = gFaultTime + 2;
    bool allMeasured = true;
    for (int threads : threadCounts) {
        Series baseline;
        Series recorder;
        for (int r = 0; r < rounds; ++r) {
            baseline.add(measure(false, threads));
            recorder.add(measure(true, threads));
        }
        if (baseline.times.empty() || recorder.times.empty()) {
            std::printf("%3d threads: no measurement (%d baseline and %d recorder rounds failed)\n", threads,
                        baseline.failed, recorder.failed);
            allMeasured = false;
            continue;
        }
        const double baselineMedian = baseline.medianMs();
        const double recorderMedian = recorder.medianMs();
        const auto [smallest, largest] = std::minmax_element(recorder.sizes.begin(), recorder.sizes.end());
        std::printf(
            "%3d threads: without recorder median %7.2f ms best %7.2f ms | with recorder median %7.2f ms "
            "best %7.2f ms | cost %7.2f ms | report %lld-%lld bytes (%zu rounds)\n",
            threads, baselineMedian, baseline.bestMs(), recorderMedian, recorder.bestMs(),
            recorderMedian - baselineMedian, *smallest, *largest, recorder.times.size());
        if (!recorder.installTimes.empty() && !recorder.residentAdded.empty())
            std::printf("             start-up: install median %7.2f ms | resident memory added median %lld kB\n",
                        median(recorder.installTimes) / 1e6, median(recorder.residentAdded));
        if (baseline.failed + recorder.failed > 0) {
            std::printf("             %d baseline and %d recorder rounds failed\n", baseline.failed, recorder.failed);
            allMeasured = false;
        }
    }
    munmap(page, 4096);
    return allMeasured ? 0 : 1;
}
