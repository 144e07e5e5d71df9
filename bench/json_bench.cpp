// JSON throughput: MDJSONCodec decode and encode beside RapidJSON (DOM Parse
// and Writer) and nlohmann-json (parse and dump) on the standard benchmark
// documents, then the crash-path encoder streaming a large report-like
// document through a buffered file writer with a 1024-byte buffer.
//
//   json_bench [RUNS [documents|crash]]
//
// RUNS defaults to 10 (3 at most for the crash-path encoder); the best run
// of each counts. "documents" or "crash" runs only that half.
//
// MB/s are 10^6 bytes of the source document per second (for the crash-path
// encoder: bytes written). Ratios are MDJSONCodec / other: above 1 is faster.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Mayday/Recording/Tools/MDFileUtils.h"
#include "Mayday/Recording/Tools/MDJSONCodec.h"
#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps results alive so the compiler cannot drop the work.
volatile size_t gSink = 0;

double bestSeconds(int runs, const std::function<void()>& work) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        work();
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        if (s < best) best = s;
    }
    return best;
}

double mbps(size_t bytes, double seconds) { return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0; }

bool readFile(const std::string& path, std::string& out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.append(chunk, n);
    const bool ok = !ferror(f);
    fclose(f);
    return ok;
}

void benchDocument(const std::string& name, const std::string& text, int runs) {
    const platform::Value::Bytes bytes(text.begin(), text.end());
    const size_t size = text.size();

    // Decode. Every run's tree is kept until all runs are done, so only
    // parsing is timed, not freeing the previous tree.
    std::vector<platform::Value> mdTrees;
    const double mdDecode = bestSeconds(runs, [&] { mdTrees.push_back(MDJSONCodec::decode(bytes, 0)); });
    const platform::Value decoded = mdTrees.back();
    mdTrees.clear();
    if (decoded.isNil()) {
        printf("%-18s MDJSONCodec could not decode the document\n", name.c_str());
        return;
    }
    std::vector<rapidjson::Document> rapidDocs;
    rapidDocs.reserve(static_cast<size_t>(runs));
    const double rjDecode = bestSeconds(runs, [&] {
        rapidDocs.emplace_back();
        rapidDocs.back().Parse(text.data(), text.size());
    });
    if (rapidDocs.back().HasParseError()) {
        printf("%-18s RapidJSON could not parse the document\n", name.c_str());
        return;
    }
    std::vector<nlohmann::json> nlDocs;
    const double nlDecode = bestSeconds(runs, [&] { nlDocs.push_back(nlohmann::json::parse(text)); });
    const rapidjson::Document& rapidDoc = rapidDocs.back();
    const nlohmann::json& nlDoc = nlDocs.back();

    // Encode.
    size_t mdOut = 0, rjOut = 0, nlOut = 0;
    const double mdEncode = bestSeconds(runs, [&] {
        auto data = MDJSONCodec::encode(decoded, 0);
        mdOut = data ? data->size() : 0;
        gSink = gSink + mdOut;
    });
    const double rjEncode = bestSeconds(runs, [&] {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        rapidDoc.Accept(writer);
        rjOut = buffer.GetSize();
        gSink = gSink + rjOut;
    });
    const double nlEncode = bestSeconds(runs, [&] {
        const std::string out = nlDoc.dump();
        nlOut = out.size();
        gSink = gSink + nlOut;
    });

    printf("%-18s %9zu bytes  decode  MDJSONCodec %8.1f  RapidJSON %8.1f  nlohmann %8.1f MB/s"
           "   ratio vs RapidJSON %5.2f  vs nlohmann %5.2f\n",
           name.c_str(), size, mbps(size, mdDecode), mbps(size, rjDecode), mbps(size, nlDecode), rjDecode / mdDecode,
           nlDecode / mdDecode);
    printf("%-18s %9s        encode  MDJSONCodec %8.1f  RapidJSON %8.1f  nlohmann %8.1f MB/s"
           "   ratio vs RapidJSON %5.2f  vs nlohmann %5.2f   (output %zu / %zu / %zu bytes)\n",
           "", "", mbps(size, mdEncode), mbps(size, rjEncode), mbps(size, nlEncode), rjEncode / mdEncode,
           nlEncode / mdEncode, mdOut, rjOut, nlOut);
    if (nlDecode / mdDecode < 1.0) printf("%-18s NOTE: decode is slower than nlohmann-json\n", "");
}

// ---- The crash-path encoder into a buffered file writer.

struct CountingWriter {
    MDBufferedWriter* writer;
    size_t bytes;
};

int addToFile(const char* data, int length, void* userData) {
    auto* w = static_cast<CountingWriter*>(userData);
    w->bytes += static_cast<size_t>(length);
    return mdfu_writeBufferedWriter(w->writer, data, length) ? MDJSON_OK : MDJSON_ERROR_CANNOT_ADD_DATA;
}

