#include "installer/ZELFeedData.h"

using platform::Value;

// A value that is not a dictionary reads as having no keys, so every level
// below it is still made, empty.

OptionsData::OptionsData(const Value& dictionary)
    : autoLaunch_(dictionary.objectForKey("autoLaunch").boolValue()),
      displayVersion_(dictionary.objectForKey("displayVersion").boolValue()) {}

DarwinData::DarwinData(const Value& dictionary)
    : bundleId_(dictionary.objectForKey("bundleId")),
      installUrl_(dictionary.objectForKey("installUrl")),
      options_(std::make_shared<OptionsData>(dictionary.objectForKey("options"))),
      product_(dictionary.objectForKey("product")),
      version_(dictionary.objectForKey("version")),
      sha256_(dictionary.objectForKey("sha256")),
      signature_(dictionary.objectForKey("signature")) {}

PlatformData::PlatformData(const Value& dictionary)
    : darwin_(std::make_shared<DarwinData>(dictionary.objectForKey("darwin"))) {}

ZELFeedData::ZELFeedData(const Value& dictionary)
    : platforms_(std::make_shared<PlatformData>(dictionary.objectForKey("platforms"))) {}
