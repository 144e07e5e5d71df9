// The call-frame unwinder: finding FDEs, stepping through code without frame
// pointers, the PLT's expression, the signal trampoline, the frame-pointer
// fallback, and a comparison with the C++ runtime's _Unwind_Backtrace over
// random call chains.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <pthread.h>
#include <random>
#include <string>
#include <sys/ucontext.h>
#include <thread>
#include <unistd.h>
#include <unwind.h>
#include <vector>

#include "CrashChild.h"

#include "Mayday/Recording/Tools/MDCFIUnwind.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDMemory.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDThread.h"

// Links built without frame pointers (cfi_no_frame_pointer.cpp).
extern "C" {
void nfp_plain(const int* plan, int index);
void nfp_pushes(const int* plan, int index);
void nfp_alloca(const int* plan, int index);
void nfp_realigned(const int* plan, int index);
void nfp_qsort(const int* plan, int index);
void nfp_bsearch(const int* plan, int index);
void nfp_callsCrashingLeaf(int value);
void cfi_dispatch(const int* plan, int index);
}

namespace {

// ---- the comparison over random call chains ----

struct Capture {
    std::vector<uintptr_t> cfi;        // the own-thread walk (in-place reads)
    std::vector<uintptr_t> reference;
    std::vector<uintptr_t> checked;    // a machine-context walk (checked copies, shared caches)
};
Capture* g_capture;

_Unwind_Reason_Code collectReference(struct _Unwind_Context* context, void* out) {
    int beforeInstruction = 0;
    const uintptr_t ip = _Unwind_GetIPInfo(context, &beforeInstruction);
    if (ip == 0) return _URC_END_OF_STACK;
    static_cast<std::vector<uintptr_t>*>(out)->push_back(ip);
    return _URC_NO_REASON;
}

// Both walks from here: the first entry of each is the return into this
// function from its own walker, so both are dropped.
__attribute__((noinline)) void captureBoth() {
    MDStackCursor cursor;
    mdsc_initSelfThread(&cursor, 0);
    while (cursor.advanceCursor(&cursor)) g_capture->cfi.push_back(cursor.stackEntry.address);
    __asm__ volatile("" ::: "memory");
    _Unwind_Backtrace(collectReference, &g_capture->reference);
    __asm__ volatile("" ::: "memory");
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForCurrentThread(context);
    MDStackCursor checked;
    mdsc_initWithMachineContext(&checked, 200, context);
    while (checked.advanceCursor(&checked)) g_capture->checked.push_back(checked.stackEntry.address);
    __asm__ volatile("" ::: "memory");
    if (!g_capture->cfi.empty()) g_capture->cfi.erase(g_capture->cfi.begin());
    if (!g_capture->reference.empty()) g_capture->reference.erase(g_capture->reference.begin());
}

// Links with frame pointers (this file is built with them).
__attribute__((noinline)) void fp_plain(const int* plan, int index) {
    cfi_dispatch(plan, index + 1);
    __asm__ volatile("" ::: "memory");
}
__attribute__((noinline)) void fp_alloca(const int* plan, int index) {
    volatile char buffer[32 + (index & 3) * 40];
    buffer[0] = 1;
    cfi_dispatch(plan, index + 1);
    buffer[1] = buffer[0];
}
__attribute__((noinline)) void fp_pushes(const int* plan, int index) {
    volatile uint64_t seed = (uint64_t)index;
    uint64_t a = seed + 1, b = seed + 2, c = seed + 3, d = seed + 4, e = seed + 5;
    cfi_dispatch(plan, index + 1);
    __asm__ volatile("" : "+r"(a), "+r"(b), "+r"(c), "+r"(d), "+r"(e));
    seed = a ^ b ^ c ^ d ^ e;
}

using Link = void (*)(const int*, int);
const Link kLinks[] = {nfp_plain, nfp_pushes, nfp_alloca, nfp_realigned, nfp_qsort,
                       nfp_bsearch, fp_plain,  fp_alloca,  fp_pushes};
constexpr int kLinkCount = sizeof kLinks / sizeof kLinks[0];

}  // namespace

