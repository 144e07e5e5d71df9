// The UTC timestamp text of crash reports. Stands in for gmtime_r plus
// snprintf, which may lock or allocate.
//
// Async-signal-safe: the calendar date is computed from the seconds here and
// the digits written by MDNumberText (no gmtime_r, no snprintf, no locks, no
// heap).
#pragma once

#include <ctime>

// Writes "YYYY-MM-DDTHH:MM:SSZ" (20 characters and a terminator) into the
// 21-byte `buffer`. Times before 0000-01-01T00:00:00Z or after
// 9999-12-31T23:59:59Z are written as those limits, so the text keeps its size.
void mddate_utcStringFromTimestamp(time_t timestamp, char* buffer);
