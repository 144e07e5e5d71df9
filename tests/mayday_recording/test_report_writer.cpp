// The report writer below the end-to-end crashes: element writers into a
// string, descriptions of hand-made objects, and whole documents written by
// forked children from hand-made event contexts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

#include "tests/support/ReportFiles.h"
#include "CrashChild.h"
#include "Mayday/Recording/MaydayReport.h"
#include "Mayday/Recording/MaydayReportMemory.h"
#include "Mayday/Recording/MaydayReportWriter.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "StdoutCapture.h"
#include "TempDir.h"
#include "platform/objc/Runtime.h"

using platform::Value;
namespace objc = platform::objc;

namespace {

using zeltest::filesIn;
Value decode(const std::string& text) { return zeltest::decodeReport(text); }

const char kText[] = "notable text";

uintptr_t addressOf(const void* p) { return reinterpret_cast<uintptr_t>(p); }

std::string hex(uintptr_t value) {
    char buffer[32];
    snprintf(buffer, sizeof(buffer), "0x%lx", static_cast<unsigned long>(value));
    return buffer;
}

size_t occurrences(const std::string& text, const std::string& word) {
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) count++;
    return count;
}

// One top-level object written compactly through a report writer into a string.
class Elements {
public:
    Elements() {
        mdjson_beginEncode(&encoder_, false, [](const char* data, int length, void* text) {
            static_cast<std::string*>(text)->append(data, static_cast<size_t>(length));
            return static_cast<int>(MDJSON_OK);
        }, &text_);
        maydayreport_prepareReportWriter(&writer_, &encoder_);
        writer_.beginObject(&writer_, nullptr);
    }
    const MaydayReportWriter* w = &writer_;
    // Closes every open container.
    const std::string& finish() {
        mdjson_endEncode(&encoder_);
        return text_;
    }

private:
    std::string text_;
    MDJSONEncodeContext encoder_;
    MaydayReportWriter writer_;
};

std::string describe(uintptr_t address) {
    Elements e;
    maydayreport_writeMemoryContents(e.w, "it", address);
    return e.finish();
}

