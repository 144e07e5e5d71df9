// Internals of FileManager.cpp exposed for its tests: the directory
// decisions take the environment as a function so they can be exercised
// without touching the process environment (temporaryDirectory() decides
// only once per process).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::detail {

// Answers the value of an environment variable, or nothing when unset.
using EnvironmentGetter = std::function<std::optional<std::string>(const char* name)>;

// The real process environment.
EnvironmentGetter processEnvironment();

std::string homeDirectory(const EnvironmentGetter& env);
std::string userCachesDirectory(const EnvironmentGetter& env);
std::string userDataDirectory(const EnvironmentGetter& env);

// Whether `path` is a directory private to the current user: not a
// symbolic link, owned by us, no group or other permission bits. When
// `tighten` is set, a directory we own with extra bits is chmod-ed to 0700
// and then counts as private.
bool isPrivateDirectory(const std::string& path, bool tighten);

// The decision behind temporaryDirectory(): the first usable candidate,
// with a trailing "/". `fallbackParent` is where the last-resort mkdtemp
// directory goes ("/tmp" in production).
std::string chooseTemporaryDirectory(const EnvironmentGetter& env, const std::string& fallbackParent = "/tmp");

// Reads a whole file; on failure answers false with the errno value in `err`.
bool readFileBytes(const std::string& path, std::vector<uint8_t>& bytes, int& err);

}  // namespace platform::detail
