// The dynamic linker's list of loaded images (the link map behind
// _r_debug.r_map) and the rendezvous that heads it, walked without the
// loader's lock. Internal to the image list.
//
// Crash-path safe, except readExecutablePath: every read of the rendezvous
// and of link-map entries is a kernel-checked copy into fixed buffers; no
// heap, no locks, no stdio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <link.h>

#include "Mayday/Recording/Tools/MDDynamicLinker.h"

namespace mddl {

// Bounds on what a damaged image could make us read.
constexpr int kMaxDynamicEntries = 1024;
constexpr size_t kMaxPathLength = 4096;

// The name handed out for an image whose name cannot be read.
inline constexpr char kNoName[] = "";

// Not crash-path safe (logs a failure): reads the main program's path once,
// since its link-map name is "". Called by mddl_initialize under its mutex.
void readExecutablePath(void);

// The main program's path; "" until readExecutablePath has read it.
const char* executablePath(void);

// Byte-wise comparisons of image paths.
bool stringsEqual(const char* a, const char* b);
bool stringContains(const char* haystack, const char* needle);

// The public head of struct link_map, which is all we read of an entry.
struct LinkEntry {
    uintptr_t bias;     // l_addr
    uintptr_t name;     // l_name
    uintptr_t dynamic;  // l_ld
    uintptr_t next;     // l_next
};
static_assert(offsetof(struct link_map, l_addr) == offsetof(LinkEntry, bias), "link_map layout");
static_assert(offsetof(struct link_map, l_name) == offsetof(LinkEntry, name), "link_map layout");
static_assert(offsetof(struct link_map, l_ld) == offsetof(LinkEntry, dynamic), "link_map layout");
static_assert(offsetof(struct link_map, l_next) == offsetof(LinkEntry, next), "link_map layout");

struct ListHead {
    uintptr_t first;
    int state;  // r_debug's r_state
};

// The first entry and r_state of the live rendezvous; false (first 0, state
// RT_CONSISTENT) when it cannot be read.
bool readListHead(ListHead* head);

// One pass over the link map: at most MDDL_MAX_IMAGES entries, ending at an
// entry that cannot be read or that was visited before (a loop). While
// r_state says an object is being added or deleted the list is walked as it
// is: in a crash the other threads are stopped, so waiting for
// RT_CONSISTENT could wait forever; entries whose memory is gone read as
// absent instead.
class LinkMapWalk {
public:
    LinkMapWalk();

    const ListHead& head() const { return head_; }

    // The next entry's address and a copy of its head; false at the end.
    bool next(uintptr_t* address, LinkEntry* entry);

private:
    ListHead head_;
    uintptr_t next_ = 0;
    int count_ = 0;
    uintptr_t visited_[MDDL_MAX_IMAGES];
};

}  // namespace mddl
