// Fatal signal vocabulary with the host's numbers and codes.
// Crash-path safe: constant tables only.
#include "Mayday/Recording/Tools/MDSignalInfo.h"

#include <csignal>

namespace {

struct CodeName {
    int code;
    const char* name;
};

struct SignalEntry {
    int signal;
    const char* name;
    const CodeName* codes;
    int codeCount;
};

const CodeName kBusCodes[] = {
    {0, "BUS_NOOP"},
    {BUS_ADRALN, "BUS_ADRALN"},
    {BUS_ADRERR, "BUS_ADRERR"},
    {BUS_OBJERR, "BUS_OBJERR"},
};

const CodeName kFpeCodes[] = {
    {0, "FPE_NOOP"},
    {FPE_FLTDIV, "FPE_FLTDIV"},
    {FPE_FLTOVF, "FPE_FLTOVF"},
    {FPE_FLTUND, "FPE_FLTUND"},
    {FPE_FLTRES, "FPE_FLTRES"},
    {FPE_FLTINV, "FPE_FLTINV"},
    {FPE_FLTSUB, "FPE_FLTSUB"},
    {FPE_INTDIV, "FPE_INTDIV"},
    {FPE_INTOVF, "FPE_INTOVF"},
};

const CodeName kIllCodes[] = {
    {0, "ILL_NOOP"},
    {ILL_ILLOPC, "ILL_ILLOPC"},
    {ILL_ILLTRP, "ILL_ILLTRP"},
    {ILL_PRVOPC, "ILL_PRVOPC"},
    {ILL_ILLOPN, "ILL_ILLOPN"},
    {ILL_ILLADR, "ILL_ILLADR"},
    {ILL_PRVREG, "ILL_PRVREG"},
    {ILL_COPROC, "ILL_COPROC"},
    {ILL_BADSTK, "ILL_BADSTK"},
};

const CodeName kSegvCodes[] = {
    {0, "SEGV_NOOP"},
    {SEGV_MAPERR, "SEGV_MAPERR"},
    {SEGV_ACCERR, "SEGV_ACCERR"},
};

const CodeName kTrapCodes[] = {
    {0, "0"},
    {TRAP_BRKPT, "TRAP_BRKPT"},
    {TRAP_TRACE, "TRAP_TRACE"},
};

// Codes any signal can carry: who sent it rather than what fault it was.
// Linux's are negative for the user-space senders (SI_TKILL is -6).
const CodeName kSenderCodes[] = {
    {SI_USER, "SI_USER"},       {SI_KERNEL, "SI_KERNEL"}, {SI_QUEUE, "SI_QUEUE"},
    {SI_TIMER, "SI_TIMER"},     {SI_MESGQ, "SI_MESGQ"},   {SI_ASYNCIO, "SI_ASYNCIO"},
    {SI_SIGIO, "SI_SIGIO"},     {SI_TKILL, "SI_TKILL"},   {SI_DETHREAD, "SI_DETHREAD"},
    {SI_ASYNCNL, "SI_ASYNCNL"},
};

#define MD_CODES(table) table, (int)(sizeof(table) / sizeof(table[0]))

const SignalEntry kSignals[] = {
    {SIGABRT, "SIGABRT", nullptr, 0},
    {SIGBUS, "SIGBUS", MD_CODES(kBusCodes)},
    {SIGFPE, "SIGFPE", MD_CODES(kFpeCodes)},
    {SIGILL, "SIGILL", MD_CODES(kIllCodes)},
    {SIGPIPE, "SIGPIPE", nullptr, 0},
    {SIGSEGV, "SIGSEGV", MD_CODES(kSegvCodes)},
    {SIGSYS, "SIGSYS", nullptr, 0},
    {SIGTRAP, "SIGTRAP", MD_CODES(kTrapCodes)},
};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

const int kFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGSEGV, SIGSYS, SIGTRAP};
static_assert(sizeof(kFatalSignals) / sizeof(kFatalSignals[0]) == kSignalCount);

const SignalEntry* entryFor(int signal) {
    for (int i = 0; i < kSignalCount; i++)
        if (kSignals[i].signal == signal) return &kSignals[i];
    return nullptr;
}

}  // namespace

const char* mdsignal_signalName(int signal) {
    const SignalEntry* entry = entryFor(signal);
    return entry ? entry->name : nullptr;
}

const char* mdsignal_signalCodeName(int signal, int code) {
    const SignalEntry* entry = entryFor(signal);
    if (!entry) return nullptr;
    for (int i = 0; i < entry->codeCount; i++)
        if (entry->codes[i].code == code) return entry->codes[i].name;
    for (const CodeName& sender : kSenderCodes)
        if (sender.code == code) return sender.name;
    return nullptr;
}

const int* mdsignal_fatalSignals(void) { return kFatalSignals; }

int mdsignal_fatalSignalCount(void) { return kSignalCount; }
