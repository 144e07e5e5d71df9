// Names a stack cursor's current entry: the image holding its address and the
// nearest symbol in it.
//
// Crash-path safe: uses mddl_dladdr (kernel-checked reads, no heap, no locks)
// and a fixed static answer cache claimed with atomics.
#pragma once

#include "Mayday/Recording/Tools/MDStackCursor.h"

// Fills the image and symbol fields of the cursor's current entry; true when
// its address lies in a loaded image (otherwise those fields are cleared).
// Return addresses are looked up minus 1 (inside the call instruction); an
// entry marked isInstructionAddress is looked up unchanged.
bool mdsymbolicator_symbolicate(MDStackCursor* cursor);

// The threads of one report share most of their return addresses (the same
// waits, the same thread start), and each lookup walks the link map and the
// symbol tables through kernel-checked copies. Between these two calls the
// calling thread's lookups are remembered (up to 1024 addresses), so each
// address is looked up once. Meant for the span of one report, while the
// image list holds still. Only one thread caches at a time: begin answers
// false (and lookups go uncached) while another one does. End only after a
// begin that answered true.
bool mdsymbolicator_beginCaching(void);
void mdsymbolicator_endCaching(void);
