// Where the tests find the media that tests/fixtures/make_all.sh makes.
// The folder is fixed at build time; VORN_MEDIA_DIR in the environment
// overrides it.
#pragma once

#include <cstdlib>
#include <string>

namespace vorn::test {

inline std::string mediaDir() {
    if (const char* env = std::getenv("VORN_MEDIA_DIR"); env && *env) return env;
    return VORN_MEDIA_DIR;
}

inline std::string mediaPath(const std::string& name) { return mediaDir() + "/" + name; }

inline std::string sourcePath(const std::string& rel) { return std::string(VORN_SOURCE_DIR) + "/" + rel; }

}  // namespace vorn::test
