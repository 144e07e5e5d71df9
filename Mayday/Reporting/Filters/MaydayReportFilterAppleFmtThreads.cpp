// The per-thread parts of the text: thread headings and backtraces, the
// crashed thread's registers, and the loaded images.
#include "Mayday/Reporting/Filters/MaydayReportFilterAppleFmt.h"

#include <map>
#include <string>
#include <vector>

#include "platform/foundation/Format.h"

using platform::Value;

namespace {

constexpr int kRegistersPerLine = 4;

using RegisterNames = std::vector<std::string>;

// The order the platform's own logs list the registers of each architecture in.
const RegisterNames* registerOrderForArch(const std::string& cpuArch) {
    static const std::map<std::string, RegisterNames, std::less<>> kOrders = [] {
        const RegisterNames arm = {"r0", "r1", "r2",  "r3", "r4", "r5", "r6", "r7",  "r8",
                                   "r9", "r10", "r11", "ip", "sp", "lr", "pc", "cpsr"};
        const RegisterNames x86 = {"eax", "ebx",    "ecx", "edx", "edi", "esi", "ebp", "esp",
                                   "ss",  "eflags", "eip", "cs",  "ds",  "es",  "fs",  "gs"};
        const RegisterNames x86_64 = {"rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp",    "rsp", "r8", "r9", "r10",
                                      "r11", "r12", "r13", "r14", "r15", "rip", "rflags", "cs",  "fs", "gs"};
        std::map<std::string, RegisterNames, std::less<>> orders;
        for (const char* name : {"arm", "armv6", "armv7", "armv7f", "armv7k", "armv7s"}) orders[name] = arm;
        for (const char* name : {"x86", "i386", "i486", "i686"}) orders[name] = x86;
        orders["x86_64"] = x86_64;
        return orders;
    }();
    const auto found = kOrders.find(cpuArch);
    return found == kOrders.end() ? nullptr : &found->second;
}

// Ascending image addresses; an entry without an address is equal to every
// other, so it keeps its place relative to its neighbours.
bool isBelow(const Value& image, const Value& other) {
    const Value address = image["image_addr"];
    const Value otherAddress = other["image_addr"];
    if (!address.isNumber() || !otherAddress.isNumber()) return false;
    return address.unsignedLongLongValue() < otherAddress.unsignedLongLongValue();
}

// A stable insertion sort: unlike std::sort it is well defined for an
// ordering in which missing addresses equal everything.
Value::ArrayItems sortedByAddress(Value::ArrayItems images) {
    for (size_t i = 1; i < images.size(); ++i) {
        Value image = images[i];
        size_t j = i;
        for (; j > 0 && isBelow(image, images[j - 1]); --j) images[j] = images[j - 1];
        images[j] = image;
    }
    return images;
}

}  // namespace

std::string MaydayReportFilterAppleFmt::backtraceString(const Value& backtrace, int reportStyle,
                                                        const Value& mainExecutableName) const {
    using platform::format;
    std::string text;
    int lineNumber = 0;
    for (const Value& frame : backtrace["contents"].arrayItems()) {
        const unsigned long long instructionAddress = frame["instruction_addr"].unsignedLongLongValue();
        const unsigned long long imageAddress = frame["object_addr"].unsignedLongLongValue();
        const unsigned long long symbolAddress = frame["symbol_addr"].unsignedLongLongValue();
        const Value symbolName = frame["symbol_name"];
        const Value imageName = lastPathComponentOf(frame["object_name"]);

        int lineStyle = reportStyle;
        if (lineStyle == MaydayAppleReportStylePartiallySymbolicated) {
            const bool inMainExecutable =
                mainExecutableName.isString() && isText(imageName, mainExecutableName.stringValue());
            lineStyle = inMainExecutable ? MaydayAppleReportStyleUnsymbolicated : MaydayAppleReportStyleSymbolicated;
        }

        const std::string preamble = format("%-4d%-31s 0x%016lx", lineNumber, imageName, instructionAddress);
        const std::string unsymbolicated = format("0x%lx + %lu", imageAddress, instructionAddress - imageAddress);
        if (lineStyle != MaydayAppleReportStyleUnsymbolicated && symbolName.isString()) {
            const std::string symbolicated = format("%@ + %lu", symbolName, instructionAddress - symbolAddress);
            // The system hides some symbols; the address is all there is then.
            if (lineStyle == MaydayAppleReportStyleSymbolicated && isText(symbolName, "<redacted>"))
                lineStyle = MaydayAppleReportStyleUnsymbolicated;
            switch (lineStyle) {
            case MaydayAppleReportStyleSymbolicatedSideBySide:
                text += format("%@ %@ (%@)\n", preamble, unsymbolicated, symbolicated);
                break;
            case MaydayAppleReportStyleSymbolicated:
                text += format("%@ %@\n", preamble, symbolicated);
                break;
            default:
                text += format("%@ %@\n", preamble, unsymbolicated);
                break;
            }
        } else {
            text += format("%@ %@\n", preamble, unsymbolicated);
        }
        ++lineNumber;
    }
    return text;
}

