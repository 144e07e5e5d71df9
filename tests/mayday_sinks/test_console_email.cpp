// The console and e-mail sinks and installations: what reaches standard
// output, the e-mail defaults, and the arguments fake mail programs on PATH
// are started with.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <thread>

#include "Mayday/Installations/MaydayInstallationConsole.h"
#include "Mayday/Installations/MaydayInstallationEmail.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkConsole.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkEMail.h"
#include "SinkTestSupport.h"
#include "StdoutCapture.h"
#include "platform/foundation/Log.h"
#include "sentry/DataGZip.h"

using platform::Value;
using sinktest::Outcome;
using sinktest::ScopedEnv;

namespace {

Value gzipped(const std::string& text) {
    return Value::data(*gzippedWithCompressionLevel(Value::Bytes(text.begin(), text.end()), -1, nullptr));
}

// A folder of fake programs that write each argument to a file of its own
// ("arg1", "arg2", ...) and then "done", using shell built-ins only.
class FakePrograms {
public:
    explicit FakePrograms(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            zeltest::writeFile(folder_.file(name),
                               "#!/bin/sh\ndir=${0%/*}\ni=0\nfor a in \"$@\"; do i=$((i+1)); printf '%s' \"$a\" > "
                               "\"$dir/arg$i\"; done\n: > \"$dir/done\"\n",
                               0755);
        }
    }
    const std::string& path() const { return folder_.path(); }
    // The arguments, once the program has finished writing them.
    std::vector<std::string> arguments() const {
        // Nothing comes through the main queue: look now and then.
        for (int i = 0; i < 2000 && !zeltest::fileExists(folder_.file("done")); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(zeltest::fileExists(folder_.file("done")));
        std::vector<std::string> arguments;
        for (int i = 1; zeltest::fileExists(folder_.file("arg" + std::to_string(i))); ++i)
            arguments.push_back(zeltest::readFile(folder_.file("arg" + std::to_string(i))));
        return arguments;
    }

private:
    zeltest::TempDir folder_;
};

std::shared_ptr<MaydayReportSinkEMail> mailSink(const char* filenameFmt = "r-%d.gz") {
    return MaydayReportSinkEMail::sinkWithRecipients(Value::array({"a@b.example", "-x", "c@d.example"}),
                                                     "Crash Report", "Hello", filenameFmt);
}

}  // namespace

TEST(ConsoleSink, PrintsNumberedReports) {
    const Value reports = Value::array({"first", "second\nline"});
    Outcome outcome;
    zeltest::StdoutCapture out;
    MaydayReportSinkConsole::sink()->filterReports(reports, outcome.completion());
    EXPECT_EQ(out.finish(), "Report 1:\nfirst\nReport 2:\nsecond\nline\n");
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.completed);
    EXPECT_TRUE(outcome.reports.isSameContainer(reports));
}

TEST(ConsoleInstallation, JSONOrPlatformText) {
    const Value report = sinktest::fixtureReport("signal_abort");
    MaydayInstallationConsole installation;
    EXPECT_FALSE(installation.validateProperties());
    Outcome json;
    zeltest::StdoutCapture jsonOut;
    installation.sink()->filterReports(Value::array({report}), json.completion());
    const std::string printed = jsonOut.finish();
    EXPECT_TRUE(json.completed) << json.errorText();
    ASSERT_EQ(printed.rfind("Report 1:\n{\n", 0), 0u) << printed.substr(0, 200);
    const std::string text = printed.substr(10, printed.size() - 11);
    EXPECT_EQ(MDJSONCodec::decode(Value::Bytes(text.begin(), text.end()), 0), report);

    installation.setPrintAppleFormat(true);
    Outcome apple;
    zeltest::StdoutCapture appleOut;
    installation.sink()->filterReports(Value::array({report}), apple.completion());
    EXPECT_EQ(appleOut.finish(), "Report 1:\n" + MaydayReportFilterAppleFmt(MaydayAppleReportStyleSymbolicated).toAppleFormat(report) + "\n");
    EXPECT_EQ(MaydayInstallationConsole::sharedInstance(), MaydayInstallationConsole::sharedInstance());
}

TEST(EmailInstallation, DefaultsTakeTheBundleNameAsText) {
    zeltest::TempDir plain;
    sinktest::writeBundle(plain.path(), {{"CFBundleName", "Demo"}});
    platform::Bundle::setMainBundlePath(plain.path());
    MaydayInstallationEmail demo;
    sinktest::SinkEnvironment::useTestBundle();
    EXPECT_EQ(demo.filenameFmt(), Value("crash-report-Demo-%d.json.gz"));
    EXPECT_EQ(demo.subject(), Value("Crash Report (Demo)"));
    demo.setReportStyle(1, true);
    EXPECT_EQ(demo.filenameFmt(), Value("crash-report-Demo-%d.txt.gz"));
    demo.setReportStyle(0, false);
    EXPECT_EQ(demo.filenameFmt(), Value("crash-report-Demo-%d.txt.gz"));
    EXPECT_EQ(demo.validateProperties()->localizedDescription,
              "Installation properties failed validation: recipients (is nil)");
    demo.setReportStyle(2);
    EXPECT_EQ(demo.sink(), nullptr);

    // The test bundle is called "Zel%dApp": its "%d" stays text everywhere.
    MaydayInstallationEmail percent;
    EXPECT_EQ(percent.subject(), Value("Crash Report (Zel%dApp)"));
    EXPECT_EQ(MaydayReportSinkEMail::filenameForReport(percent.filenameFmt().stringValue(), 3),
              "crash-report-Zel%dApp-3.json.gz");
    EXPECT_EQ(MaydayReportSinkEMail::filenameForReport("../%s/%%x-%d", 2), ".._%s_%x-2");
}

