// What the two halves of the exception-port layer tell each other: the port
// table and messages (ExceptionPorts.cpp) and the process's signal actions
// with the fault handler (SignalActions.cpp). Crash-path safe.
#pragma once

#include <csignal>

#include "platform/mach/ExceptionPorts.h"

// True when a port of this process is set for the exception type `signum` raises.
bool machexc_internal_portSetForSignal(int signum);
// Raises the exception of a kernel fault on its port and parks the faulting
// thread until the reply (bounded). True when the reply was KERN_SUCCESS.
bool machexc_internal_raise(int signum, siginfo_t* info, void* userContext);
// The port table changed for `mask`: the kernel actions follow.
void machexc_internal_portsChanged(machexc_exception_mask_t mask);
