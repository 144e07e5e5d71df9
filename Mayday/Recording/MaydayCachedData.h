// A copy of the thread list with thread and queue names, refreshed on a thread
// of its own, so the report writer can name threads at crash time without
// calling anything unsafe.
//
// Each refresh is published as an immutable snapshot through one atomic
// pointer. The lookups (mdccd_threadList, mdccd_threadNameFor,
// mdccd_queueNameFor) and the pause calls are crash-path safe: no heap, no
// locks, atomics only (mdccd_pauseUpdates may sleep one microsecond with
// nanosleep). mdccd_init is not: it starts a thread.
//
// Lifetime of what the lookups answer: a snapshot is freed only when it has
// been replaced twice, nobody is inside a lookup on it, and the pause counter
// is 0. A caller that keeps the answers for a while (the report writer) pauses
// first and resumes when done; while paused no refresh runs and nothing is freed.
#pragma once

#include "Mayday/Recording/Tools/MDThread.h"

// Starts the cache thread, which refreshes at once, then after 1, 2, 3 and 4
// seconds, then every `pollingIntervalSeconds`. Later calls do nothing.
void mdccd_init(int pollingIntervalSeconds);

// Counted: every pause needs its resume. Extra resumes are ignored.
void mdccd_pauseUpdates(void);
void mdccd_resumeUpdates(void);

// The cached thread list (kernel thread ids) and its length; null and 0 when
// there is no cache yet. `count` may be null.
const MDThread* mdccd_threadList(int* count);

// The cached names; null when unknown or the thread is not in the list.
const char* mdccd_threadNameFor(MDThread thread);
// Linux has no dispatch queues: null in practice, kept for the report writer.
const char* mdccd_queueNameFor(MDThread thread);

// For tests: refresh every `microseconds` instead of the normal schedule
// (0 goes back to it). Takes effect after the current sleep; set it before
// mdccd_init to start fast.
void mdccd_testing_setRefreshIntervalMicroseconds(long microseconds);
// Refreshes completed, snapshots freed and the pause counter so far.
long mdccd_testing_refreshCount(void);
long mdccd_testing_freedCount(void);
int mdccd_testing_pauseCount(void);
