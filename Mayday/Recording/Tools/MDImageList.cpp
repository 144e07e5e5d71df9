// The walk of the dynamic linker's link map and its live rendezvous.
//
// Crash-path safe, except readExecutablePath: the rendezvous and the entries
// are read only through the kernel-checked copy, without the loader's lock
// (dl_iterate_phdr takes it, and a suspended thread may hold it), into fixed
// buffers on the stack; no heap, no locks, no stdio. dlclose unmaps an image
// before it unlinks its entry and frees the entry after, so an entry we reach
// may describe memory that is gone, or be freed memory itself: such an entry
// reads as absent, never as a fault.
#include "Mayday/Recording/Tools/MDImageList.h"

#include <elf.h>
#include <sys/auxv.h>
#include <unistd.h>

#include "Mayday/Recording/Tools/MDCheckedCopy.h"
#include "Mayday/Recording/Tools/MDLogger.h"

namespace mddl {
namespace {

// The main program's path: its link-map name is "".
char g_executablePath[kMaxPathLength];

// The rendezvous the loader keeps up to date. The main program's DT_DEBUG
// entry points at it; the _r_debug symbol may instead be a copy the program
// took at start (a copy relocation, made when its own code names
// _r_debug), whose r_state then never changes again.
uintptr_t g_rendezvous;

uintptr_t findRendezvous(void) {
    const uintptr_t phdrs = (uintptr_t)getauxval(AT_PHDR);
    const unsigned long phnum = getauxval(AT_PHNUM);
    uintptr_t bias = 0;
    uintptr_t dynamic = 0;
    for (unsigned long i = 0; phdrs != 0 && i < phnum && i < 256; i++) {
        ElfW(Phdr) ph;
        if (!copyFrom(phdrs + i * sizeof ph, &ph, sizeof ph)) {
            return 0;
        }
        if (ph.p_type == PT_PHDR) bias = phdrs - ph.p_vaddr;
        if (ph.p_type == PT_DYNAMIC) dynamic = ph.p_vaddr;
    }
    if (dynamic == 0) {
        return 0;
    }
    dynamic += bias;
    for (int i = 0; i < kMaxDynamicEntries; i++) {
        ElfW(Dyn) entry;
        if (!copyFrom(dynamic + (uintptr_t)i * sizeof entry, &entry, sizeof entry) || entry.d_tag == DT_NULL) {
            break;
        }
        if (entry.d_tag == DT_DEBUG) {
            return entry.d_un.d_ptr;
        }
    }
    return 0;
}

bool readRendezvous(uintptr_t address, ListHead* head) {
    struct r_debug rendezvous;
    if (!copyFrom(address, &rendezvous, sizeof rendezvous) || rendezvous.r_map == nullptr) {
        return false;
    }
    head->first = (uintptr_t)rendezvous.r_map;
    head->state = rendezvous.r_state;
    return true;
}

}  // namespace

void readExecutablePath(void) {
    if (g_executablePath[0] != '\0') {
        return;
    }
    const ssize_t length = readlink("/proc/self/exe", g_executablePath, sizeof g_executablePath - 1);
    if (length > 0) {
        g_executablePath[length] = '\0';
    } else {
        g_executablePath[0] = '\0';
        MDLOG_ERROR("Cannot read the path of the running program");
    }
}

const char* executablePath(void) {
    return g_executablePath;
}

bool stringsEqual(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

bool stringContains(const char* haystack, const char* needle) {
    if (*needle == '\0') {
        return true;
    }
    for (; *haystack != '\0'; haystack++) {
        const char* h = haystack;
        const char* n = needle;
        while (*n != '\0' && *h == *n) {
            h++;
            n++;
        }
        if (*n == '\0') {
            return true;
        }
    }
    return false;
}

bool readListHead(ListHead* head) {
    head->first = 0;
    head->state = r_debug::RT_CONSISTENT;
    // Found once (the loader fills DT_DEBUG before any of our code runs);
    // any thread may store the same value.
    uintptr_t rendezvous = __atomic_load_n(&g_rendezvous, __ATOMIC_RELAXED);
    if (rendezvous == 0) {
        rendezvous = findRendezvous();
        if (rendezvous != 0) {
            __atomic_store_n(&g_rendezvous, rendezvous, __ATOMIC_RELAXED);
        }
    }
    return (rendezvous != 0 && readRendezvous(rendezvous, head)) || readRendezvous((uintptr_t)&_r_debug, head);
}

LinkMapWalk::LinkMapWalk() {
    readListHead(&head_);
    next_ = head_.first;
}

bool LinkMapWalk::next(uintptr_t* address, LinkEntry* entry) {
    if (next_ == 0 || count_ >= MDDL_MAX_IMAGES) {
        return false;
    }
    for (int i = 0; i < count_; i++) {
        if (visited_[i] == next_) {
            return false;
        }
    }
    if (!copyFrom(next_, entry, sizeof *entry)) {
        return false;
    }
    *address = next_;
    visited_[count_++] = next_;
    next_ = entry->next;
    return true;
}

}  // namespace mddl
