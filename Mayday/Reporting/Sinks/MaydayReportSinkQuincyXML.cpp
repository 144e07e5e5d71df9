// The Quincy crash XML. Report texts come from crashed programs and may
// hold anything: every value is escaped, and characters XML 1.0 does not
// allow at all (control characters other than tab, line feed and carriage
// return) become U+FFFD, so the document always parses.
#include <mutex>
#include <vector>

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"
#include "Mayday/Recording/Tools/MDLogger.h"
#include "Mayday/Reporting/Sinks/MaydayReportSinkQuincy.h"
#include "Mayday/Reporting/Sinks/MaydayUserDefaults.h"
#include "installer/DeepSearch.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/UUID.h"

using platform::Value;

namespace {

constexpr const char* kCrashTemplate =
    "\n    <crash>\n        <applicationname>%@</applicationname>\n        <uuids>\n          %@\n"
    "        </uuids>\n        <bundleidentifier>%@</bundleidentifier>\n        <systemversion>%@</systemversion>\n"
    "        <platform>%@</platform>\n        <senderversion>%@</senderversion>\n        <version>%@</version>\n"
    "        <uuid>%@</uuid>\n        <log><![CDATA[%@]]></log>\n        <userid>%@</userid>\n"
    "        <username>%@</username>\n        <contact>%@</contact>\n        <installstring>%@</installstring>\n"
    "        <description><![CDATA[%@]]></description>\n    </crash>";

constexpr const char* kInstallUUIDKey = "QuincyKitAppInstallationUUID";

void appendXMLCharacter(std::string& out, char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') {
        out += "\xEF\xBF\xBD";
    } else {
        out.push_back(c);
    }
}

// The path with "~" expanded, "." and empty components dropped and ".."
// taken back, as stringByStandardizingPath does without the file system.
std::string standardizedPath(std::string path) {
    if (path.empty()) return path;
    if (path == "~" || path.rfind("~/", 0) == 0) path = platform::homeDirectory() + path.substr(1);
    const bool absolute = path.front() == '/';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) result += (i > 0 ? "/" : "") + parts[i];
    return result;
}

std::string stringAt(const Value& value) { return value.isString() ? value.stringValue() : std::string(); }

}  // namespace

std::string MaydayReportSinkQuincy::cdataEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, "]]>") == 0) {
            out += "]]]]><![CDATA[>";
            i += 2;
        } else {
            appendXMLCharacter(out, text[i]);
        }
    }
    return out;
}

std::string MaydayReportSinkQuincy::xmlEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: appendXMLCharacter(out, c);
        }
    }
    return out;
}

std::string MaydayReportSinkQuincy::blankForNil(const Value& value) {
    return value.isNil() ? std::string() : value.description();
}

std::string MaydayReportSinkQuincy::quincyArchFromCpuType(uint64_t cpuType, uint64_t cpuSubType) {
    switch (cpuType) {
    case 7: return "i386";
    case 12:
        if (cpuSubType == 6) return "armv6";
        if (cpuSubType == 9) return "armv7";
        if (cpuSubType == 11) return "armv7s";
        return "arm-unknown";
    case 18: return "powerpc";
    case 0x1000007: return "x86_64";
    case 0x100000C: return cpuSubType == 0 || cpuSubType == 13 ? "arm64" : "arm64-unknown";
    default: return "???";
    }
}