extern "C" void cfi_dispatch(const int* plan, int index) {
    if (plan[index] < 0) {
        captureBoth();
    } else {
        kLinks[plan[index]](plan, index);
    }
    __asm__ volatile("" ::: "memory");
}

namespace {

class CFIUnwindTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { mddl_initialize(); }
};

// Own-thread and machine-context walks of random chains (built with and
// without frame pointers, through libc's qsort and bsearch) against the
// runtime's unwinder; the repeated walks run on warm shared caches.
TEST_F(CFIUnwindTest, RandomCallChainsGiveTheSameFramesAsTheRuntimeUnwinder) {
    std::mt19937 random(20261208);
    int compared = 0;
    for (int chain = 0; chain < 300; chain++) {
        const int depth = 1 + (int)(random() % 12);
        std::vector<int> plan;
        for (int i = 0; i < depth; i++) plan.push_back((int)(random() % kLinkCount));
        plan.push_back(-1);
        Capture capture;
        g_capture = &capture;
        cfi_dispatch(plan.data(), 0);
        g_capture = nullptr;
        std::string planText;
        for (int link : plan) planText += std::to_string(link) + " ";
        ASSERT_GE(capture.reference.size(), (size_t)depth) << planText;
        ASSERT_EQ(capture.cfi, capture.reference) << "plan " << planText;
        // The checked walk starts elsewhere in this frame; below it, the same.
        ASSERT_GE(capture.checked.size(), capture.reference.size()) << planText;
        const std::vector<uintptr_t> tail(capture.checked.end() - (long)capture.reference.size(),
                                          capture.checked.end());
        ASSERT_EQ(tail, capture.reference) << "checked walk, plan " << planText;
        compared++;
    }
    EXPECT_EQ(compared, 300);
}

TEST_F(CFIUnwindTest, WalksWithAndWithoutTheStackWindowAgree) {
    // Interleaved walks of the same stack refill the window in turn; each
    // still sees its own frames.
    MDCFIFrame start;
    MDStackCursor cursor;
    mdsc_initSelfThread(&cursor, 0);
    std::vector<uintptr_t> own;
    while (cursor.advanceCursor(&cursor)) own.push_back(cursor.stackEntry.address);
    ASSERT_GE(own.size(), 3u);

    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForCurrentThread(context);
    mdcfi_frameFromMachineContext(context, &start);
    MDCFIWalker windowed, direct, other;
    mdcfi_initWalker(&windowed, true);
    mdcfi_initWalker(&direct, false);
    mdcfi_initWalker(&other, true);
    MDCFIFrame a = start, b = start, c = start;
    // `other` begins one frame up, so its window starts elsewhere.
    ASSERT_TRUE(mdcfi_unwind(&other, &c));
    int steps = 0;
    for (; steps < 200; steps++) {
        const bool stepA = mdcfi_unwind(&windowed, &a);
        const bool stepC = mdcfi_unwind(&other, &c);
        const bool stepB = mdcfi_unwind(&direct, &b);
        ASSERT_EQ(stepA, stepB) << steps;
        if (!stepA) break;
        ASSERT_EQ(a.registers[MDCFI_RIP], b.registers[MDCFI_RIP]) << steps;
        ASSERT_EQ(a.registers[MDCFI_RSP], b.registers[MDCFI_RSP]) << steps;
        if (!stepC) c = a;  // the shorter walk just goes on with the other's frame
    }
    EXPECT_GE(steps, 3);
}

// Frames spread over more than the window's first fill: it grows to keep
// up, and the walk gives the frames a direct walk gives.
struct DeepWalk {
    std::vector<uintptr_t> windowed, direct;
};

__attribute__((noinline)) void walkFromHere(DeepWalk* out) {
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForCurrentThread(context);
    MDCFIFrame start;
    mdcfi_frameFromMachineContext(context, &start);
    for (bool useWindow : {true, false}) {
        MDCFIWalker walker;
        mdcfi_initWalker(&walker, useWindow);
        MDCFIFrame frame = start;
        std::vector<uintptr_t>& into = useWindow ? out->windowed : out->direct;
        for (int steps = 0; steps < 400 && mdcfi_unwind(&walker, &frame); steps++)
            into.push_back(frame.registers[MDCFI_RIP]);
    }
}

