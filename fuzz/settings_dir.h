#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace quavelink::fuzz {

//! Makes a fresh folder under the temporary directory, sets it as XDG_CONFIG_HOME (before the
//! settings store is first used, which fixes its path for the process) and removes it when the
//! process ends. Returns the folder of the settings file.
inline std::filesystem::path usePrivateSettingsFolder() {
    static std::string root;
    // Every write of the store syncs the file to disk; in memory that costs nothing, and the
    // run gets many more inputs through.
    std::error_code error;
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error)
                                     ? std::filesystem::path("/dev/shm")
                                     : std::filesystem::temp_directory_path();
    std::string pattern = (base / "quavelink-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    root = pattern;
    setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
    std::filesystem::path folder = std::filesystem::path(root) / "QuaveLink";
    std::filesystem::create_directories(folder);
    return folder;
}

}  // namespace quavelink::fuzz
