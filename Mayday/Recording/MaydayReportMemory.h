// Descriptions of what a value points to, for "notable_addresses",
// "referenced_object" and "last_dealloced_nsexception": an object, a class,
// a block, a text, a null pointer or unknown memory.
//
// Crash-path safe: every read of the memory described is a kernel-checked
// copy (an unreadable address is "unknown", never a fault); no heap, no
// locks, no stdio.
#pragma once

#include <cstdint>

#include "Mayday/Recording/MaydayReportWriter.h"

// Writes a description of `value` under `name` when it is notable: not 0,
// and something the zombie monitor remembers, an object, class or block, or
// a readable text of 4 to 500 bytes. Otherwise writes nothing.
void maydayreport_writeNotableValue(const MaydayReportWriter* writer, const char* name, uintptr_t value);

// Writes "referenced_object" for the first "0x" number in `text`, when
// there is one (no notability test).
void maydayreport_writeReferencedObject(const MaydayReportWriter* writer, const char* text);

// Writes the description of `address` under `name` whatever it holds.
void maydayreport_writeMemoryContents(const MaydayReportWriter* writer, const char* name, uintptr_t address);