__attribute__((noinline)) void recurseWithBigFrames(int depth, DeepWalk* out) {
    volatile char frame[1500];
    frame[0] = (char)depth;
    if (depth == 0) {
        walkFromHere(out);
    } else {
        recurseWithBigFrames(depth - 1, out);
    }
    frame[1] = frame[0];
}

TEST_F(CFIUnwindTest, AStackFarDeeperThanTheFirstWindowFillWalksToItsEnd) {
    DeepWalk walk;
    recurseWithBigFrames(60, &walk);  // about 90 KiB of frames
    EXPECT_GE(walk.windowed.size(), 61u);
    EXPECT_EQ(walk.windowed, walk.direct);
}

TEST_F(CFIUnwindTest, AnImageUnloadedAfterItsLookupsAreSharedIsFoundNoMoreAndAgainWhenReloaded) {
    // The walks' shared caches hold this image's record, table and FDE bytes
    // after the first lookups; after dlclose they must neither fault nor
    // answer, and a reload (anywhere) is found afresh.
    void* library = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) GTEST_SKIP() << "no libz to load";
    const uintptr_t function = (uintptr_t)dlsym(library, "zlibVersion");
    ASSERT_NE(function, 0u);
    uintptr_t first = 0, again = 0;
    ASSERT_TRUE(mdcfi_testing_findFDE(function, &first));
    ASSERT_TRUE(mdcfi_testing_findFDE(function, &again));
    EXPECT_EQ(first, again);
    ASSERT_EQ(dlclose(library), 0);
    if (mdmem_isMemoryReadable((const void*)function, 1)) GTEST_SKIP() << "libz stayed mapped";
    uintptr_t gone = 0;
    EXPECT_FALSE(mdcfi_testing_findFDE(function, &gone));

    library = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr);
    const uintptr_t reloaded = (uintptr_t)dlsym(library, "zlibVersion");
    uintptr_t found = 0;
    ASSERT_TRUE(mdcfi_testing_findFDE(reloaded, &found));
    EXPECT_EQ(found - reloaded, first - function);  // the same FDE of the same image
    dlclose(library);
}

TEST_F(CFIUnwindTest, AFramePointerStepEndsTheOwnThreadWalksInPlaceReads) {
    // A frame record on this stack, followed as a guess: what it leads to
    // is no longer known to be live, so the walk goes back to checked copies.
    alignas(16) uint64_t records[4] = {0, 0x1234, 0, 0};
    records[0] = (uint64_t)(uintptr_t)&records[2];
    MDCFIWalker walker;
    mdcfi_initOwnThreadWalker(&walker);
    ASSERT_TRUE(walker.readsInPlace);
    MDCFIFrame frame{};
    frame.registers[MDCFI_RBP] = (uint64_t)(uintptr_t)records;
    frame.validRegisters = 1u << MDCFI_RBP;
    ASSERT_TRUE(mdcfi_stepFramePointer(&walker, &frame));
    EXPECT_EQ(frame.registers[MDCFI_RIP], 0x1234u);
    EXPECT_FALSE(walker.readsInPlace);
    // The next step, from an address in no image, finds no information.
    frame.isInstructionAddress = true;
    EXPECT_EQ(mdcfi_step(&walker, &frame), MDCFI_NO_INFO);
}

TEST_F(CFIUnwindTest, AMachineContextsRegistersLandInTheirDWARFColumns) {
    MDMachineContext context;
    memset(&context, 0, sizeof context);
    MDThreadState& s = context.machineState.threadState;
    s.rax = 0x10, s.rdx = 0x11, s.rcx = 0x12, s.rbx = 0x13, s.rsi = 0x14, s.rdi = 0x15, s.rbp = 0x16;
    s.r8 = 0x18, s.r11 = 0x1b, s.r12 = 0x1c, s.r15 = 0x1f, s.rip = 0x20;
    MDCFIFrame frame;
    mdcfi_frameFromMachineContext(&context, &frame);
    const uint64_t expected[] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0, 0x18, 0, 0, 0x1b, 0x1c, 0, 0, 0x1f, 0x20};
    for (int reg = 0; reg < MDCFI_REGISTER_COUNT; reg++) EXPECT_EQ(frame.registers[reg], expected[reg]) << reg;
    // A stack pointer of 0 is unknown; other registers of 0 are values.
    EXPECT_EQ(frame.validRegisters, ((1u << MDCFI_REGISTER_COUNT) - 1) & ~(1u << MDCFI_RSP));
    EXPECT_TRUE(frame.isInstructionAddress);
}