TEST(ReportWriterElements, UUIDsAndJSONThatDoesNotDecode) {
    unsigned char bytes[16];
    for (int i = 0; i < 16; i++) bytes[i] = static_cast<unsigned char>(i);
    Elements e;
    e.w->addUUIDElement(e.w, "uuid", bytes);
    e.w->addUUIDElement(e.w, "none", nullptr);
    e.w->addJSONElement(e.w, "user", "[1, 2", true);
    e.w->addStringElement(e.w, "after", "still here");
    const std::string& text = e.finish();
    EXPECT_NE(text.find(R"("uuid":"00010203-0405-0607-0809-0A0B0C0D0E0F","none":null,)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("user":{"error":"Invalid JSON data: Incomplete data","json_data":"[1, 2"})"),
              std::string::npos) << text;
    EXPECT_EQ(decode(text)["after"].stringValue(), "still here");
}

TEST(ReportWriterElements, TextFilesWholeAndByLines) {
    zeltest::TempDir dir;
    const std::string longLine(1500, 'x');
    zeltest::writeFile(dir.file("log.txt"), "first\n\n" + longLine + "\nlast without newline");
    std::string notes;  // longer than one 512-byte read
    for (int i = 0; i < 40; i++) notes += "line " + std::to_string(i) + " says \"hi\" \\ \t\n";
    zeltest::writeFile(dir.file("notes.txt"), notes);
    const std::string missing = dir.file("nothing.txt");
    Elements e;
    e.w->addTextFileLinesElement(e.w, "lines", dir.file("log.txt").c_str());
    e.w->addTextFileElement(e.w, "notes", dir.file("notes.txt").c_str());
    zeltest::StdoutCapture log;
    e.w->addTextFileLinesElement(e.w, "missing", missing.c_str());
    e.w->addTextFileElement(e.w, "missing", missing.c_str());
    EXPECT_NE(log.finish().find("Could not open file " + missing), std::string::npos);
    const std::string& text = e.finish();
    EXPECT_EQ(text.find("missing"), std::string::npos);
    const Value all = decode(text);
    EXPECT_EQ(all["notes"].stringValue(), notes);
    const Value lines = all["lines"];
    ASSERT_EQ(lines.count(), 5u) << text;
    EXPECT_EQ(lines[0].stringValue(), "first");
    EXPECT_EQ(lines[1].stringValue(), "");
    EXPECT_EQ(lines[2].stringValue(), longLine.substr(0, 1023));  // one line in two pieces
    EXPECT_EQ(lines[3].stringValue(), longLine.substr(1023));
    EXPECT_EQ(lines[4].stringValue(), "last without newline");
}

TEST(ReportWriterMemory, NotableValuesAreTextsObjectsAndClasses) {
    objc::ObjectHeap heap;
    Elements e;
    maydayreport_writeNotableValue(e.w, "text", addressOf(kText));
    maydayreport_writeNotableValue(e.w, "object", addressOf(heap.makeString("an object")));
    maydayreport_writeNotableValue(e.w, "class", addressOf(objc::classNamed("NSArray")));
    maydayreport_writeNotableValue(e.w, "zero", 0);
    maydayreport_writeNotableValue(e.w, "small", 42);
    maydayreport_writeNotableValue(e.w, "short", addressOf("abc"));
    maydayreport_writeNotableValue(e.w, "control", addressOf("\x01\x02 not text"));
    const Value values = decode(e.finish());
    EXPECT_EQ(values.allKeys(), (std::vector<std::string>{"class", "object", "text"}));
    EXPECT_EQ(values["text"]["address"].unsignedLongLongValue(), addressOf(kText));
    EXPECT_EQ(values["text"]["type"].stringValue(), "string");
    EXPECT_EQ(values["text"]["value"].stringValue(), kText);
    EXPECT_EQ(values["object"]["type"].stringValue(), "objc_object");
    EXPECT_EQ(values["object"]["value"].stringValue(), "an object");
    EXPECT_EQ(values["class"]["type"].stringValue(), "objc_class");
    EXPECT_EQ(values["class"]["class"].stringValue(), "NSArray");
}

TEST(ReportWriterMemory, ATextRightBeforeAnUnmappedPageIsFound) {
    const long page = sysconf(_SC_PAGESIZE);
    char* pages = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    char* end = pages + page;
    memcpy(end - 10, "edge text", 10);  // its NUL is the page's last byte
    Elements e;
    maydayreport_writeNotableValue(e.w, "short", addressOf(end - 10));
    memcpy(end - 8, "UNENDING", 8);  // runs into the unreadable page
    maydayreport_writeNotableValue(e.w, "unending", addressOf(end - 8));
    const Value values = decode(e.finish());
    munmap(pages, 2 * page);
    EXPECT_EQ(values.allKeys(), std::vector<std::string>{"short"});
    EXPECT_EQ(values["short"]["value"].stringValue(), "edge text");
}

TEST(ReportWriterMemory, ClassesNotToIntrospectAreNotLookedInto) {
    objc::Class* cls = objc::defineClass("MDTestSecretHolder", objc::classNamed("NSObject"),
                                         {{"secret", "q", 8}, {"label", "@\"NSString\"", 8}});
    objc::ObjectHeap heap;
    void* holder = heap.makeObject(cls);
    const int64_t secret = 4242;
    const void* label = heap.makeString("inner label");
    ASSERT_TRUE(objc::setIvar(holder, "secret", &secret, sizeof(secret)));
    ASSERT_TRUE(objc::setIvar(holder, "label", &label, sizeof(label)));
    const Value open = decode(describe(addressOf(holder)))["it"];
    EXPECT_EQ(open["ivars"]["secret"].longLongValue(), 4242);
    EXPECT_EQ(open["ivars"]["label"]["value"].stringValue(), "inner label");

    const char* names[] = {"NSDate", "MDTestSecretHolder"};
    maydayreport_setDoNotIntrospectClasses(names, 2);
    const std::string closed = describe(addressOf(holder));
    maydayreport_setDoNotIntrospectClasses(nullptr, 0);
    EXPECT_NE(closed.find(R"("type":"objc_object","class":"MDTestSecretHolder","type":")"), std::string::npos)
        << closed;
    EXPECT_EQ(occurrences(closed, "\"type\""), 2u) << closed;
    EXPECT_EQ(closed.find("ivars"), std::string::npos) << closed;
    // An empty list looks into everything again.
    EXPECT_NE(describe(addressOf(holder)).find("\"secret\":4242"), std::string::npos);
}

TEST(ReportWriterMemory, NestedArraysEndWhenTheDepthBudgetIsSpent) {
    objc::ObjectHeap heap;
    const void* element = heap.makeString("innermost");
    for (int level = 0; level < 20; level++) element = heap.makeArray({element});
    const std::string text = describe(addressOf(element));
    // 15 objects in all: the root and 14 first objects, the last without one.
    EXPECT_EQ(occurrences(text, "\"first_object\""), 14u) << text;
    EXPECT_EQ(occurrences(text, "\"__NSArrayI\""), 15u) << text;
}

TEST(ReportWriterMemory, ReferencedObjectOfAReason) {
    objc::ObjectHeap heap;
    const void* string = heap.makeString("released twice");
    const std::string objectReason = "message sent to deallocated instance " + hex(addressOf(string)) + " (zombie)";
    const std::string textReason = "bad name at " + hex(addressOf(kText));
    const char* reasons[] = {objectReason.c_str(), textReason.c_str(), "no number 0xZZ here", nullptr};
    Elements e;
    for (int i = 0; i < 4; i++) {
        e.w->beginObject(e.w, std::to_string(i).c_str());
        maydayreport_writeReferencedObject(e.w, reasons[i]);
        e.w->endContainer(e.w);
    }
    const std::string& text = e.finish();
    const Value all = decode(text);
    EXPECT_EQ(all["0"]["referenced_object"]["address"].unsignedLongLongValue(), addressOf(string));
    EXPECT_EQ(all["0"]["referenced_object"]["class"].stringValue(), "__NSCFString");
    EXPECT_EQ(all["0"]["referenced_object"]["value"].stringValue(), "released twice");
    EXPECT_EQ(all["1"]["referenced_object"]["value"].stringValue(), kText);
    EXPECT_EQ(all["2"].count() + all["3"].count(), 0u) << text;
}

// ---- Whole documents, each written by a forked child whose log lines come
// back in end.output.

struct Written {
    zeltest::ChildEnd end;
    std::string text;
    Value report;
    Value crashedThread() const {
        for (const Value& thread : report["crash"]["threads"].arrayItems())
            if (thread["crashed"].boolValue()) return thread;
        return Value();
    }
};

// `adjust(event, registers)` shapes the event and the crashed thread's registers.
template <typename Adjust>
Written writeInChild(const std::string& path, Adjust adjust,
                     void (*write)(const Mayday_MonitorContext*, const char*) = maydayreport_writeStandardReport) {
    Written written;
    written.end = zeltest::runInChild([&] {
        dup2(zeltest::g_reportFd, STDOUT_FILENO);
        Mayday_MonitorContext event{};
        event.eventID = "event-id";
        event.crashType = MaydayMonitorTypeSignal;
        ucontext_t user;
        memset(&user, 0, sizeof(user));
        adjust(event, user.uc_mcontext.gregs);
        MDMC_NEW_CONTEXT(machine);
        mdmc_fillContextForSignal(&user, machine);
        MDStackCursor cursor;
        mdsc_initWithMachineContext(&cursor, 150, machine);
        event.offendingMachineContext = machine;
        event.stackCursor = &cursor;
        write(&event, path.c_str());
    });
    EXPECT_TRUE(written.end.exited && written.end.exitStatus == 0) << written.end.output;
    written.text = zeltest::readFile(path);
    if (!written.text.empty()) written.report = decode(written.text);
    return written;
}

TEST(ReportWriterDocument, ErrorOfAnNSExceptionAndOfSignalCodes) {
    zeltest::TempDir dir;
    objc::ObjectHeap heap;
    const std::string reason = "sent to deallocated " + hex(addressOf(heap.makeString("the culprit")));
    const Written exception = writeInChild(dir.file("1.json"), [&](Mayday_MonitorContext& event, greg_t* registers) {
        event.crashType = MaydayMonitorTypeNSException;
        event.nsexceptionName = "NSInvalidArgumentException";
        event.crashReason = reason.c_str();
        registers[REG_R15] = -1;  // 2^64 - 1
    });
    Value error = exception.report["crash"]["error"];
    EXPECT_EQ(error["type"].stringValue(), "nsexception");
    EXPECT_EQ(error["nsexception"]["name"].stringValue(), "NSInvalidArgumentException");
    EXPECT_EQ(error["nsexception"]["referenced_object"]["value"].stringValue(), "the culprit");
    EXPECT_TRUE(error["mach"]["exception"].isInteger() && error["signal"]["signal"].isInteger());
    EXPECT_EQ(error["mach"]["exception"].longLongValue() + error["signal"]["signal"].longLongValue(), 0);
    EXPECT_NE(exception.text.find("\"r15\": -1,"), std::string::npos);

    const Written signal = writeInChild(dir.file("2.json"), [](Mayday_MonitorContext& event, greg_t*) {
        event.mach.type = 1;  // EXC_BAD_ACCESS
        event.mach.code = 0;
        event.mach.subcode = static_cast<int64_t>(0xFFFFFFFF0000DEADull);
        event.signal.signum = SIGSEGV;
        event.signal.sigcode = SI_TKILL;
    });
    error = signal.report["crash"]["error"];
    EXPECT_EQ(error["type"].stringValue(), "signal");
    EXPECT_TRUE(error["mach"]["code"].isInteger() && error["mach"]["code"].longLongValue() == 0);
    EXPECT_TRUE(error["mach"]["code_name"].isNil()) << error["mach"]["code_name"].stringValue();
    EXPECT_EQ(error["mach"]["subcode"].longLongValue(), 57005);
    EXPECT_EQ(error["signal"]["code"].longLongValue(), 4294967290LL);
    EXPECT_EQ(error["signal"]["code_name"].stringValue(), "SI_TKILL");
}

TEST(ReportWriterDocument, MonitorTypesThatCannotCauseEventsWriteNoType) {
    for (const MaydayMonitorFlags type :
         {MaydayMonitorTypeSystem, MaydayMonitorTypeApplicationState, MaydayMonitorTypeZombie}) {
        zeltest::TempDir dir;
        const Written run = writeInChild(dir.file("r.json"), [type](Mayday_MonitorContext& event, greg_t*) {
            event.crashType = type;
            event.mach.code = 1;
        });
        const Value error = run.report["crash"]["error"];
        EXPECT_TRUE(error["type"].isNil()) << type;
        EXPECT_EQ(error["mach"]["code_name"].stringValue(), "KERN_INVALID_ADDRESS");
        EXPECT_TRUE(run.report["debug"].isDictionary());  // the document went on to its end
        char message[80];
        snprintf(message, sizeof(message), "Crash monitor type 0x%x shouldn't be able to cause events!", type);
        EXPECT_NE(run.end.output.find(message), std::string::npos) << run.end.output;
    }
}

// Stack pointers whose window would wrap around either end of the address
// space, and a readable one for comparison.
TEST(ReportWriterDocument, StackWindowAtEitherEndOfTheAddressSpace) {
    alignas(16) static uintptr_t fakeStack[40] = {};
    fakeStack[25] = addressOf(kText);
    const uintptr_t readable = addressOf(&fakeStack[20]);
    for (const uintptr_t sp : {uintptr_t{16}, ~uintptr_t{0} - 15, readable}) {
        SCOPED_TRACE(hex(sp));
        zeltest::TempDir dir;
        const Written run = writeInChild(dir.file("r.json"), [sp](Mayday_MonitorContext&, greg_t* registers) {
            maydayreport_setIntrospectMemory(true);
            registers[REG_RSP] = registers[REG_RBP] = static_cast<greg_t>(sp);
            registers[REG_RAX] = static_cast<greg_t>(addressOf(kText));
        });
        EXPECT_FALSE(run.end.timedOut);
        const Value thread = run.crashedThread();
        const Value stack = thread["stack"];
        EXPECT_EQ(stack["stack_pointer"].unsignedLongLongValue(), sp);
        const Value notable = thread["notable_addresses"];
        EXPECT_EQ(notable["rax"]["value"].stringValue(), kText);
        std::vector<std::string> stackWords;
        for (const std::string& key : notable.allKeys())
            if (key.rfind("stack@", 0) == 0) stackWords.push_back(key);
        if (sp == readable) {
            EXPECT_EQ(stack["contents"].stringValue().size(), 480u);
            EXPECT_EQ(stackWords, std::vector<std::string>{"stack@" + hex(addressOf(&fakeStack[25]))});
        } else {
            EXPECT_EQ(stack["error"].stringValue(), "Stack contents not accessible");
            EXPECT_TRUE(stack["contents"].isNil());
            EXPECT_TRUE(stackWords.empty());
        }
    }
}

// An unfinished report is embedded and goes; one that is no JSON stays beside as ".old".
TEST(ReportWriterRecrash, TheOldReportIsEmbeddedOrKept) {
    const std::string name = "ReportTest-report-0000000000000001.json";
    const std::string oldName = "ReportTest-report-0000000000000001.old";
    for (const bool unfinished : {true, false}) {
        zeltest::TempDir dir;
        const std::string old = unfinished ? R"({"report": {"id": "first"}, "crash": {"threads": [{"index": 7, "na)"
                                           : "garbage, not a report";
        zeltest::writeFile(dir.file(name), old);
        const Written run =
            writeInChild(dir.file(name), [](Mayday_MonitorContext&, greg_t*) {}, maydayreport_writeRecrashReport);
        EXPECT_EQ(run.report["report"]["type"].stringValue(), "minimal");
        EXPECT_TRUE(run.report["crash"]["crashed_thread"]["crashed"].boolValue());
        if (unfinished) {
            EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{name});
            EXPECT_EQ(run.report["recrash_report"]["report"]["id"].stringValue(), "first");
            EXPECT_EQ(run.report["recrash_report"]["crash"]["threads"][0]["index"].longLongValue(), 7);
        } else {
            EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{name, oldName}));
            EXPECT_EQ(zeltest::readFile(dir.file(oldName)), old);
        }
    }
}