TEST(EmailSink, AttachesFilesThroughXdgEmail) {
    FakePrograms fake({"xdg-email"});
    ScopedEnv path("PATH", fake.path() + ":/usr/bin:/bin");
    const Value reports = Value::array({gzipped("one"), gzipped("two")});
    Outcome outcome;
    mailSink()->filterReports(reports, outcome.completion());
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.completed) << outcome.errorText();

    const std::vector<std::string> arguments = fake.arguments();
    ASSERT_EQ(arguments.size(), 10u);
    EXPECT_EQ(arguments[0], "--attach");
    EXPECT_EQ(arguments[2], "--attach");
    EXPECT_EQ(std::vector<std::string>(arguments.begin() + 4, arguments.end()),
              (std::vector<std::string>{"--subject", "Crash Report", "--body", "Hello", "a@b.example", "c@d.example"}));
    const std::filesystem::path first = arguments[1];
    EXPECT_EQ(first.filename(), "r-1.gz");
    EXPECT_EQ(std::filesystem::path(arguments[3]).filename(), "r-2.gz");
    EXPECT_EQ(zeltest::readFile(arguments[1]), std::string(reports[0].dataValue().begin(), reports[0].dataValue().end()));
    struct stat folder {};
    ASSERT_EQ(stat(first.parent_path().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    std::filesystem::remove_all(first.parent_path());
}

TEST(EmailSink, MailtoURLThroughTheOpener) {
    FakePrograms fake({"xdg-open"});
    ScopedEnv path("PATH", fake.path());
    Outcome small;
    mailSink()->filterReports(Value::array({gzipped("crash & \"x\"\nline")}), small.completion());
    EXPECT_TRUE(small.completed) << small.errorText();
    EXPECT_EQ(fake.arguments(), std::vector<std::string>{"mailto:a@b.example,c@d.example?subject=Crash%20Report&body="
                                                         "Hello%0A%0Acrash%20%26%20%22x%22%0Aline"});

    FakePrograms second({"xdg-open"});
    ScopedEnv secondPath("PATH", second.path());
    Outcome large;
    mailSink("big.gz")->filterReports(Value::array({gzipped(std::string(3000, 'z'))}), large.completion());
    EXPECT_TRUE(large.completed) << large.errorText();
    const std::string url = second.arguments().at(0);
    EXPECT_EQ(url.find("zzz"), std::string::npos);
    EXPECT_NE(url.find("big.gz"), std::string::npos) << url;
}

TEST(EmailSink, WithoutAMailProgramTheReportsAreLogged) {
    zeltest::TempDir empty;
    ScopedEnv path("PATH", empty.path());
    std::vector<std::string> logged;
    platform::setSystemLogObserver([&logged](const std::string& line) { logged.push_back(line); });
    Outcome outcome;
    mailSink()->filterReports(Value::array({gzipped("the text")}), outcome.completion());
    platform::setSystemLogObserver(nullptr);
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.errorText(), "Cannot send mail on this platform");
    EXPECT_EQ(logged, std::vector<std::string>{"Report\nthe text"});
}

TEST(EmailInstallation, SendsGzippedJSONOfEachReport) {
    FakePrograms fake({"xdg-email"});
    ScopedEnv path("PATH", fake.path());
    const Value report = sinktest::fixtureReport("signal_abort");
    MaydayInstallationEmail installation;
    installation.setRecipients(Value::array({"dev@example.com"}));
    EXPECT_FALSE(installation.validateProperties());
    Outcome outcome;
    installation.sink()->filterReports(Value::array({report}), outcome.completion());
    EXPECT_TRUE(outcome.completed) << outcome.errorText();
    const std::vector<std::string> arguments = fake.arguments();
    ASSERT_EQ(arguments.size(), 5u);  // no message, so no body
    EXPECT_EQ(std::filesystem::path(arguments[1]).filename(), "crash-report-Zel%dApp-1.json.gz");
    EXPECT_EQ(arguments[3], "Crash Report (Zel%dApp)");
    const std::string attached = zeltest::readFile(arguments[1]);
    const auto json = gunzippedWithError(Value::Bytes(attached.begin(), attached.end()), nullptr);
    ASSERT_TRUE(json);
    EXPECT_EQ(MDJSONCodec::decode(*json, 0), report);
    std::filesystem::remove_all(std::filesystem::path(arguments[1]).parent_path());
}