// Writes thread records until about `target` bytes went out; answers the byte count, 0 on failure.
size_t writeReport(const char* path, size_t target) {
    char buffer[1024];
    MDBufferedWriter writer;
    if (!mdfu_openBufferedWriter(&writer, path, buffer, sizeof buffer)) return 0;
    CountingWriter sink{&writer, 0};
    MDJSONEncodeContext c;
    mdjson_beginEncode(&c, false, addToFile, &sink);
    int rc = mdjson_beginObject(&c, nullptr);
    rc |= mdjson_beginObject(&c, "report");
    rc |= mdjson_addStringElement(&c, "id", "5C0D2E1F-3A44-4B6C-9D8E-7F6A5B4C3D2E", -1);
    rc |= mdjson_addIntegerElement(&c, "timestamp", 1700000000);
    rc |= mdjson_addStringElement(&c, "type", "standard", -1);
    rc |= mdjson_addFloatingPointElement(&c, "version", 3.3);
    rc |= mdjson_endContainer(&c);
    rc |= mdjson_beginObject(&c, "crash");
    rc |= mdjson_beginArray(&c, "threads");
    unsigned char stack[256];
    for (size_t i = 0; i < sizeof stack; ++i) stack[i] = static_cast<unsigned char>(i * 37);
    // Frame texts are made beforehand so only the encoder and the writer are timed.
    char symbols[24][64];
    for (int frame = 0; frame < 24; ++frame) {
        snprintf(symbols[frame], sizeof symbols[frame], "_ZN7example6Worker3runEv+%d", frame * 13);
    }
    for (int64_t thread = 0; rc == MDJSON_OK && sink.bytes < target; ++thread) {
        rc |= mdjson_beginObject(&c, nullptr);
        rc |= mdjson_addIntegerElement(&c, "index", thread);
        rc |= mdjson_addBooleanElement(&c, "crashed", thread == 0);
        rc |= mdjson_addStringElement(&c, "name", "com.example.worker \"pool\"\t7", -1);
        rc |= mdjson_beginObject(&c, "registers");
        static const char* const kRegisters[] = {"rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp", "rsp",
                                                 "r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15"};
        for (int r = 0; r < 16; ++r) rc |= mdjson_addIntegerElement(&c, kRegisters[r], 0x7ffd12340000 + thread * r);
        rc |= mdjson_endContainer(&c);
        rc |= mdjson_beginArray(&c, "backtrace");
        for (int frame = 0; frame < 24; ++frame) {
            rc |= mdjson_beginObject(&c, nullptr);
            rc |= mdjson_addIntegerElement(&c, "instruction_addr", 0x55d4c0de0000 + frame * 0x40 + thread);
            rc |= mdjson_addIntegerElement(&c, "symbol_addr", 0x55d4c0de0000 + frame * 0x40);
            rc |= mdjson_addStringElement(&c, "symbol_name", symbols[frame], -1);
            rc |= mdjson_addStringElement(&c, "object_name", "/usr/lib/x86_64-linux-gnu/libexample.so.1", -1);
            rc |= mdjson_endContainer(&c);
        }
        rc |= mdjson_endContainer(&c);
        rc |= mdjson_addDataElement(&c, "stack_contents", reinterpret_cast<const char*>(stack), sizeof stack);
        rc |= mdjson_endContainer(&c);
    }
    rc |= mdjson_endEncode(&c);
    mdfu_closeBufferedWriter(&writer);
    return rc == MDJSON_OK ? sink.bytes : 0;
}

void benchCrashPathEncoder(int runs) {
    char dir[] = "/tmp/json_bench.XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return;
    }
    const std::string path = std::string(dir) + "/report.json";
    constexpr size_t kTarget = 50u * 1000 * 1000;
    size_t written = 0;
    const double seconds = bestSeconds(runs, [&] {
        unlink(path.c_str());
        written = writeReport(path.c_str(), kTarget);
    });
    // Check once that what was written is a complete document.
    bool valid = false;
    {
        std::string text;
        if (readFile(path, text)) valid = nlohmann::json::accept(text);
    }
    unlink(path.c_str());
    rmdir(dir);
    if (written == 0) {
        printf("crash-path encoder: writing failed\n");
        return;
    }
    printf("crash-path encoder  %zu bytes through a 1024-byte buffered writer: %8.1f MB/s (%s)  goal >= 300\n",
           written, mbps(written, seconds), valid ? "valid JSON" : "NOT VALID JSON");
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const std::string only = argc > 2 ? argv[2] : "";
    if (only == "crash") {
        benchCrashPathEncoder(runs);
        return 0;
    }
    const std::string benchDir = std::string(ZEL_CONFORMANCE_DIR) + "/json-bench";
    bool any = false;
    for (const char* name : {"canada.json", "citm_catalog.json", "twitter.json"}) {
        std::string text;
        if (!readFile(benchDir + "/" + name, text)) {
            printf("%-18s skipped: not found in %s\n", name, benchDir.c_str());
            continue;
        }
        any = true;
        benchDocument(name, text, runs);
    }
    if (!any) printf("no benchmark documents; the codec comparison was skipped\n");
    if (only != "documents") benchCrashPathEncoder(std::min(runs, 3));
    return 0;
}