std::string MaydayReportSinkQuincy::uuidsFromReport(const Value& report) {
    const Value images = report["binary_images"];
    if (images.isNil()) return {};
    const std::string executable = standardizedPath(stringAt(report["system"]["CFBundleExecutablePath"]));
    if (executable.empty()) return {};  // nothing to compare the images with
    // The executable's own folder is the bundle: its libraries sit there.
    std::string bundleFolder = platform::deletingLastPathComponent(executable);
    if (bundleFolder.empty() || bundleFolder.back() != '/') bundleFolder.push_back('/');

    std::string uuids;
    for (const Value& image : images.arrayItems()) {
        const std::string path = standardizedPath(stringAt(image["name"]));
        const char* type = nullptr;
        if (path == executable) {
            type = "app";
        } else if (path.size() > bundleFolder.size() && path.compare(0, bundleFolder.size(), bundleFolder) == 0) {
            type = "framework";
        } else {
            continue;
        }
        std::string uuid = "???";
        if (image["uuid"].isString()) {
            uuid.clear();
            for (char c : image["uuid"].stringValue()) {
                if (c != '-') uuid.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
            }
        }
        const std::string arch = quincyArchFromCpuType(image["cpu_type"].unsignedLongLongValue(),
                                                       image["cpu_subtype"].unsignedLongLongValue());
        uuids += platform::format("<uuid type=\"%@\" arch=\"%@\">%@</uuid>", type, xmlEscaped(arch), xmlEscaped(uuid));
    }
    return uuids;
}

std::string MaydayReportSinkQuincy::descriptionForReport(const Value& report, const Value& keys) {
    std::string description;
    const Value::ArrayItems& keyPaths = keys.arrayItems();
    for (size_t i = 0; i < keyPaths.size(); ++i) {
        const Value& key = keyPaths[i];
        const Value section = objectForKeyPath(report, stringAt(key));
        std::string text;
        if (section.isNil()) {
            MDLOGOBJ_WARN("Report section %@ not found", key);
            continue;
        }
        if (section.isString()) {
            text = section.stringValue();
        } else if (section.isDictionary() || section.isArray()) {
            platform::OptionalError error;
            const std::optional<Value::Bytes> json =
                MDJSONCodec::encode(section, MDJSONEncodeOptionPretty | MDJSONEncodeOptionSorted, &error);
            if (!json) {
                MDLOGOBJ_ERROR("Could not encode report section %@: %@", key, error);
                continue;
            }
            text.assign(json->begin(), json->end());
        } else {
            MDLOGOBJ_ERROR("Could not encode report section %@: Don't know how to encode class %@", key,
                           section.className());
            continue;
        }
        if (i > 0) description += "\n\n";
        description += platform::format("%@:\n", key);
        description += text;
    }
    return description;
}

std::string MaydayReportSinkQuincy::quincyInstallUUID() {
    static std::once_flag once;
    static std::string uuid;
    std::call_once(once, [] {
        MaydayUserDefaults& defaults = MaydayUserDefaults::standardUserDefaults();
        const Value stored = defaults.objectForKey(kInstallUUIDKey);
        if (stored.isString() && !stored.stringValue().empty()) {
            uuid = stored.stringValue();
            return;
        }
        uuid = platform::newUUIDString();
        defaults.setObject(uuid, kInstallUUIDKey);
        defaults.synchronize();
    });
    return uuid;
}

std::string MaydayReportSinkQuincy::toQuincyFormat(const Value& combinedReport) const {
    const Value report = combinedReport["standard"];
    const Value system = report["system"];
    auto text = [&](const Value& value) { return xmlEscaped(blankForNil(value)); };
    auto userValue = [&](const Value& keyPath) {
        return keyPath.isString() && !keyPath.stringValue().empty()
                   ? text(objectForKeyPath(report, keyPath.stringValue()))
                   : std::string();
    };
    const std::string description =
        crashDescriptionKeys_.count() > 0 ? descriptionForReport(report, crashDescriptionKeys_) : std::string();
    return platform::format(
        kCrashTemplate, text(system["CFBundleExecutable"]), uuidsFromReport(report), text(system["CFBundleIdentifier"]),
        text(system["system_version"]), text(system["machine"]),
        text(platform::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleVersion")),
        text(system["CFBundleVersion"]), text(report["report"]["id"]),
        cdataEscaped(blankForNil(combinedReport["apple"])), userValue(userIDKey_), userValue(userNameKey_),
        userValue(contactEmailKey_), xmlEscaped(quincyInstallUUID()), cdataEscaped(description));
}
