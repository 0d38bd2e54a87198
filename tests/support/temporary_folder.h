#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace quavelink::test {

//! A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
  public:
    //! `prefix` starts the folder's name, so that a folder left by a crash names its test.
    explicit TemporaryFolder(const std::string& prefix = "quavelink-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX"));
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        folder = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return folder; }

    //! The path of `name` inside the folder.
    std::string file(const std::string& name) const { return (folder / name).string(); }

  private:
    std::filesystem::path folder;
};

}  // namespace quavelink::test
