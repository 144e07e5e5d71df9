// The monitors of the crash recorder, as bits of one set.
#pragma once

#include <cstdint>

typedef uint32_t MaydayMonitorFlags;

enum : MaydayMonitorFlags {
    MaydayMonitorTypeMachException = 0x01,
    MaydayMonitorTypeSignal = 0x02,
    MaydayMonitorTypeCPPException = 0x04,
    MaydayMonitorTypeNSException = 0x08,
    MaydayMonitorTypeMainThreadDeadlock = 0x10,
    MaydayMonitorTypeUserReported = 0x20,
    MaydayMonitorTypeSystem = 0x40,
    MaydayMonitorTypeApplicationState = 0x80,
    MaydayMonitorTypeZombie = 0x100,

    MaydayMonitorTypeNone = 0x000,
    MaydayMonitorTypeAll = 0x1FF,
    MaydayMonitorTypeDebuggerUnsafe = 0x00F,
    MaydayMonitorTypeDebuggerSafe = 0x1F0,
    MaydayMonitorTypeAsyncSafe = 0x003,
    MaydayMonitorTypeAsyncUnsafe = 0x1FC,
    MaydayMonitorTypeDefault = 0x0EF,
};
