#include "settings/settings.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "support/config_home.h"
#include "support/log_capture.h"

namespace quavelink {
namespace {

namespace fs = std::filesystem;

class SettingsStore : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // QSettings fixes its folder at the first use in a process, so every test here shares
        // one absolute temporary folder that is set before any store is opened.
        configHome = test::useTemporaryConfigHome("quavelink-settings");
    }
    static void TearDownTestSuite() { test::removeTemporaryConfigHome("quavelink-settings"); }

    void SetUp() override {
        fs::remove_all(configHome / "QuaveLink");
        ResetSettingsToDefaults();
    }

    static fs::path storeFile() { return configHome / "QuaveLink" / "Server.conf"; }

    static void writeStoreFile(const std::string& text) {
        fs::create_directories(storeFile().parent_path());
        std::ofstream(storeFile(), std::ios::binary) << text;
    }

    static std::string readStoreFile() {
        std::ostringstream text;
        text << std::ifstream(storeFile(), std::ios::binary).rdbuf();
        return text.str();
    }

    // QSettings keeps what a process wrote in memory as well, so only another process shows
    // what really reached the disk. `body` plays an earlier run of the program that ends
    // abruptly right after it: no destructors or exit handlers get a later chance to save.
    // Returns whether `body` returned true.
    static bool inEarlierRun(const std::function<bool()>& body) {
        pid_t child = fork();
        if (child == 0) _exit(body() ? 0 : 1);
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }

    static void restart() {
        ResetSettingsToDefaults();
        LoadSettings();
    }

    static void expectDefaults() {
        EXPECT_FALSE(GetWarn48kDone());
        EXPECT_EQ(GetMinToTray(), 0);
        EXPECT_EQ(GetInputSelect(), "");
        EXPECT_EQ(GetFileDialogEncOptMP3(), 2);
        EXPECT_TRUE(GetFileDialogTypeMP3());
        EXPECT_TRUE(GetEnableHotkeys());
        EXPECT_EQ(GetVersionCheckTime(), 0);
        EXPECT_EQ(GetVersionCheckResponse(), "");
    }

    static inline fs::path configHome;
};

TEST_F(SettingsStore, EmptyStoreYieldsTheBuiltInDefaults) {
    expectDefaults();
    LoadSettings();
    expectDefaults();
}

TEST_F(SettingsStore, EverySetterCommitsItsOwnKeyAtOnce) {
    // Commas, quotes, '=', a leading '@' and non-ASCII bytes all need escaping in the file.
    const std::string endpoint = "@Lautsprecher (Realtek\xC2\xAE Audio), Front=1 \"L\\R\" ;#";
    ASSERT_TRUE(inEarlierRun([&] {
        SetWarn48kDone(true);
        SetMinToTray(2);
        SetInputSelect(endpoint);
        SetFileDialogEncOptMP3(5);
        SetFileDialogTypeMP3(false);
        SetEnableHotkeys(false);
        SetVersionCheckTime(29000000);
        SetVersionCheckResponse("2.1.0.7");
        return true;
    }));
    ASSERT_TRUE(fs::exists(storeFile()));

    LoadSettings();
    EXPECT_TRUE(GetWarn48kDone());
    EXPECT_EQ(GetMinToTray(), 2);
    EXPECT_EQ(GetInputSelect(), endpoint);
    EXPECT_EQ(GetFileDialogEncOptMP3(), 5);
    EXPECT_FALSE(GetFileDialogTypeMP3());
    EXPECT_FALSE(GetEnableHotkeys());
    EXPECT_EQ(GetVersionCheckTime(), 29000000);
    EXPECT_EQ(GetVersionCheckResponse(), "2.1.0.7");
}

TEST_F(SettingsStore, LaterChangeOverwritesOnlyItsOwnKey) {
    ASSERT_TRUE(inEarlierRun([] {
        SetMinToTray(1);
        SetInputSelect("USB Audio");
        return true;
    }));
    ASSERT_TRUE(inEarlierRun([] {
        LoadSettings();
        SetMinToTray(2);
        return true;
    }));
    LoadSettings();
    EXPECT_EQ(GetMinToTray(), 2);
    EXPECT_EQ(GetInputSelect(), "USB Audio");
}

TEST_F(SettingsStore, HandEditedFileWithGarbageLoadsSafelyAndStaysWritable) {
    writeStoreFile(
        "[General]\n"
        "Warn48kDone=1\n"
        "MinToTray=abc\n"
        "InputSelect=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5QFoo)\n"
        "FileDialogEncOptMP3=7\n"
        "FileDialogTypeMP3=false\n"
        "this line has no equals sign\n"
        "VersionCheckTime=12.5\n"
        "VersionCheckResponse=\"unterminated\n"
        "[Broken\n"
        "EnableHotkeys=false\n");
    LoadSettings();
    EXPECT_TRUE(GetWarn48kDone());
    EXPECT_EQ(GetMinToTray(), 0);  // text that is no number converts to 0
    EXPECT_EQ(GetInputSelect(), "");
    EXPECT_EQ(GetFileDialogEncOptMP3(), 7);  // kept as stored: the dialog checks its range
    EXPECT_FALSE(GetFileDialogTypeMP3());
    EXPECT_EQ(GetVersionCheckTime(), 0);
    // Outside [General], so the key is missing and keeps its default.
    EXPECT_TRUE(GetEnableHotkeys());

    ASSERT_TRUE(inEarlierRun([] {
        SetEnableHotkeys(false);
        SetVersionCheckResponse("2.2");
        return true;
    }));
    restart();
    EXPECT_FALSE(GetEnableHotkeys());
    EXPECT_EQ(GetVersionCheckResponse(), "2.2");
    EXPECT_TRUE(GetWarn48kDone());
}

TEST_F(SettingsStore, UnwritableStoreKeepsTheInMemoryValue) {
    // A folder where the file should be: every read and write of the store fails.
    fs::create_directories(storeFile());
    LoadSettings();
    expectDefaults();

    ASSERT_TRUE(inEarlierRun([] {
        SetMinToTray(2);
        SetInputSelect("Line In");
        return GetMinToTray() == 2 && GetInputSelect() == "Line In";
    }));
    restart();
    EXPECT_EQ(GetMinToTray(), 0);
    EXPECT_EQ(GetInputSelect(), "");
}

// The program goes on with the value in memory, and says on standard error why it is lost.
TEST_F(SettingsStore, ASettingThatCannotBeSavedSaysWhy) {
    std::ofstream(configHome / "QuaveLink") << "a file where the folder belongs";
    test::LogCapture log;
    SetMinToTray(2);
    EXPECT_EQ(GetMinToTray(), 2);
    EXPECT_EQ(log.count("Could not save the setting MinToTray to " + storeFile().string() +
                        ": Not a directory\n"),
              1);
    fs::remove(configHome / "QuaveLink");
}

}  // namespace
}  // namespace quavelink
