// Names a stack cursor's current entry: the image holding its address and the
// nearest symbol in it.
//
// Crash-path safe: uses mddl_dladdr (kernel-checked reads, no heap, no locks).
#pragma once

#include "Mayday/Recording/Tools/MDStackCursor.h"

// Fills the image and symbol fields of the cursor's current entry; true when
// its address lies in a loaded image (otherwise those fields are cleared).
// Return addresses are looked up minus 1 (inside the call instruction); an
// entry marked isInstructionAddress is looked up unchanged.
bool mdsymbolicator_symbolicate(MDStackCursor* cursor);
