#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quavelink {

struct ServerdOptions {
    //! The capture endpoint by list index or by its list text; none: the stored choice.
    std::optional<std::string> device;
    bool listDevices = false;
    //! Record the stream into this file from the start (WAV, or MP3 when it ends in ".mp3").
    std::string recordPath;
    //! MP3 bit rate in kbit/s, 0 for VBR.
    int mp3Kbps = 160;
    bool help = false;
    bool version = false;
    //! Why the command line was refused; empty when it was fine.
    std::string error;
};

ServerdOptions parseServerdOptions(int argc, const char* const* argv);

//! The usage text.
const char* serverdUsage();

//! The --version line, "quavelink-serverd VERSION" and a newline.
const char* serverdVersionLine();

//! The list index to capture: `option` as an index into `names` or as one of them exactly,
//! else the stored choice `stored` when it names an entry, else 0 (the default device).
//! Returns nothing and sets `error` when `option` matches no entry.
std::optional<int> chooseEndpoint(const std::vector<std::string>& names,
                                  const std::optional<std::string>& option,
                                  const std::string& stored, std::string& error);

//! Whether `path` names an MP3 file (by its extension, in any letter case).
bool isMp3Path(const std::string& path);

}  // namespace quavelink
