// What the zombie monitor remembers of deallocated objects, for the report
// writer's memory descriptions.
//
// Crash-path safe: a lookup in fixed memory, no heap, no locks.
#pragma once

// The class name of the object last deallocated at `address`, or null when
// nothing is known of it.
const char* mdzombie_classNameForAddress(const void* address);
