#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "settings/settings.h"
#include "support/config_home.h"

namespace quavelink::test {

//! A private settings store for the version check's tests, and nothing between them and
//! 127.0.0.1: a proxy from the caller's environment would carry the requests elsewhere.
class VersionCheckTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // QSettings fixes its folder at the first use in a process.
        configHome = useTemporaryConfigHome("quavelink-versioncheck");
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
            unsetenv(name);
        }
        setenv("no_proxy", "*", 1);
    }
    static void TearDownTestSuite() { removeTemporaryConfigHome("quavelink-versioncheck"); }

    void SetUp() override {
        std::filesystem::remove_all(configHome / "QuaveLink");
        ResetSettingsToDefaults();
    }

    //! A new start of the program: what the store holds, nothing of the memory.
    static void restart() {
        ResetSettingsToDefaults();
        LoadSettings();
    }

    static inline std::filesystem::path configHome;
};

}  // namespace quavelink::test