__attribute__((noinline)) std::vector<uintptr_t> ownStack() {
    MDStackCursor cursor;
    mdsc_initSelfThread(&cursor, 0);
    std::vector<uintptr_t> addresses;
    while (cursor.advanceCursor(&cursor)) addresses.push_back(cursor.stackEntry.address);
    return addresses;
}
__attribute__((noinline)) void walkOwnStackRepeatedly(std::atomic<int>* mismatches) {
    // The compiler may peel the loop's first round into a call site of its
    // own, so the return address into this function is compared by the
    // function it lies in; every other frame must be the same every time.
    auto functionOf = [](uintptr_t address) {
        Dl_info info{};
        return mddl_dladdr(address - 1, &info) && info.dli_saddr != nullptr ? (uintptr_t)info.dli_saddr : address;
    };
    std::vector<uintptr_t> first;
    for (int i = 0; i < 300; i++) {
        std::vector<uintptr_t> walk = ownStack();
        if (walk.size() > 1) walk[1] = functionOf(walk[1]);
        if (i == 0) first = walk;
        if (walk != first) mismatches->fetch_add(1);
    }
    if (first.size() < 3 || first[1] != functionOf((uintptr_t)&walkOwnStackRepeatedly + 1)) mismatches->fetch_add(1000);
    __asm__ volatile("" ::: "memory");
}

