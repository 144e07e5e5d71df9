// Symbol-name demanglers used when stored reports are fixed up.
//
// Not crash-path safe: both allocate. The caller frees the result with free().
#pragma once

// The readable form of a C++ mangled name (through __cxa_demangle), or null
// when `mangledSymbol` is null or not a C++ mangled name.
char* mddm_demangleCPP(const char* mangledSymbol);

// The readable form of a Swift mangled name, or null.
char* mddm_demangleSwift(const char* mangledSymbol);
