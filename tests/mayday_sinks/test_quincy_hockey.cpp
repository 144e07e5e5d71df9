// The Quincy and Hockey sinks and installations: the XML pieces, what a
// loopback server receives (read by a multipart parser and a real XML
// parser), the answers' outcomes, and the installation UUID kept in the
// user defaults.
#include <gtest/gtest.h>

#include <regex>

#include "Mayday/Installations/MaydayInstallationHockey.h"
#include "Mayday/Installations/MaydayInstallationQuincy.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkQuincy.h"
#include "Mayday/Reporting/Sinks/MaydayUserDefaults.h"
#include "SinkTestSupport.h"
#include "StdoutCapture.h"
#include "TestHttpServer.h"

using platform::Value;
using sinktest::Outcome;
using Sink = MaydayReportSinkQuincy;

namespace {

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new sinktest::SinkEnvironment);

Value dict(std::initializer_list<std::pair<const std::string, Value>> items) { return Value::dictionary(items); }

// A combined report whose texts hold everything XML must escape.
Value awkwardCombinedReport() {
    const Value report = dict({
        {"system", dict({{"CFBundleExecutable", "A&B <x> \"q\" 'y'"}, {"CFBundleIdentifier", "com.example.a&b"},
                         {"system_version", "6.1"}, {"machine", "x86_64"}, {"CFBundleVersion", "7<8"}})},
        {"report", dict({{"id", "R-1"}})},
        {"user", dict({{"user_id", "u<1>"}, {"name", "Ann & Bob"}, {"crash_description", "broke ]]> here"}})},
    });
    return dict({{"standard", report}, {"apple", "Thread 0 ]]> crashed\x01 here"}});
}

std::shared_ptr<Sink> sinkTo(const std::string& url) {
    return Sink::sinkWithURL(platform::URL::URLWithString(url), "user/user_id", "user/name", "user/contact",
                             Value::array({"user/crash_description"}));
}

// The crashes of the one request the server got, through both parsers.
Value receivedCrashes(const zeltest::TestHttpServer& server, sinktest::Part* partOut = nullptr) {
    const auto requests = server.requests();
    EXPECT_EQ(requests.size(), 1u);
    if (requests.empty()) return Value();
    const auto parts = sinktest::parseMultipart(requests[0].headers.at("content-type"), requests[0].body);
    EXPECT_TRUE(parts && parts->size() == 1) << requests[0].body;
    if (!parts || parts->empty()) return Value();
    if (partOut) *partOut = parts->front();
    std::string why;
    const Value parsed = sinktest::parseCrashXML(parts->front().data, why);
    EXPECT_FALSE(parsed.isNil()) << why << parts->front().data;
    EXPECT_EQ(parsed["root"], Value("crashes"));
    return parsed["crashes"];
}

}  // namespace

TEST(QuincyFormat, EscapesAndArchitectures) {
    EXPECT_EQ(Sink::cdataEscaped("a]]>b]]>"), "a]]]]><![CDATA[>b]]]]><![CDATA[>");
    EXPECT_EQ(Sink::xmlEscaped("&<>\"'ok"), "&amp;&lt;&gt;&quot;&apos;ok");
    // Control characters no XML parser accepts; tab and line ends stay.
    EXPECT_EQ(Sink::xmlEscaped("a\x01\tb\n"), "a\xEF\xBF\xBD\tb\n");
    EXPECT_EQ(Sink::blankForNil(Value()), "");
    EXPECT_EQ(Sink::blankForNil(Value(12)), "12");

    EXPECT_EQ(Sink::quincyArchFromCpuType(7, 3), "i386");
    EXPECT_EQ(Sink::quincyArchFromCpuType(12, 6), "armv6");
    EXPECT_EQ(Sink::quincyArchFromCpuType(12, 9), "armv7");
    EXPECT_EQ(Sink::quincyArchFromCpuType(12, 11), "armv7s");
    EXPECT_EQ(Sink::quincyArchFromCpuType(12, 5), "arm-unknown");
    EXPECT_EQ(Sink::quincyArchFromCpuType(18, 0), "powerpc");
    EXPECT_EQ(Sink::quincyArchFromCpuType(0x1000007, 3), "x86_64");
    EXPECT_EQ(Sink::quincyArchFromCpuType(0x100000C, 0), "arm64");
    EXPECT_EQ(Sink::quincyArchFromCpuType(0x100000C, 13), "arm64");
    EXPECT_EQ(Sink::quincyArchFromCpuType(0x100000C, 2), "arm64-unknown");
    EXPECT_EQ(Sink::quincyArchFromCpuType(99, 0), "???");
}

