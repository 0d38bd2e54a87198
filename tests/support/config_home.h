#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace quavelink::test {

//! A settings folder of this test process's own, named after `name` and the process id, made
//! and set as XDG_CONFIG_HOME. The settings store fixes its path at first use, so call this
//! before anything reads a setting.
inline std::string useTemporaryConfigHome(const std::string& name) {
    static const std::string folder = [&] {
        auto dir =
            std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        return dir.string();
    }();
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    return folder;
}

//! Removes the folder made by useTemporaryConfigHome, if any.
inline void removeTemporaryConfigHome(const std::string& name) {
    std::error_code ignored;
    std::filesystem::remove_all(
        std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid())),
        ignored);
}

}  // namespace quavelink::test
