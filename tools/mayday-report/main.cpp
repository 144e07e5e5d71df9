// mayday-report: looks at the crash reports the recorder stored.
//
//   mayday-report [--dir DIR] list [BUNDLE]
//   mayday-report [--dir DIR] show ID
//   mayday-report [--dir DIR] text ID [--style unsymbolicated|partial|side-by-side|symbolicated]
//   mayday-report [--dir DIR] diagnose ID
//   mayday-report [--dir DIR] sentry ID
//
// ID is the identifier `list` shows, or the path of a report file. Exit
// status 0 on success; 1 when a report is missing, unreadable or damaged (a
// damaged one is still shown as far as it reads); 2 on usage errors.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "Mayday/Recording/MaydayReportReader.h"
#include "platform/foundation/DisplayText.h"
#include "tools/mayday-report/ReportCommands.h"

using namespace mayday_report;

namespace {

constexpr const char* kUsage =
    "usage: mayday-report [--dir DIR] list [BUNDLE]\n"
    "       mayday-report [--dir DIR] show ID\n"
    "       mayday-report [--dir DIR] text ID [--style unsymbolicated|partial|side-by-side|symbolicated]\n"
    "       mayday-report [--dir DIR] diagnose ID\n"
    "       mayday-report [--dir DIR] sentry ID\n"
    "ID: an identifier as `list` shows it, or the path of a report file.\n"
    "Reports are looked for in $XDG_CACHE_HOME/Mayday/<bundle>/Reports unless --dir names a folder.\n";

// Our output; standard output itself carries the recorder's log lines,
// which go to standard error instead.
FILE* g_out = stdout;

int usage() {
    fputs(kUsage, stderr);
    return 2;
}

int list(const std::vector<std::string>& directories) {
    const std::vector<StoredReport> reports = storedReports(directories);
    if (reports.empty()) {
        fprintf(stderr, "mayday-report: no reports");
        for (size_t i = 0; i < directories.size(); i++) fprintf(stderr, "%s %s", i ? "," : " in", directories[i].c_str());
        fputc('\n', stderr);
        return 0;
    }
    const bool severalBundles = directories.size() > 1;
    std::string bundle;
    for (const StoredReport& stored : reports) {
        const MaydayReadReport read = maydayReadReportFile(stored.path);
        if (severalBundles && stored.bundle != bundle) fprintf(g_out, "%s:\n", (bundle = stored.bundle).c_str());
        fprintf(g_out, "%s%s%s\n", listLine(stored, read.report).c_str(), read.problem ? "  [damaged]" : "",
                read.report.isNil() ? "  [unreadable]" : "");
    }
    return 0;
}

int showOne(const std::vector<std::string>& directories, const std::string& command, const std::string& id,
            int style) {
    const std::optional<StoredReport> stored = findReport(directories, id);
    if (!stored) {
        fprintf(stderr, "mayday-report: no report %s", id.c_str());
        for (size_t i = 0; i < directories.size(); i++) fprintf(stderr, "%s %s", i ? "," : " in", directories[i].c_str());
        fputc('\n', stderr);
        return 1;
    }
    const MaydayReadReport read = maydayReadReportFile(stored->path);
    if (read.report.isNil()) {
        fprintf(stderr, "mayday-report: cannot read %s: %s\n", stored->path.c_str(),
                read.problem ? read.problem->localizedDescription.c_str() : "unknown error");
        return 1;
    }
    if (read.problem) {
        fprintf(stderr, "mayday-report: %s: %s; showing what could be read\n", stored->path.c_str(),
                read.problem->localizedDescription.c_str());
    }
    std::string text;
    if (command == "show") text = prettyJSON(read.report);
    else if (command == "text") text = crashText(read.report, style);
    else if (command == "diagnose") text = diagnosisText(read.report);
    else text = sentryEventText(read.report);
    // Crash texts quote outside text (exception reasons, thread names); on a
    // terminal it must not move the cursor or recolour the screen. JSON
    // output escapes control characters itself.
    if ((command == "text" || command == "diagnose") && isatty(fileno(g_out))) text = platform::displayableText(text, true);
    fputs(text.c_str(), g_out);
    return read.problem ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int out = dup(STDOUT_FILENO);
    if (out >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) {
        if (FILE* file = fdopen(out, "w")) g_out = file;
    }
    std::string dir;
    int style = 3;
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--dir" || arg == "--style") {
            if (i + 1 >= argc) return usage();
            const std::string value = argv[++i];
            if (arg == "--dir") {
                dir = value;
            } else if ((style = styleNamed(value)) < 0) {
                fprintf(stderr, "mayday-report: unknown style %s\n", value.c_str());
                return usage();
            }
        } else if (arg == "-h" || arg == "--help") {
            fputs(kUsage, g_out);
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            fprintf(stderr, "mayday-report: unknown option %s\n", arg.c_str());
            return usage();
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) return usage();
    const std::string& command = words[0];
    int status;
    if (command == "list" && words.size() <= 2) {
        status = list(reportDirectories(words.size() == 2 ? words[1] : "", dir));
    } else if ((command == "show" || command == "text" || command == "diagnose" || command == "sentry") &&
               words.size() == 2) {
        status = showOne(reportDirectories("", dir), command, words[1], style);
    } else {
        return usage();
    }
    if (fflush(g_out) != 0) {
        perror("mayday-report: writing output");
        return 1;
    }
    return status;
}
