// Ends a process whose crash handling does not finish.
//
// Armed when a fatal event is first caught: if handling has not finished
// after 10 s (a lock held by a suspended thread, a callback that loops), the
// default action of the event's signal is restored and the process ends by
// it, as it would have without the recorder. A POSIX timer (CLOCK_MONOTONIC)
// delivers a private signal (SIGRTMIN + 8) to whichever thread can take it.
//
// mdcw_prepare is not async-signal-safe; arming, naming the signal and
// disarming are (timer_settime and atomics).
#pragma once

#define MDCW_SIGNAL_OFFSET 8
#define MDCW_DEFAULT_SECONDS 10

// Creates the timer and installs its handler once.
void mdcw_prepare(void);
// Starts the countdown (does nothing when it already runs or was never prepared).
void mdcw_arm(void);
// The signal the process ends by when the countdown runs out (SIGABRT until named).
void mdcw_setSignal(int signum);
// Stops the countdown.
void mdcw_disarm(void);

// Tests only: the countdown in seconds (back to the default with 0).
void mdcw_testing_setSeconds(int seconds);
