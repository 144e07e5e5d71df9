// Last path component. Crash-path safe: a plain scan, no calls.
#include "Mayday/Recording/Tools/MDDynamicLinker.h"

const char* mdfu_lastPathEntry(const char* path) {
    if (path == nullptr) {
        return nullptr;
    }
    const char* last = path;
    for (const char* p = path; *p != '\0'; p++) {
        if (*p == '/') {
            last = p + 1;
        }
    }
    return last;
}