std::string MaydayReportFilterAppleFmt::threadStringForThread(const Value& thread,
                                                              const Value& mainExecutableName) const {
    using platform::format;
    const int index = thread["index"].intValue();
    const Value name = thread["name"];
    const Value queue = thread["dispatch_queue"];
    std::string text = "\n";
    if (!name.isNil()) {
        text += format("Thread %d name:  %@\n", index, name);
    } else if (!queue.isNil()) {
        text += format("Thread %d name:  Dispatch queue: %@\n", index, queue);
    }
    text += thread["crashed"].boolValue() ? format("Thread %d Crashed:\n", index) : format("Thread %d:\n", index);
    text += backtraceString(thread["backtrace"], reportStyle_, mainExecutableName);
    return text;
}

std::string MaydayReportFilterAppleFmt::threadListStringForReport(const Value& report,
                                                                  const Value& mainExecutableName) const {
    std::string text;
    for (const Value& thread : crashReport(report)["threads"].arrayItems())
        text += threadStringForThread(thread, mainExecutableName);
    return text;
}

std::string MaydayReportFilterAppleFmt::crashedThreadCPUStateStringForReport(const Value& report,
                                                                             const std::string& cpuArch) const {
    const Value thread = crashedThreadReport(report);
    if (thread.isNil()) return {};
    std::string text = platform::format("\nThread %d crashed with %@ Thread State:\n", thread["index"].intValue(),
                                        CPUType(Value(cpuArch)));

    const Value registers = thread["registers"]["basic"];
    const RegisterNames* order = registerOrderForArch(cpuArch);
    // An architecture of unknown layout shows what it has, by name.
    const RegisterNames names = order != nullptr ? *order : registers.allKeys();
    size_t onLine = 0;
    for (const std::string& name : names) {
        text += platform::format("%6s: 0x%016lx ", name, registers[name].unsignedLongLongValue());
        if (++onLine == kRegistersPerLine) {
            text += "\n";
            onLine = 0;
        }
    }
    if (onLine != 0) text += "\n";
    return text;
}

std::string MaydayReportFilterAppleFmt::binaryImagesStringForReport(const Value& report) const {
    const Value executablePath = systemReport(report)["CFBundleExecutablePath"];
    std::string text = "\nBinary Images:\n";
    for (const Value& image : sortedByAddress(binaryImagesReport(report).arrayItems())) {
        const unsigned long long start = image["image_addr"].unsignedLongLongValue();
        const unsigned long long end = start + image["image_size"].unsignedLongLongValue() - 1;
        const Value path = image["name"];
        const bool isMainExecutable = executablePath.isString() && isText(path, executablePath.stringValue());
        text += platform::format("%#18lx - %#18lx %@%@ %@  <%@> %@\n", start, end, isMainExecutable ? "+" : " ",
                                 lastPathComponentOf(path),
                                 CPUArchForMajor(image["cpu_type"].intValue(), image["cpu_subtype"].intValue()),
                                 toCompactUUID(image["uuid"]), path);
    }
    return text;
}
