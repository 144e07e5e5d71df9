// Thread objects of a crash report. Crash-path code: no heap, no locks, no
// stdio; the machine-context record, the cursor and the stack window live on
// the stack, and every read of stack memory is a kernel-checked copy.
#include "Mayday/Recording/MaydayReportThreads.h"

#include <cstring>

#include "Mayday/Recording/MaydayCachedData.h"
#include "Mayday/Recording/MaydayReportMemory.h"
#include "Mayday/Recording/Tools/MDCFIUnwind.h"
#include "Mayday/Recording/Tools/MDCPU.h"
#include "Mayday/Recording/Tools/MDDynamicLinker.h"
#include "Mayday/Recording/Tools/MDMachineContext.h"
#include "Mayday/Recording/Tools/MDMemory.h"
#include "Mayday/Recording/Tools/MDNumberText.h"
#include "Mayday/Recording/Tools/MDStackCursor.h"
#include "Mayday/Recording/Tools/MDSymbolicator.h"

namespace {

constexpr int kMaxBacktraceDepth = 150;
// The stack window: 10 words beyond the stack pointer in the direction of
// growth and 20 behind it.
constexpr uintptr_t kWordsBeyond = 10;
constexpr uintptr_t kWordsBehind = 20;
constexpr uintptr_t kWordSize = sizeof(uintptr_t);
constexpr int kStackWindowSize = static_cast<int>((kWordsBeyond + kWordsBehind) * kWordSize);

// The window around `sp`; false when it would wrap around either end of
// the address space (a garbage stack pointer).
bool stackWindow(uintptr_t sp, uintptr_t* low, uintptr_t* high) {
    const bool growsDown = mdcpu_stackGrowDirection() < 0;
    const uintptr_t below = (growsDown ? kWordsBeyond : kWordsBehind) * kWordSize;
    const uintptr_t above = (growsDown ? kWordsBehind : kWordsBeyond) * kWordSize;
    if (sp < below || sp > UINTPTR_MAX - above) return false;
    *low = sp - below;
    *high = sp + above;
    return true;
}

// "r%d" for a register without a name.
const char* registerName(const char* name, int index, char* buffer) {
    if (name != nullptr) return name;
    buffer[0] = 'r';
    mdnum_formatInt64(buffer + 1, index);
    return buffer;
}

void writeRegisters(const MaydayReportWriter* writer, const MDMachineContext* context) {
    char nameBuffer[MDNUM_INTEGER_TEXT_SIZE + 2];
    writer->beginObject(writer, "registers");
    writer->beginObject(writer, "basic");
    for (int i = 0; i < mdcpu_registerCount(); i++)
        writer->addUIntegerElement(writer, registerName(mdcpu_registerName(i), i, nameBuffer),
                                   mdcpu_registerValue(context, i));
    writer->endContainer(writer);
    if (mdmc_hasValidExceptionRegisters(context)) {
        writer->beginObject(writer, "exception");
        for (int i = 0; i < mdcpu_exceptionRegisterCount(); i++)
            writer->addUIntegerElement(writer, registerName(mdcpu_exceptionRegisterName(i), i, nameBuffer),
                                       mdcpu_exceptionRegisterValue(context, i));
        writer->endContainer(writer);
    }
    writer->endContainer(writer);
}

void writeBacktrace(const MaydayReportWriter* writer, MDStackCursor* cursor) {
    writer->beginObject(writer, "backtrace");
    writer->beginArray(writer, "contents");
    while (cursor->advanceCursor(cursor)) {
        writer->beginObject(writer, nullptr);
        if (cursor->symbolicate(cursor)) {
            if (cursor->stackEntry.imageName != nullptr)
                writer->addStringElement(writer, "object_name", mdfu_lastPathEntry(cursor->stackEntry.imageName));
            writer->addUIntegerElement(writer, "object_addr", cursor->stackEntry.imageAddress);
            if (cursor->stackEntry.symbolName != nullptr)
                writer->addStringElement(writer, "symbol_name", cursor->stackEntry.symbolName);
            writer->addUIntegerElement(writer, "symbol_addr", cursor->stackEntry.symbolAddress);
        }
        writer->addUIntegerElement(writer, "instruction_addr", cursor->stackEntry.address);
        writer->endContainer(writer);
    }
    writer->endContainer(writer);
    writer->addIntegerElement(writer, "skipped", 0);
    writer->endContainer(writer);
}

void writeStack(const MaydayReportWriter* writer, uintptr_t sp, bool hasGivenUp) {
    writer->beginObject(writer, "stack");
    writer->addStringElement(writer, "grow_direction", mdcpu_stackGrowDirection() > 0 ? "+" : "-");
    uintptr_t low = 0;
    uintptr_t high = 0;
    const bool fits = stackWindow(sp, &low, &high);
    if (fits) {
        writer->addUIntegerElement(writer, "dump_start", low);
        writer->addUIntegerElement(writer, "dump_end", high);
    }
    writer->addUIntegerElement(writer, "stack_pointer", sp);
    writer->addBooleanElement(writer, "overflow", hasGivenUp);
    char contents[kStackWindowSize];
    if (fits && mdmem_copySafely(reinterpret_cast<const void*>(low), contents, kStackWindowSize)) {
        writer->addDataElement(writer, "contents", contents, kStackWindowSize);
    } else {
        writer->addStringElement(writer, "error", "Stack contents not accessible");
    }
    writer->endContainer(writer);
}

void writeNotableAddresses(const MaydayReportWriter* writer, const MDMachineContext* context, uintptr_t sp) {
    char nameBuffer[MDNUM_INTEGER_TEXT_SIZE + 8];
    writer->beginObject(writer, "notable_addresses");
    for (int i = 0; i < mdcpu_registerCount(); i++)
        maydayreport_writeNotableValue(writer, registerName(mdcpu_registerName(i), i, nameBuffer),
                                       mdcpu_registerValue(context, i));
    uintptr_t low = 0;
    uintptr_t high = 0;
    if (sp != 0 && stackWindow(sp, &low, &high)) {
        memcpy(nameBuffer, "stack@", 6);
        // One copy of the whole window; word by word only when part of it
        // cannot be read (the unreadable words are left out).
        uintptr_t window[kWordsBeyond + kWordsBehind] = {};
        const bool whole = mdmem_copySafely(reinterpret_cast<const void*>(low), window, sizeof(window));
        for (uintptr_t address = low, i = 0; address < high; address += kWordSize, i++) {
            uintptr_t word = window[i];
            if (!whole && !mdmem_copySafely(reinterpret_cast<const void*>(address), &word, sizeof(word))) continue;
            mdnum_formatPointer(nameBuffer + 6, address);
            maydayreport_writeNotableValue(writer, nameBuffer, word);
        }
    }
    writer->endContainer(writer);
}

}  // namespace