TEST_F(CFIUnwindTest, ThreadsWalkingAtOnceEachSeeTheirOwnStack) {
    // Whoever finds the window taken reads word by word; either way each
    // thread gets its own frames every time.
    std::atomic<int> mismatches{0};
    std::thread first(walkOwnStackRepeatedly, &mismatches);
    std::thread second(walkOwnStackRepeatedly, &mismatches);
    walkOwnStackRepeatedly(&mismatches);
    first.join();
    second.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// ---- FDE lookup ----

TEST_F(CFIUnwindTest, FindsFDEsInTheProgramAndInLibcButNotOutsideImages) {
    uintptr_t fde = 0;
    EXPECT_TRUE(mdcfi_testing_findFDE((uintptr_t)&fp_plain, &fde));
    EXPECT_NE(fde, 0u);
    EXPECT_TRUE(mdcfi_testing_findFDE((uintptr_t)&nfp_pushes + 4, &fde));
    EXPECT_TRUE(mdcfi_testing_findFDE((uintptr_t)&qsort, &fde));
    std::vector<char> heap(64);
    EXPECT_FALSE(mdcfi_testing_findFDE((uintptr_t)heap.data(), &fde));
    EXPECT_FALSE(mdcfi_testing_findFDE(0x1000, &fde));

    MDImageFrameInfo info;
    ASSERT_TRUE(mddl_frameInfoForAddress((uintptr_t)&qsort, &info));
    EXPECT_LE(info.start, (uintptr_t)&qsort);
    EXPECT_GT(info.end, (uintptr_t)&qsort);
    EXPECT_NE(info.ehFrameHeader, 0u);
    EXPECT_GT(info.ehFrameHeaderSize, 8u);
    EXPECT_FALSE(mddl_frameInfoForAddress((uintptr_t)heap.data(), &info));
}

// ---- the PLT ----

// The start and size of this program's .plt, from its section headers.
bool programPLT(uintptr_t* start, size_t* size) {
    std::ifstream file("/proc/self/exe", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() < sizeof(Elf64_Ehdr)) return false;
    const Elf64_Ehdr* header = (const Elf64_Ehdr*)bytes.data();
    const Elf64_Shdr* sections = (const Elf64_Shdr*)(bytes.data() + header->e_shoff);
    const char* names = bytes.data() + sections[header->e_shstrndx].sh_offset;
    MDImageFrameInfo info;
    if (!mddl_frameInfoForAddress((uintptr_t)&fp_plain, &info)) return false;
    for (int i = 0; i < header->e_shnum; i++) {
        if (strcmp(names + sections[i].sh_name, ".plt") == 0) {
            *start = info.bias + sections[i].sh_addr;
            *size = sections[i].sh_size;
            return true;
        }
    }
    return false;
}

TEST_F(CFIUnwindTest, ThePLTExpressionFindsTheReturnAddressBeforeAndAfterThePush) {
    uintptr_t plt = 0;
    size_t size = 0;
    if (!programPLT(&plt, &size) || size < 48) GTEST_SKIP() << "no lazy PLT in this build";
    // A PLT entry (16 bytes after the first) pushes its index at offset 6 and
    // jumps at 11: before offset 11 the return address is at rsp, after it at
    // rsp + 8.
    alignas(16) uint64_t stack[4] = {0x1111, 0x2222, 0, 0};
    const struct {
        int offset;
        uint64_t expected;
    } cases[] = {{0, 0x1111}, {6, 0x1111}, {10, 0x1111}, {11, 0x2222}, {15, 0x2222}};
    for (const auto& c : cases) {
        MDCFIFrame frame{};
        frame.registers[MDCFI_RIP] = plt + 32 + (uintptr_t)c.offset;
        frame.registers[MDCFI_RSP] = (uintptr_t)&stack[0];
        frame.validRegisters = (1u << MDCFI_RIP) | (1u << MDCFI_RSP);
        frame.isInstructionAddress = true;
        MDCFIWalker walker;
        mdcfi_initWalker(&walker, false);
        ASSERT_EQ(mdcfi_step(&walker, &frame), MDCFI_STEPPED) << c.offset;
        EXPECT_EQ(frame.registers[MDCFI_RIP], c.expected) << c.offset;
        EXPECT_EQ(frame.registers[MDCFI_RSP], (uintptr_t)&stack[0] + (c.expected == 0x1111 ? 8 : 16)) << c.offset;
    }
}

// ---- the signal trampoline ----

TEST_F(CFIUnwindTest, TheSigreturnBytesWithoutAnFDEStepIntoTheInterruptedRegisters) {
    // The trampoline's code copied to memory no image holds, so no FDE
    // covers it, and a ucontext_t on a made-up stack.
    static const uint8_t code[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};
    std::vector<uint8_t> text(code, code + sizeof code);
    ucontext_t uc;
    memset(&uc, 0, sizeof uc);
    uc.uc_mcontext.gregs[REG_RIP] = 0x7777;
    uc.uc_mcontext.gregs[REG_RSP] = 0x12340;
    uc.uc_mcontext.gregs[REG_RBP] = 0x12350;
    uc.uc_mcontext.gregs[REG_RBX] = 0xb;
    uc.uc_mcontext.gregs[REG_R12] = 0xc;
    uc.uc_mcontext.gregs[REG_RAX] = 0xa;
    MDCFIFrame frame{};
    frame.registers[MDCFI_RIP] = (uintptr_t)text.data();
    frame.registers[MDCFI_RSP] = (uintptr_t)&uc;
    frame.validRegisters = (1u << MDCFI_RIP) | (1u << MDCFI_RSP);
    frame.isInstructionAddress = false;
    MDCFIWalker walker;
    mdcfi_initWalker(&walker, true);
    ASSERT_EQ(mdcfi_step(&walker, &frame), MDCFI_STEPPED);
    EXPECT_EQ(frame.registers[MDCFI_RIP], 0x7777u);
    EXPECT_EQ(frame.registers[MDCFI_RSP], 0x12340u);
    EXPECT_EQ(frame.registers[MDCFI_RBP], 0x12350u);
    EXPECT_EQ(frame.registers[MDCFI_RBX], 0xbu);
    EXPECT_EQ(frame.registers[MDCFI_R12], 0xcu);
    EXPECT_EQ(frame.registers[MDCFI_RAX], 0xau);
    EXPECT_TRUE(frame.isInstructionAddress);

    // Other bytes there are no trampoline: no information at all.
    text[8] = 0x90;
    frame.registers[MDCFI_RIP] = (uintptr_t)text.data();
    frame.registers[MDCFI_RSP] = (uintptr_t)&uc;
    frame.validRegisters = (1u << MDCFI_RIP) | (1u << MDCFI_RSP);
    EXPECT_EQ(mdcfi_step(&walker, &frame), MDCFI_NO_INFO);
}

std::vector<uintptr_t>* g_handlerCFI;
std::vector<uintptr_t>* g_handlerReference;
void walkInHandler(int) {
    MDStackCursor cursor;
    mdsc_initSelfThread(&cursor, 0);
    while (cursor.advanceCursor(&cursor)) g_handlerCFI->push_back(cursor.stackEntry.address);
    _Unwind_Backtrace(collectReference, g_handlerReference);
}
__attribute__((noinline)) void raiseFromHere() {
    raise(SIGUSR1);
    __asm__ volatile("" ::: "memory");
}

TEST_F(CFIUnwindTest, AHandlersWalkGoesThroughTheTrampolineIntoTheInterruptedCode) {
    std::vector<uintptr_t> cfi, reference;
    g_handlerCFI = &cfi;
    g_handlerReference = &reference;
    struct sigaction action {}, previous{};
    action.sa_handler = walkInHandler;
    sigaction(SIGUSR1, &action, &previous);
    raiseFromHere();
    sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_GE(cfi.size(), 4u);
    ASSERT_GE(reference.size(), 4u);
    // Both begin inside the handler, each after its own walker's call.
    cfi.erase(cfi.begin());
    reference.erase(reference.begin());
    // The runtime reports the interrupted instruction of a signal frame
    // itself too, so the two agree entry for entry.
    EXPECT_EQ(cfi, reference);
    // raiseFromHere is among the callers beyond the trampoline.
    bool found = false;
    for (uintptr_t address : cfi) {
        Dl_info info;
        if (mddl_dladdr(address - 1, &info) && info.dli_sname != nullptr &&
            strstr(info.dli_sname, "raiseFromHere") != nullptr)
            found = true;
    }
    EXPECT_TRUE(found);
}

// ---- frame-pointer fallback and the end of the stack ----

TEST_F(CFIUnwindTest, AddressesWithoutCallFrameInformationTakeOneFramePointerStep) {
    alignas(16) uint64_t words[8] = {};
    words[2] = (uintptr_t)&words[4];  // a record at words[2]
    words[3] = (uintptr_t)&fp_plain + 8;
    words[4] = 0;
    words[5] = 0x3333;
    MDCFIFrame frame{};
    frame.registers[MDCFI_RIP] = 0x4000;  // in no image
    frame.registers[MDCFI_RSP] = (uintptr_t)&words[0];
    frame.registers[MDCFI_RBP] = (uintptr_t)&words[2];
    frame.validRegisters = (1u << MDCFI_RIP) | (1u << MDCFI_RSP) | (1u << MDCFI_RBP);
    frame.isInstructionAddress = true;
    MDCFIWalker walker;
    mdcfi_initWalker(&walker, true);
    EXPECT_EQ(mdcfi_step(&walker, &frame), MDCFI_NO_INFO);
    ASSERT_TRUE(mdcfi_unwind(&walker, &frame));
    EXPECT_EQ(frame.registers[MDCFI_RIP], (uintptr_t)&fp_plain + 8);
    EXPECT_EQ(frame.registers[MDCFI_RSP], (uintptr_t)&words[4]);
    EXPECT_EQ(frame.registers[MDCFI_RBP], (uintptr_t)&words[4]);
    EXPECT_FALSE(frame.isInstructionAddress);
    // The unknown registers are not carried over.
    EXPECT_EQ(frame.validRegisters & (1u << MDCFI_RBX), 0u);
}

std::atomic<MDThread> g_reader{0};
int g_readerPipe[2];

extern "C" __attribute__((noinline)) void cfi_blockedReader() {
    g_reader.store(mdthread_self());
    char byte;
    ssize_t got = read(g_readerPipe[0], &byte, 1);
    __asm__ volatile("" : : "r"(got) : "memory");
}
extern "C" __attribute__((noinline)) void* cfi_readerStart(void*) {
    cfi_blockedReader();
    __asm__ volatile("" ::: "memory");
    return nullptr;
}

TEST_F(CFIUnwindTest, AThreadSuspendedInsideReadShowsItsCallersDownToItsStartRoutine) {
    ASSERT_EQ(pipe(g_readerPipe), 0);
    g_reader = 0;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, cfi_readerStart, nullptr), 0);
    while (g_reader.load() == 0) std::this_thread::yield();
    usleep(20000);  // into the system call

    const char* names[32] = {};
    int depth = 0;
    bool ended = false;
    mdmc_suspendEnvironment();
    {
        MDMC_NEW_CONTEXT(context);
        mdmc_fillContextForThread(g_reader.load(), context, false);
        MDStackCursor cursor;
        mdsc_initWithMachineContext(&cursor, 32, context);
        while (depth < 32 && cursor.advanceCursor(&cursor)) {
            names[depth++] = cursor.symbolicate(&cursor) ? cursor.stackEntry.symbolName : nullptr;
        }
        ended = !cursor.hasGivenUp;
    }
    mdmc_resumeEnvironment();
    // Later tests install the parking handler themselves.
    mdmc_uninstallSuspendHandler();
    char byte = 0;
    ASSERT_EQ(write(g_readerPipe[1], &byte, 1), 1);
    pthread_join(thread, nullptr);
    close(g_readerPipe[0]);
    close(g_readerPipe[1]);

    std::vector<std::string> found;
    for (int i = 0; i < depth; i++) found.push_back(names[i] != nullptr ? names[i] : "?");
    std::string all;
    for (const auto& name : found) all += name + " ";
    ASSERT_GE(found.size(), 3u) << all;
    // read (libc, no frame pointers) <- cfi_blockedReader <- cfi_readerStart <- the thread's start in libc.
    int reader = -1;
    for (int i = 0; i < depth; i++) if (found[i] == "cfi_blockedReader") reader = i;
    ASSERT_GE(reader, 1) << all;
    ASSERT_LT(reader + 1, depth) << all;
    EXPECT_EQ(found[reader + 1], "cfi_readerStart") << all;
    EXPECT_TRUE(ended) << all;
    EXPECT_LE(depth, reader + 5) << all;  // start_thread, clone3 and the end
}