TEST(QuincyFormat, UuidsOfTheExecutableAndItsFolder) {
    auto image = [](const char* name, Value uuid) {
        Value entry = dict({{"name", name}, {"cpu_type", 0x1000007}, {"cpu_subtype", 3}});
        entry.setObject(uuid, "uuid");
        return entry;
    };
    const Value report = dict({
        {"system", dict({{"CFBundleExecutablePath", "/opt/App/bin/app"}})},
        {"binary_images", Value::array({image("/opt/App/bin/app", "AB-CD"), image("/opt/App/bin/lib/libx.so", Value()),
                                        image("/opt/App/libparent.so", "11"), image("/opt/App/bin/.././bin/libdot.so", "2-2"),
                                        image("/opt/App/binary/liby.so", "33"), image("/usr/lib/libc.so", "44")})},
    });
    EXPECT_EQ(Sink::uuidsFromReport(report),
              "<uuid type=\"app\" arch=\"x86_64\">abcd</uuid>"
              "<uuid type=\"framework\" arch=\"x86_64\">?\?\?</uuid>"
              "<uuid type=\"framework\" arch=\"x86_64\">22</uuid>");
    EXPECT_EQ(Sink::uuidsFromReport(dict({{"system", report["system"]}})), "");
}

TEST(QuincyFormat, DescriptionOfSections) {
    const Value system = dict({{"b", 2}, {"a", Value::array({1})}});
    const Value report = dict({{"user", dict({{"note", "it broke"}, {"count", 3}})}, {"system", system}});
    const std::optional<Value::Bytes> json = MDJSONCodec::encode(system, 3);
    ASSERT_TRUE(json);

    zeltest::StdoutCapture log;
    const std::string description = Sink::descriptionForReport(
        report, Value::array({"user/note", "/missing", "/system", "user/count"}));
    const std::string logged = log.finish();
    EXPECT_EQ(description, "user/note:\nit broke\n\n/system:\n" + std::string(json->begin(), json->end()));
    EXPECT_NE(logged.find("Report section /missing not found"), std::string::npos) << logged;
    EXPECT_NE(logged.find("Could not encode report section user/count: Don't know how to encode class NSNumber"),
              std::string::npos)
        << logged;
    // Any key but the list's first starts a new paragraph, even after a skipped first.
    EXPECT_EQ(Sink::descriptionForReport(report, Value::array({"/missing", "user/note"})), "\n\nuser/note:\nit broke");
}

TEST(QuincySink, PostsOneParsableCrashPerReport) {
    SINKTEST_REQUIRE_PYTHON();
    zeltest::TestHttpServer server([](const auto&) { return zeltest::TestHttpServer::Response{}; });
    auto sink = sinkTo(server.url("/crash_v200.php"));
    const Value reports = Value::array({awkwardCombinedReport(), awkwardCombinedReport()});
    Outcome outcome;
    sink->filterReports(reports, outcome.completion());
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.completed) << outcome.errorText();
    EXPECT_TRUE(outcome.reports.isSameContainer(reports));

    sinktest::Part part;
    const Value crashes = receivedCrashes(server, &part);
    EXPECT_EQ(part.name, "xmlstring");
    EXPECT_FALSE(part.filename);
    EXPECT_FALSE(part.contentType);
    ASSERT_EQ(crashes.count(), 2u);
    const Value crash = crashes[0];
    EXPECT_EQ(crash["applicationname"], Value("A&B <x> \"q\" 'y'"));
    EXPECT_EQ(crash["bundleidentifier"], Value("com.example.a&b"));
    EXPECT_EQ(crash["version"], Value("7<8"));
    EXPECT_EQ(crash["senderversion"], Value("9.9"));
    EXPECT_EQ(crash["uuid"], Value("R-1"));
    EXPECT_EQ(crash["log"], Value("Thread 0 ]]> crashed\xEF\xBF\xBD here"));
    EXPECT_EQ(crash["userid"], Value("u<1>"));
    EXPECT_EQ(crash["username"], Value("Ann & Bob"));
    EXPECT_EQ(crash["contact"], Value(""));
    EXPECT_EQ(crash["description"], Value("user/crash_description:\nbroke ]]> here"));
    EXPECT_EQ(crash["installstring"], Value(Sink::quincyInstallUUID()));
    EXPECT_TRUE(std::regex_match(Sink::quincyInstallUUID(),
                                 std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));

    const auto request = server.requests().front();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/crash_v200.php");
    EXPECT_EQ(request.headers.at("user-agent"), "Quincy/iOS");
    // Compression is for the HTTP layer to offer, never forced to gzip alone.
    EXPECT_NE(request.headers.count("accept-encoding") ? request.headers.at("accept-encoding") : "", "gzip");
}