void maydayreport_writeThread(const MaydayReportWriter* writer, const char* name,
                              const Mayday_MonitorContext* monitorContext, const MDMachineContext* machineContext,
                              int threadIndex, bool shouldWriteNotableAddresses) {
    const bool isCrashed = mdmc_isCrashedContext(machineContext);
    const MDThread thread = mdmc_contextThread(machineContext);
    const MDMachineContext* offending = monitorContext->offendingMachineContext;

    // The catching monitor prepared the offending thread's walk; every other
    // thread is walked from its registers.
    MDStackCursor cursor;
    if (offending != nullptr && thread == mdmc_contextThread(offending) && monitorContext->stackCursor != nullptr) {
        memcpy(&cursor, monitorContext->stackCursor, sizeof(cursor));
        cursor.resetCursor(&cursor);
    } else {
        mdsc_initWithMachineContext(&cursor, kMaxBacktraceDepth, machineContext);
    }

    writer->beginObject(writer, name);
    writeBacktrace(writer, &cursor);
    if (mdmc_canHaveCPUState(machineContext)) writeRegisters(writer, machineContext);
    writer->addIntegerElement(writer, "index", threadIndex);
    const char* threadName = mdccd_threadNameFor(thread);
    if (threadName != nullptr) writer->addStringElement(writer, "name", threadName);
    const char* queueName = mdccd_queueNameFor(thread);
    if (queueName != nullptr) writer->addStringElement(writer, "dispatch_queue", queueName);
    writer->addBooleanElement(writer, "crashed", isCrashed);
    writer->addBooleanElement(writer, "current_thread", thread == mdthread_self());
    if (isCrashed) {
        const uintptr_t sp = mdcpu_stackPointer(machineContext);
        if (sp != 0) writeStack(writer, sp, cursor.hasGivenUp);
        if (shouldWriteNotableAddresses) writeNotableAddresses(writer, machineContext, sp);
    }
    writer->endContainer(writer);
}

namespace {

// The stacks of the crashed and the parked threads are read for all of them
// at once before any is walked.
bool prefetchStacks(const MDMachineContext* offending) {
    uintptr_t stackPointers[MDMC_MAX_THREADS];
    int count = 0;
    const MDThread offendingThread = mdmc_contextThread(offending);
    for (int i = 0; i < mdmc_contextThreadCount(offending); i++) {
        const MDThread thread = mdmc_contextThreadAt(offending, i);
        MDExceptionState exceptionState;
        MDThreadState threadState;
        if (thread == offendingThread)
            stackPointers[count++] = mdcpu_stackPointer(offending);
        else if (thread != mdthread_self() && mdmc_copyParkedState(thread, &exceptionState, &threadState))
            stackPointers[count++] = threadState.rsp;
    }
    return mdcfi_beginPrefetch(stackPointers, count);
}

}  // namespace

void maydayreport_writeAllThreads(const MaydayReportWriter* writer, const char* name,
                                  const Mayday_MonitorContext* monitorContext, bool shouldWriteNotableAddresses) {
    const MDMachineContext* offending = monitorContext->offendingMachineContext;
    writer->beginArray(writer, name);
    // The threads share most of their return addresses: each is looked up once.
    const bool caching = mdsymbolicator_beginCaching();
    bool prefetching = false;
    if (offending != nullptr) {
        prefetching = prefetchStacks(offending);
        MDMC_NEW_CONTEXT(machineContext);
        const MDThread offendingThread = mdmc_contextThread(offending);
        for (int i = 0; i < mdmc_contextThreadCount(offending); i++) {
            const MDThread thread = mdmc_contextThreadAt(offending, i);
            if (thread == offendingThread) {
                maydayreport_writeThread(writer, nullptr, monitorContext, offending, i, shouldWriteNotableAddresses);
            } else if (thread == mdthread_self()) {
                // The thread writing this report (a handler thread) as it stands now.
                mdmc_fillContextForCurrentThread(machineContext);
                maydayreport_writeThread(writer, nullptr, monitorContext, machineContext, i,
                                         shouldWriteNotableAddresses);
            } else {
                mdmc_fillContextForThread(thread, machineContext, false);
                maydayreport_writeThread(writer, nullptr, monitorContext, machineContext, i,
                                         shouldWriteNotableAddresses);
            }
        }
    }
    if (prefetching) mdcfi_endPrefetch();
    if (caching) mdsymbolicator_endCaching();
    writer->endContainer(writer);
}
