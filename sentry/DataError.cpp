#include "sentry/DataError.h"

bool clearError(platform::OptionalError* slot) {
    if (slot) {
        slot->reset();
    }
    return false;
}
