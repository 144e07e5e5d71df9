// The zombie monitor. It does not track deallocations yet, so it knows no
// address.
#include "Mayday/Recording/Monitors/MaydayMonitor_Zombie.h"

const char* mdzombie_classNameForAddress(const void* address) {
    (void)address;
    return nullptr;
}