TEST(QuincySink, RefusalsAndFailures) {
    Outcome noURL;
    Sink::sinkWithURL(std::nullopt, Value(), Value(), Value(), Value())->filterReports(Value::array(), noURL.completion());
    EXPECT_EQ(noURL.calls, 1);
    EXPECT_FALSE(noURL.completed);
    EXPECT_EQ(noURL.errorText(), "url was nil");

    std::string page;
    for (int i = 0; i < 600; ++i) page += "\xC3\xA9";  // 1200 bytes of two-byte characters
    zeltest::TestHttpServer server([&page](const auto&) {
        zeltest::TestHttpServer::Response response;
        response.status = 500;
        response.body = page;
        return response;
    });
    Outcome failed;
    // The sink is kept: a sink dropped while it waits for the host abandons the send.
    auto sink = sinkTo(server.url("/"));
    sink->filterReports(Value::array({awkwardCombinedReport()}), failed.completion());
    ASSERT_TRUE(failed.wait());
    ASSERT_TRUE(failed.error);
    EXPECT_FALSE(failed.completed);
    EXPECT_EQ(failed.error->domain, "MaydayReportSinkQuincy");
    EXPECT_EQ(failed.error->code, 500);
    // Cut to 1 KiB, between characters.
    EXPECT_EQ(failed.error->localizedDescription, page.substr(0, 1024));

    auto refused = sinkTo("http://127.0.0.1:" + std::to_string(zeltest::TestHttpServer::unusedPort()) + "/");
    refused->setWaitUntilReachable(false);
    Outcome error;
    refused->filterReports(Value::array({awkwardCombinedReport()}), error.completion());
    EXPECT_FALSE(refused->reachableOperation());
    ASSERT_TRUE(error.wait());
    ASSERT_TRUE(error.error);
    EXPECT_EQ(error.error->domain, platform::kURLErrorDomain);
    EXPECT_EQ(error.calls, 1);
}

TEST(HockeySink, AddressAndFieldOfTheService) {
    SINKTEST_REQUIRE_PYTHON();
    Outcome noIdentifier;
    MaydayReportSinkHockey::sinkWithAppIdentifier(Value(), Value(), Value(), Value(), Value())
        ->filterReports(Value::array(), noIdentifier.completion());
    EXPECT_EQ(noIdentifier.errorText(), "appIdentifier was nil");
    EXPECT_EQ(MaydayReportSinkHockey::urlWithAppIdentifier("ab c")->absoluteString(),
              "https://rink.hockeyapp.net/api/2/apps/ab%20c/crashes");

    zeltest::TestHttpServer server([](const auto&) { return zeltest::TestHttpServer::Response{}; });
    const std::string saved = MaydayReportSinkHockey::serviceBaseURL();
    MaydayReportSinkHockey::setServiceBaseURL("http://127.0.0.1:" + std::to_string(server.port()));
    MaydayInstallationHockey installation;
    installation.setAppIdentifier("app42");
    const std::shared_ptr<MaydayReportFilter> sink = installation.sink();
    MaydayReportSinkHockey::setServiceBaseURL(saved);

    const Value report = sinktest::fixtureReport("signal_abort");
    Outcome outcome;
    sink->filterReports(Value::array({report}), outcome.completion());
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.completed) << outcome.errorText();
    sinktest::Part part;
    const Value crashes = receivedCrashes(server, &part);
    EXPECT_EQ(server.requests().front().path, "/api/2/apps/app42/crashes");
    EXPECT_EQ(part.name, "xml");
    EXPECT_EQ(part.filename, "crash.xml");
    EXPECT_EQ(part.contentType, "text/xml");
    EXPECT_EQ(crashes.count(), 1u);
}

