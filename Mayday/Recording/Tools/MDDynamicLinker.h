// The loaded images of this process and the symbols in them. Stands in for
// dyld's image list (_dyld_image_count and friends) and dladdr.
//
// Crash-path safe (everything except mddl_initialize): the image list is the
// dynamic linker's link map (_r_debug.r_map), walked without the loader's
// lock (dl_iterate_phdr and dladdr take it, and a suspended thread may hold
// it). Another thread may be inside dlopen or dlclose meanwhile, so every
// read of the link map and of image memory (ELF and program headers, notes,
// dynamic sections, symbol tables) is a kernel-checked copy: an entry or an
// image whose memory is gone reads as absent. A walk visits at most
// MDDL_MAX_IMAGES entries and stops at an entry it has seen. No heap, no
// locks, no stdio, no exceptions.
//
// Full symbol tables (.symtab, which names non-exported functions too) are
// read from the image files once, by mddl_initialize, into a fixed static
// index, which also keeps copies of each image's path and build id; images
// loaded after the last mddl_initialize fall back to their dynamic symbol
// table alone.
#pragma once

#include <dlfcn.h>
#include <link.h>
#include <stdint.h>

// The most link-map entries a walk visits; a longer list is cut there.
#define MDDL_MAX_IMAGES 512

// One loaded image as the crash report describes it.
typedef struct {
    uint64_t address;          // start of the lowest PT_LOAD as mapped (page-aligned; the ELF header)
    uint64_t vmAddress;        // link-time p_vaddr of the executable PT_LOAD (no load bias), or 0
    uint64_t size;             // up to the page-aligned end of the highest PT_LOAD
    const char* name;          // path (our index's copy, or borrowed from the dynamic linker)
    const uint8_t* uuid;       // first 16 bytes of the GNU build id (our copy or in the image), or null
    const uint8_t* buildID;    // the whole build id (at most 64 bytes), or null
    uint32_t buildIDLength;
    int cpuType;               // Mach vocabulary of the report: x86_64
    int cpuSubType;
    uint64_t majorVersion;     // ELF images carry no version: always 0
    uint64_t minorVersion;
    uint64_t revisionVersion;
} MDBinaryImage;

// Not crash-path safe (allocates, reads files): reads the main program's path
// once, loads the stack unwinder by calling backtrace(3) once, and indexes the
// full symbol tables of the images loaded now. Call at install; calling again
// adds images loaded since.
void mddl_initialize(void);

// For the span of one report, on the thread that writes it: the image list
// is read once (when it is consistent and at most 128 images long) and the
// functions below answer from that copy on this thread. False when another
// thread holds it; then nothing is to be ended.
bool mddl_beginSnapshot(void);
void mddl_endSnapshot(void);
// A number of the calling thread's snapshot, different for every snapshot
// taken; 0 when the calling thread answers from the live list.
uint32_t mddl_snapshotGeneration(void);

// Number of images in the link map whose memory is there.
uint32_t mddl_imageCount(void);

// The record of image `index` (link-map order among the images counted by
// mddl_imageCount; 0 is the main program). False past the end, or when the
// image vanished since it was counted.
bool mddl_binaryImage(int index, MDBinaryImage* buffer);

// Index of the first image whose path equals `imageName` (exactMatch) or
// contains it; -1 when none or for null.
int mddl_imageNamed(const char* imageName, bool exactMatch);

// The 16 build-id bytes of the image found by mddl_imageNamed, or null.
const uint8_t* mddl_imageUUID(const char* imageName, bool exactMatch);

// Image path and base (the record's address) of `address`, plus the nearest
// symbol at or below it (dli_sname/dli_saddr null when there is none, or when
// the nearest dynamic symbol has a size and the address lies past it).
// False when no loaded image's PT_LOAD span contains the address.
bool mddl_dladdr(uintptr_t address, Dl_info* info);

// The nearest-symbol rule over one symbol table: the index of the entry with
// the smallest non-negative distance `address - (bias + st_value)`, entries of
// value 0, undefined entries and types other than function, indirect function
// and object skipped; on equal distance the later entry wins. -1 when none.
int mddl_nearestSymbol(const ElfW(Sym)* symbols, uint32_t count, uintptr_t bias, uintptr_t address);

// Where the call-frame information of one loaded image lies, for the
// unwinder.
typedef struct {
    uintptr_t start;            // page-aligned span of the image's PT_LOAD segments as mapped
    uintptr_t end;
    uintptr_t bias;             // load bias (l_addr)
    uintptr_t ehFrameHeader;    // the PT_GNU_EH_FRAME contents (.eh_frame_hdr) as mapped, or 0
    uintptr_t ehFrameHeaderSize;
} MDImageFrameInfo;

// The span, bias and .eh_frame_hdr of the image whose PT_LOAD span contains
// `address`, from its program headers; false when no image holds it. The
// image may be unloaded at any time: read what the addresses lead to only
// through the kernel-checked copy.
bool mddl_frameInfoForAddress(uintptr_t address, MDImageFrameInfo* info);

// The part of `path` after its last "/" (all of it without one; "" when it
// ends in "/"); null for null. Crash-path safe.
const char* mdfu_lastPathEntry(const char* path);
