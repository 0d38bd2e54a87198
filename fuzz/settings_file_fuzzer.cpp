// The settings file as a user or another program may leave it: any bytes in Server.conf,
// loaded at start-up.
//
// The store caches a parsed file per path for the whole process and parses it again only when
// the file's size or modification time changed. Each input therefore gets its own modification
// time (a counter, one second apart), so that every LoadSettings really reads the new bytes;
// the start-up check below proves that on two files of the same size.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "fuzz/fuzz_input.h"
#include "fuzz/settings_dir.h"
#include "settings/settings.h"

namespace {

using namespace quavelink;
using fuzz::check;

std::filesystem::path settingsFile;
long long stamp = 1'000'000'000;

void writeSettingsFile(std::string_view bytes) {
    {
        std::ofstream out(settingsFile, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ++stamp;
    if (utimensat(AT_FDCWD, settingsFile.c_str(), times, 0) != 0) fuzz::fail("utimensat");
}

void loadFresh(std::string_view bytes) {
    writeSettingsFile(bytes);
    ResetSettingsToDefaults();
    LoadSettings();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    settingsFile = fuzz::usePrivateSettingsFolder() / "Server.conf";
    loadFresh("[General]\nMinToTray=1\n");
    check(GetMinToTray() == 1, "first settings file not read");
    loadFresh("[General]\nMinToTray=2\n");
    check(GetMinToTray() == 2, "changed settings file not read again");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    loadFresh(in.rest());

    // What was loaded is stored and loaded again unchanged, as at the next start.
    std::string inputSelect = GetInputSelect();
    std::string response = GetVersionCheckResponse();
    int minToTray = GetMinToTray();
    int checkTime = GetVersionCheckTime();
    SetInputSelect(inputSelect);
    SetVersionCheckResponse(response);
    SetMinToTray(minToTray);
    SetVersionCheckTime(checkTime);
    ResetSettingsToDefaults();
    LoadSettings();
    check(GetInputSelect() == inputSelect, "InputSelect changed on its way through the store");
    check(GetVersionCheckResponse() == response,
          "VersionCheckResponse changed on its way through the store");
    check(GetMinToTray() == minToTray, "MinToTray changed on its way through the store");
    check(GetVersionCheckTime() == checkTime,
          "VersionCheckTime changed on its way through the store");
    return 0;
}