TEST(QuincyInstallation, KeysValidationAndSink) {
    SINKTEST_REQUIRE_PYTHON();
    MaydayInstallationQuincy installation;
    EXPECT_EQ(installation.validateProperties()->localizedDescription,
              "Installation properties failed validation: url (is nil)");
    EXPECT_EQ(MaydayInstallationHockey().validateProperties()->localizedDescription,
              "Installation properties failed validation: appIdentifier (is nil)");
    EXPECT_EQ(installation.allCrashDescriptionKeys(), Value::array({"crash_description", "/system", "/user"}));
    EXPECT_EQ(installation.reportFieldForProperty("userID")->key(), Value("user_id"));
    installation.setUserName("Ann");
    EXPECT_EQ(std::string(installation.reportFieldForProperty("userName")->field()->value), "\"Ann\"");
    installation.setCrashDescriptionKey(Value());
    EXPECT_EQ(installation.allCrashDescriptionKeys(), Value::array({"/system", "/user"}));
    installation.setCrashDescriptionKey("crash_description");

    zeltest::TestHttpServer server([](const auto&) { return zeltest::TestHttpServer::Response{}; });
    installation.setUrl(platform::URL::URLWithString(server.url("/quincy")));
    Value report = sinktest::fixtureReport("signal_abort");
    report["user"].setObject("u-1", "user_id");
    report["user"].setObject("it broke", "crash_description");
    Outcome outcome;
    installation.sink()->filterReports(Value::array({report}), outcome.completion());
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.completed) << outcome.errorText();
    const Value crash = receivedCrashes(server)[0];
    EXPECT_EQ(crash["userid"], Value("u-1"));
    EXPECT_EQ(crash["uuid"], report["report"]["id"]);
    EXPECT_EQ(crash["description"].stringValue().rfind("user/crash_description:\nit broke\n\n/system:\n{", 0), 0u)
        << crash["description"].description();
    EXPECT_NE(crash["log"].stringValue().find("Incident Identifier:"), std::string::npos);
    const Value app = crash["uuids"][0];
    EXPECT_EQ(app["type"], Value("app"));
    EXPECT_EQ(app["arch"], Value("x86_64"));
    EXPECT_EQ(app["text"], Value("f670b4967f749508e6f5fa884f8720bb"));
    EXPECT_EQ(MaydayInstallationQuincy::sharedInstance(), MaydayInstallationQuincy::sharedInstance());
}

TEST(QuincyDefaults, InstallUUIDSurvivesTheProcess) {
    // The UUID this process made is in the defaults file of the test bundle.
    const std::string uuid = Sink::quincyInstallUUID();
    const Value stored = platform::JSONSerialization::JSONObjectWithData(zeltest::readFile(
        sinktest::SinkEnvironment::configPath() + "/com.example.sinktests/UserDefaults.json"));
    EXPECT_EQ(stored["QuincyKitAppInstallationUUID"], Value(uuid));

    zeltest::TempDir scratch;
    const std::string path = scratch.file("app/UserDefaults.json");
    zeltest::writeFile(path, "{\"other\": 1");  // cut short
    MaydayUserDefaults first(path);
    EXPECT_TRUE(first.objectForKey("other").isNil());
    first.setObject("kept", "other");
    first.setObject("ID", "QuincyKitAppInstallationUUID");
    ASSERT_TRUE(first.synchronize());
    MaydayUserDefaults second(path);
    EXPECT_EQ(second.objectForKey("QuincyKitAppInstallationUUID"), Value("ID"));
    EXPECT_EQ(second.objectForKey("other"), Value("kept"));
}
