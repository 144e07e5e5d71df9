// Reading what the recorder left on disk: the names in a report directory
// and a report's text decoded by the recorder's own codec.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <string>
#include <vector>

#include "Mayday/Recording/Tools/MDJSONCodecObjC.h"

namespace zeltest {

// The entries of `directory` except "." files, sorted; none when it is missing.
inline std::vector<std::string> filesIn(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The decoded text; a decoding error fails the calling test.
inline platform::Value decodeReport(const std::string& text) {
    platform::OptionalError error;
    const platform::Value value =
        MDJSONCodec::decode(platform::Value::Bytes(text.begin(), text.end()), 0, &error);
    EXPECT_FALSE(error.has_value()) << text.substr(0, 2000);
    return value;
}

}  // namespace zeltest
