// Symbol-name demanglers (not crash-path safe: they allocate).
#include "Mayday/Recording/Tools/MDDemangle.h"

#include <cstdlib>
#include <cxxabi.h>

char* mddm_demangleCPP(const char* mangledSymbol) {
    if (mangledSymbol == nullptr) {
        return nullptr;
    }
    int status = -1;
    char* result = abi::__cxa_demangle(mangledSymbol, nullptr, nullptr, &status);
    if (status != 0) {
        free(result);
        return nullptr;
    }
    return result;
}

char* mddm_demangleSwift(const char* mangledSymbol) {
    // Debian ships no Swift toolchain and this program has no Swift code, so
    // there is no demangler to ask: every name stays as it is.
    (void)mangledSymbol;
    return nullptr;
}