// ---- a leaf without frame pointers, in a crashed child ----

void leafCrashHandler(int, siginfo_t*, void* userContext) {
    MDMC_NEW_CONTEXT(context);
    mdmc_fillContextForSignal(userContext, context);
    MDStackCursor cursor;
    mdsc_initWithMachineContext(&cursor, 100, context);
    for (int i = 0; i < 3 && cursor.advanceCursor(&cursor); i++) {
        const bool found = cursor.symbolicate(&cursor) && cursor.stackEntry.symbolName != nullptr;
        zeltest::put(found ? cursor.stackEntry.symbolName : "?");
        zeltest::put(" ");
    }
    _exit(0);
}

TEST_F(CFIUnwindTest, ACrashInALeafWithoutFramePointersShowsItsCaller) {
    const zeltest::ChildEnd end = zeltest::runInChild([] {
        static char alternateStack[64 * 1024];
        stack_t stackInfo{};
        stackInfo.ss_sp = alternateStack;
        stackInfo.ss_size = sizeof alternateStack;
        sigaltstack(&stackInfo, nullptr);
        struct sigaction action {};
        action.sa_sigaction = leafCrashHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigaction(SIGSEGV, &action, nullptr);
        nfp_callsCrashingLeaf(1);
        _exit(3);
    });
    ASSERT_TRUE(end.exited) << "signal " << end.signal;
    EXPECT_EQ(end.exitStatus, 0);
    EXPECT_EQ(end.output.rfind("nfp_crashingLeaf nfp_callsCrashingLeaf ", 0), 0u) << end.output;
}

}  // namespace
