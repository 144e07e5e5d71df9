// The report writer's process-wide settings.
//
// A report may be written at any moment, on any thread, without a lock, and
// a non-fatal report runs beside the thread that changes a setting. So every
// setting is published whole through one atomic pointer, and a replaced copy
// is freed only after every reader that could have picked it up has left
// (readers count themselves in before they load a pointer). A copy still
// being read after a long wait is left alone rather than freed.
//
// The readers are crash-path safe (atomics only); the setters allocate and
// lock and are not.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Mayday/Recording/MaydayReportWriter.h"
#include "Mayday/Recording/Tools/MDLogger.h"

namespace {

struct ClassList {
    int count;
    char** names;
};

std::atomic<const char*> g_userInfoJSON{nullptr};
std::atomic<const ClassList*> g_doNotIntrospect{nullptr};
std::atomic<bool> g_introspectMemory{false};
std::atomic<MaydayReportWriteCallback> g_userSectionCallback{nullptr};
std::atomic<int> g_readers{0};
std::mutex g_settersLock;  // one replacement at a time

static_assert(std::atomic<const char*>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the crash path reads the settings without locks");

// Waits (up to about two seconds) until no reader can still hold a copy
// that was just replaced; false when one still does.
bool waitForReaders() {
    for (int i = 0; i < 2000; i++) {
        if (g_readers.load() == 0) return true;
        const struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

void freeClassList(const ClassList* list) {
    if (list == nullptr) return;
    for (int i = 0; i < list->count; i++) free(list->names[i]);
    free(list->names);
    delete list;
}

}  // namespace

void maydayreport_setUserInfoJSON(const char* userInfoJSON) {
    std::lock_guard<std::mutex> guard(g_settersLock);
    char* copy = nullptr;
    if (userInfoJSON != nullptr) {
        copy = strdup(userInfoJSON);
        if (copy == nullptr) {
            MDLOG_ERROR("Could not allocate memory");
            return;
        }
    }
    const char* old = g_userInfoJSON.exchange(copy);
    if (old != nullptr && waitForReaders()) free(const_cast<char*>(old));
}

void maydayreport_setIntrospectMemory(bool shouldIntrospectMemory) { g_introspectMemory = shouldIntrospectMemory; }

void maydayreport_setDoNotIntrospectClasses(const char** doNotIntrospectClasses, int length) {
    std::lock_guard<std::mutex> guard(g_settersLock);
    if (doNotIntrospectClasses == nullptr || length < 0) length = 0;
    ClassList* list = new (std::nothrow) ClassList{0, nullptr};
    bool complete = list != nullptr;
    if (complete && length > 0) {
        list->names = static_cast<char**>(calloc(static_cast<size_t>(length), sizeof(char*)));
        complete = list->names != nullptr;
        for (int i = 0; complete && i < length; i++) {
            list->names[i] = strdup(doNotIntrospectClasses[i] != nullptr ? doNotIntrospectClasses[i] : "");
            complete = list->names[i] != nullptr;
            if (complete) list->count = i + 1;
        }
    }
    if (!complete) {
        MDLOG_ERROR("Could not allocate memory");
        freeClassList(list);
        return;
    }
    const ClassList* old = g_doNotIntrospect.exchange(list);
    if (old != nullptr && waitForReaders()) freeClassList(old);
}

void maydayreport_setUserSectionWriteCallback(MaydayReportWriteCallback userSectionWriteCallback) {
    g_userSectionCallback = userSectionWriteCallback;
}

void maydayreport_beginSettingsRead(void) { g_readers.fetch_add(1); }

void maydayreport_endSettingsRead(void) { g_readers.fetch_sub(1); }

const char* maydayreport_userInfoJSON(void) { return g_userInfoJSON.load(); }

bool maydayreport_introspectMemory(void) { return g_introspectMemory.load(); }

MaydayReportWriteCallback maydayreport_userSectionWriteCallback(void) { return g_userSectionCallback.load(); }

bool maydayreport_isDoNotIntrospectClass(const char* className) {
    if (className == nullptr) return false;
    const ClassList* list = g_doNotIntrospect.load();
    if (list == nullptr) return false;
    for (int i = 0; i < list->count; i++)
        if (strcmp(list->names[i], className) == 0) return true;
    return false;
}