TEST(ReportWriterRecrash, APathShorterThanFiveCharactersWritesNothing) {
    zeltest::TempDir dir;
    zeltest::writeFile(dir.file("a.js"), "{\"unfinished\": ");
    const zeltest::ChildEnd end = zeltest::runInChild([&] {
        dup2(zeltest::g_reportFd, STDOUT_FILENO);
        if (chdir(dir.path().c_str()) != 0) _exit(2);
        Mayday_MonitorContext event{};
        maydayreport_writeRecrashReport(&event, "a.js");
        maydayreport_writeRecrashReport(&event, "");
    });
    EXPECT_TRUE(end.exited && end.exitStatus == 0) << end.output;
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"a.js"});
    EXPECT_EQ(zeltest::readFile(dir.file("a.js")), "{\"unfinished\": ");
    EXPECT_NE(end.output.find("Could not rename a.js to : "), std::string::npos) << end.output;
    EXPECT_NE(end.output.find("Could not open crash report file a.js"), std::string::npos) << end.output;
    EXPECT_NE(end.output.find("Could not open crash report file : "), std::string::npos) << end.output;
}

// A report may read the settings while the application replaces them.
TEST(ReportWriterSettings, ReplacedWhileAnotherThreadReadsThem) {
    std::vector<std::string> texts;
    for (size_t i = 0; i < 6; i++) texts.push_back("{\"pad\": \"" + std::string(i * 61 + 1, 'p') + "\"}");
    const char* names[] = {"Kept", "Other", "Third"};
    maydayreport_setDoNotIntrospectClasses(names, 1);
    maydayreport_setUserInfoJSON(texts[0].c_str());
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        while (!done.load()) {
            maydayreport_beginSettingsRead();
            const char* text = maydayreport_userInfoJSON();
            const std::string copy = text != nullptr ? std::string(text, strlen(text)) : std::string();
            const bool listed = maydayreport_isDoNotIntrospectClass("Kept");
            maydayreport_endSettingsRead();
            reads++;
            if (!listed || std::find(texts.begin(), texts.end(), copy) == texts.end()) wrong++;
        }
    });
    while (reads.load() == 0) std::this_thread::yield();  // replace only while it reads
    for (int i = 0; i < 300; i++) {
        maydayreport_setUserInfoJSON(texts[static_cast<size_t>(i) % texts.size()].c_str());
        maydayreport_setDoNotIntrospectClasses(names, 1 + i % 3);
    }
    done = true;
    reader.join();
    maydayreport_setUserInfoJSON(nullptr);
    maydayreport_setDoNotIntrospectClasses(nullptr, 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(maydayreport_userInfoJSON(), nullptr);
    EXPECT_FALSE(maydayreport_isDoNotIntrospectClass("Kept"));
}

}  // namespace
