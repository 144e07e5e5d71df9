// Two scanners over raw text: "does this look like a C string" and "find a
// 0x... number in this text".
//
// Crash-path safe: they only read the bytes they are given (the caller has
// already copied them safely), with no heap, no locks and no stdio.
#pragma once

#include <cstdint>

// Scans at most `maxLength` bytes: true when a terminator comes after at
// least `minLength` bytes of printable text, tab, line feed, carriage return
// or well-formed multibyte sequences.
bool mdstring_isNullTerminatedUTF8String(const void* memory, int minLength, int maxLength);

// Finds the first "0x" followed by a hexadecimal digit in the first `length`
// bytes of `string` and stores the number that follows in `result`.
bool mdstring_extractHexValue(const char* string, int length, uint64_t* result);
