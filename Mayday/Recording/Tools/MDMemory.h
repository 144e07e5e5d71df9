// Reads of memory that may not be there. Stands in for vm_read_overwrite(3)
// on mach_task_self.
//
// The copies name our pid, read once and forgotten in a forked child (a fork
// handler), so a copy is one system call.
//
// Crash-path safe: every read is a kernel copy (process_vm_readv(2) on our
// own pid, or, where that call is refused, a write(2) into a pipe, which
// fails with EFAULT instead of faulting), with no heap, no locks and no
// stdio. The readability test copies into one process-wide 10240-byte
// scratch buffer and the pipe fallback uses one process-wide pipe, so these
// are meant for one thread at a time (the crashed thread while the others
// are suspended).
#pragma once

#include <stdint.h>

// True when every byte of the range can be copied. A count of 0 or less is
// readable.
bool mdmem_isMemoryReadable(const void* memory, int byteCount);

// Copies the whole range; true only when all of it (a non-zero count) was
// copied. On failure `dst` may hold part of the bytes.
bool mdmem_copySafely(const void* src, void* dst, int byteCount);

// Copies as much of the range as can be read from its start (every byte
// up to the first page that cannot be read); answers the number of bytes
// copied.
int mdmem_copyMaxPossible(const void* src, void* dst, int byteCount);

// Pieces one mdmem_copyPieces call takes at most.
#define MDMEM_MAX_PIECES 64

// Copies `count` pieces of `pieceSize` bytes, from each address in turn, one
// after the other into `dst` (in one kernel call where it can); true only
// when every piece was copied whole.
bool mdmem_copyPieces(const uintptr_t* addresses, int count, int pieceSize, void* dst);

// Copies, for each address in turn, as much of `pieceSize` bytes from it as
// can be read from its start, into `dst` at `i * pieceSize`; `lengths[i]`
// receives how much. Many pieces per kernel call: a piece that cannot be
// read whole ends a call, the next call starts after it.
void mdmem_copyEachMaxPossible(const uintptr_t* addresses, int count, int pieceSize, void* dst, int* lengths);

// For tests: the pid copies name (0 until the first copy, and in a forked
// child until its first copy).
long mdmem_testing_cachedPid(void);

// For tests: force the pipe fallback (true) or go back to deciding it from
// the first kernel answer (false).
void mdmem_testing_forcePipeFallback(bool force);
// For tests: true when the pipe fallback is in use.
bool mdmem_testing_usesPipeFallback(void);
