#include "app/record_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/main_window.h"
#include "app/save_dialog.h"
#include "app/save_folder.h"
#include "capture/channel_selection.h"
#include "capture/endpoint_list.h"
#include "fake_audio_system.h"
#include "platform/thread.h"
#include "recording/mp3/mp3_encoder.h"
#include "recording/recorder.h"
#include "settings/settings.h"
#include "support/recorded_boxes.h"

namespace quavelink {
namespace {

using test::RecordedBoxes;

std::string commandOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
        pclose(pipe);
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    return output;
}

// ---- The save-as dialog ----

class SaveAsDialog : public ::testing::Test {
  protected:
    SaveAsDialog() { ResetSettingsToDefaults(); }
    static QComboBox* list(CXFileDialog& dialog) { return dialog.bitRateList; }
};

TEST_F(SaveAsDialog, OffersTheSevenBitRatesAndStoresTypeAndRateAtOnceEvenOnCancel) {
    SetFileDialogTypeMP3(false);
    SetFileDialogEncOptMP3(4);
    CXFileDialog dialog(false, QString(), "Recording", CXFileDialog::OFN_OVERWRITEPROMPT, "");
    dialog.open();

    ASSERT_EQ(list(dialog)->count(), 7);
    const int rates[7] = {64, 128, 160, 192, 224, 320, 0};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(list(dialog)->itemData(i).toInt(), rates[i]) << i;
    EXPECT_EQ(list(dialog)->itemText(6), "VBR");
    EXPECT_EQ(list(dialog)->currentIndex(), 4);
    EXPECT_EQ(dialog.CurrentBitRate(), 224);
    // WAV: no bit rate to choose, and a bare name becomes a .wav file.
    EXPECT_TRUE(dialog.wavButton->isChecked());
    EXPECT_FALSE(list(dialog)->isEnabled());
    EXPECT_EQ(dialog.defaultSuffix(), "wav");

    dialog.mp3Button->click();
    EXPECT_TRUE(GetFileDialogTypeMP3());
    EXPECT_TRUE(list(dialog)->isEnabled());
    EXPECT_EQ(dialog.defaultSuffix(), "mp3");
    list(dialog)->setCurrentIndex(6);
    list(dialog)->activated(6);
    EXPECT_EQ(dialog.CurrentBitRate(), 0);
    dialog.reject();

    ResetSettingsToDefaults();
    LoadSettings();
    EXPECT_EQ(GetFileDialogEncOptMP3(), 6);
    EXPECT_TRUE(GetFileDialogTypeMP3());
}

TEST_F(SaveAsDialog, AStoredIndexOutsideTheListFallsBackTo160Kbits) {
    SetFileDialogEncOptMP3(9);
    CXFileDialog dialog(false, QString(), "x", 0, "");
    EXPECT_EQ(list(dialog)->currentIndex(), 2);
    EXPECT_EQ(dialog.CurrentBitRate(), 160);
    EXPECT_EQ(GetFileDialogEncOptMP3(), 9);  // nothing stored until the user picks one
}

TEST_F(SaveAsDialog, ATypedNameWithoutExtensionGetsTheChosenTypes) {
    SetFileDialogTypeMP3(false);
    QTemporaryDir folder;
    std::optional<SaveAsChoice> choice;
    // The dialog runs modally; the user's typing comes from the event loop.
    QTimer::singleShot(0, [&folder] {
        auto* dialog = dynamic_cast<CXFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), "Save audio as MP3 or WAV file");
        dialog->setDirectory(folder.path());
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText("take1");
        static_cast<QDialog*>(dialog)->accept();
    });
    choice = runSaveAsDialog("Recording-20240102-030405");
    ASSERT_TRUE(choice.has_value());
    EXPECT_EQ(choice->path, QDir(folder.path()).filePath("take1.wav").toStdString());
    EXPECT_FALSE(choice->mp3);
}

// HOME for one test: the Music folder is found under it.
class ScopedHome {
  public:
    explicit ScopedHome(const QString& folder) {
        if (const char* old = std::getenv("HOME")) previous = old;
        setenv("HOME", folder.toLocal8Bit().constData(), 1);
    }
    ~ScopedHome() { setenv("HOME", previous.c_str(), 1); }

  private:
    std::string previous = "/root";
};

TEST_F(SaveAsDialog, OpensWhereTheLastRecordingWentElseInTheMusicFolderElseAtHome) {
    QTemporaryDir home;
    ScopedHome scopedHome(home.path());
    QDir(home.path()).mkdir("Music");
    QDir(home.path()).mkdir("takes");
    const QString music = QDir(home.path()).filePath("Music");
    const QString takes = QDir(home.path()).filePath("takes");
    rememberSaveFolder("/no-such-folder/x.wav");

    // Runs the dialog; the user looks where it opened, then saves `name` in `saveIn` (or
    // cancels when that is empty).
    auto run = [](const QString& saveIn, const QString& name) {
        QString opened;
        QTimer::singleShot(0, [&] {
            auto* dialog = dynamic_cast<CXFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            opened = dialog->directory().absolutePath();
            if (saveIn.isEmpty()) {
                static_cast<QDialog*>(dialog)->reject();
                return;
            }
            dialog->setDirectory(saveIn);
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(name);
            static_cast<QDialog*>(dialog)->accept();
        });
        runSaveAsDialog("Recording-20240102-030405");
        return opened;
    };
    EXPECT_EQ(run(takes, "one.wav"), music);
    EXPECT_EQ(run(QString(), QString()), takes);
    EXPECT_EQ(run(QString(), QString()), takes) << "a cancel keeps the folder";
    QDir(takes).removeRecursively();
    EXPECT_EQ(run(QString(), QString()), music);
    QDir(music).removeRecursively();
    EXPECT_EQ(run(QString(), QString()), QDir(home.path()).absolutePath());
}

TEST(RecordingName, IsBuiltFromTheLocalTimeAndTheExtensionCheckIgnoresCase) {
    std::tm local{};
    local.tm_year = 2024 - 1900;
    local.tm_mon = 0;
    local.tm_mday = 2;
    local.tm_hour = 3;
    local.tm_min = 4;
    local.tm_sec = 5;
    EXPECT_EQ(defaultRecordingName(local), "Recording-20240102-030405");
    EXPECT_TRUE(extensionMatches("/tmp/song.MP3", true));
    EXPECT_FALSE(extensionMatches("/tmp/song.mp4", true));
    EXPECT_FALSE(extensionMatches("/tmp/song.mp3", false));
    EXPECT_FALSE(extensionMatches("wav", false));
}

// ---- The record command of the window, over the real recorder and record thread ----

// The recorders' boxes, kept for the whole test process.
MessageBoxHost& recorderBoxes() {
    static RecordedBoxes* boxes = new RecordedBoxes;
    return *boxes;
}

// The program's recording side with a real recorder on its own record thread.
class TestRecording : public WindowWorkers, public RecordControl {
  public:
    TestRecording() { startRecordThread(recorder, thread); }
    bool startServer(ServerWindow&) override { return true; }
    bool startDiscovery() override { return true; }
    bool startRecord() override { return true; }
    void stopRecordTarget() override { recorder.setRecordTarget("", -1, 0, false, 0); }

    bool streamIs48k() const override { return is48k; }
    int loadMp3Encoder(MessageBoxHost& boxes) override {
        ++encoderLoads;
        if (!encoderLoads_ok) {
            boxes.ShowMessageBox("encoder missing");
            return -1;
        }
        return loadLameEncoder(boxes);
    }
    void setRecordTarget(const std::string& path, int fd, int sampleRate, bool mp3,
                         int kbps) override {
        targets.push_back({path, fd, sampleRate, mp3, kbps});
        recorder.setRecordTarget(path, fd, sampleRate, mp3, kbps);
    }

    // Queues `seconds` of a 1 kHz sine as the pipeline would, in 338-frame blocks.
    void feedTone(double seconds, int rate) {
        constexpr int kFrames = 338;
        int blocks = static_cast<int>(seconds * rate / kFrames);
        for (int b = 0; b < blocks; ++b) {
            auto pcm = std::make_unique<std::uint8_t[]>(kFrames * 4);
            auto* samples = reinterpret_cast<std::int16_t*>(pcm.get());
            for (int f = 0; f < kFrames; ++f) {
                double t = static_cast<double>(phase++) / rate;
                auto value = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * 1000 * t));
                samples[2 * f] = samples[2 * f + 1] = value;
            }
            while (!recorder.pushRecordBlock(pcm, kFrames * 4)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }

    struct Target {
        std::string path;
        int fd;
        int rate;
        bool mp3;
        int kbps;
    };
    Recorder recorder{recordLock, recorderBoxes()};
    WorkerThread thread;
    std::vector<Target> targets;
    bool is48k = true;
    bool encoderLoads_ok = true;
    int encoderLoads = 0;
    long phase = 0;
};

class RecordCommand : public ::testing::Test {
  protected:
    RecordCommand() {
        ResetSettingsToDefaults();
        SetInputSelect("");
        test::FakeAudioSystem::Device device;
        device.id = "speakers";
        device.flow = audio::DataFlow::Render;
        device.format = audio::FloatMixFormat(2, 48000, 3);
        device.properties.friendlyName = "Speakers";
        audio.addDevice(device);
        MainWindowSetup setup;
        setup.endpoints = &endpoints;
        setup.channels = &channels;
        setup.boxes = &boxes;
        setup.workers = &recording;
        setup.recording = &recording;
        setup.localAddressText = [] { return std::string(" 10.0.0.7"); };
        setup.exitProcess = [](int) {};
        setup.askSaveAs = [this](const std::string& name) -> std::optional<SaveAsChoice> {
            offeredNames.push_back(name);
            return answer;
        };
        window = std::make_unique<CQuaveLinkServerDlg>(setup);
        window->OnInitDialog();
        recordButton =
            static_cast<QAbstractButton*>(window->control(CQuaveLinkServerDlg::IDC_RECORD));
    }
    ~RecordCommand() override { window->StopRecording(); }

    std::string path(const char* name) const {
        return QDir(folder.path()).filePath(name).toStdString();
    }

    test::FakeAudioSystem audio;
    EndpointList endpoints{audio};
    ChannelSelection channels;
    RecordedBoxes boxes;
    TestRecording recording;
    QTemporaryDir folder;
    std::optional<SaveAsChoice> answer;
    std::vector<std::string> offeredNames;
    std::unique_ptr<CQuaveLinkServerDlg> window;
    QAbstractButton* recordButton = nullptr;
};

TEST_F(RecordCommand, AWavRecordingKeepsTheRateItStartedWithAndTheButtonStaysDown) {
    recording.is48k = false;
    answer = SaveAsChoice{path("take1.wav"), false, 160};
    recordButton->click();
    ASSERT_EQ(offeredNames.size(), 1u);
    EXPECT_EQ(offeredNames[0].rfind("Recording-", 0), 0u);
    EXPECT_EQ(offeredNames[0].size(), std::string("Recording-20240102-030405").size());
    EXPECT_TRUE(recordButton->isChecked());
    ASSERT_NE(window->recordFd, -1);
    EXPECT_TRUE(boxes.shown().empty());

    recording.is48k = true;  // the device changes while recording: the file does not
    recording.feedTone(1.0, 44100);
    // Pressing Record again neither opens a dialog nor interrupts the recording.
    recordButton->click();
    EXPECT_TRUE(recordButton->isChecked());
    EXPECT_EQ(offeredNames.size(), 1u);

    window->StopRecording();
    EXPECT_FALSE(recordButton->isChecked());
    EXPECT_EQ(window->recordFd, -1);
    std::string file = "'" + path("take1.wav") + "'";
    EXPECT_EQ(commandOutput("soxi -r " + file + " 2>&1"), "44100");
    EXPECT_EQ(commandOutput("soxi -c " + file + " 2>&1"), "2");
    EXPECT_EQ(commandOutput("soxi -s " + file + " 2>&1"), std::to_string(44100 / 338 * 338));
}

TEST_F(RecordCommand, AnMp3RecordingUnderAnOddExtensionIsWarnedAboutAndDecodes) {
    answer = SaveAsChoice{path("song.mp4"), true, 128};
    recordButton->click();
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0], kExtensionWarning);
    ASSERT_TRUE(recordButton->isChecked());
    ASSERT_EQ(recording.targets.size(), 1u);
    EXPECT_EQ(recording.targets[0].rate, 48000);
    EXPECT_EQ(recording.targets[0].kbps, 128);
    recording.feedTone(2.0, 48000);
    window->StopRecording();

    std::string decoded = path("decoded.wav");
    std::string decode =
        commandOutput("mpg123 -q -w '" + decoded + "' '" + path("song.mp4") + "' 2>&1; echo $?");
    EXPECT_EQ(decode, "0");
    EXPECT_EQ(commandOutput("soxi -r '" + decoded + "' 2>&1"), "48000");
    EXPECT_EQ(commandOutput("soxi -c '" + decoded + "' 2>&1"), "2");
    double seconds = std::atof(commandOutput("soxi -D '" + decoded + "' 2>&1").c_str());
    EXPECT_NEAR(seconds, 2.0, 0.15);
}

TEST_F(RecordCommand, TheCaptionAndTrayTipShowARunningRecording) {
    answer = SaveAsChoice{path("shown.wav"), false, 160};
    recordButton->click();
    ASSERT_TRUE(recordButton->isChecked());
    EXPECT_TRUE(window->windowTitle().endsWith(" (recording)"))
        << window->windowTitle().toStdString();
    EXPECT_EQ(window->TrayTip(), "Open QuaveLink Server (recording)");
    // The version caption gives way to the plain one; the mark stays.
    window->OnTimer();
    EXPECT_EQ(window->windowTitle(), "QuaveLink Server (recording)");
    window->StopRecording();
    EXPECT_EQ(window->windowTitle(), "QuaveLink Server");
    EXPECT_EQ(window->TrayTip(), "Open QuaveLink Server");
}

TEST_F(RecordCommand, RecordingsGetThePermissionsTheUmaskLeaves) {
    struct {
        mode_t umask;
        mode_t expected;
    } cases[] = {{022, 0644}, {077, 0600}, {002, 0664}};
    for (const auto& c : cases) {
        std::string file = path(("mode-" + std::to_string(c.umask) + ".wav").c_str());
        mode_t previous = umask(c.umask);
        answer = SaveAsChoice{file, false, 160};
        recordButton->click();
        umask(previous);
        ASSERT_TRUE(recordButton->isChecked());
        window->StopRecording();
        struct stat info {};
        ASSERT_EQ(stat(file.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, c.expected) << std::oct << c.umask;
    }
}

TEST_F(RecordCommand, CancelEncoderFailureAndAnUnwritablePathLeaveTheButtonUp) {
    answer.reset();
    recordButton->click();
    EXPECT_FALSE(recordButton->isChecked());

    recording.encoderLoads_ok = false;
    answer = SaveAsChoice{path("a.mp3"), true, 160};
    recordButton->click();
    EXPECT_FALSE(recordButton->isChecked());
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"encoder missing"});
    EXPECT_EQ(access(path("a.mp3").c_str(), F_OK), -1);  // nothing created

    boxes.clear();
    std::string unwritable = path("no-such-folder/b.wav");
    answer = SaveAsChoice{unwritable, false, 160};
    recordButton->click();
    EXPECT_FALSE(recordButton->isChecked());
    EXPECT_EQ(window->recordFd, -1);
    EXPECT_EQ(boxes.shown(),
              std::vector<std::string>{"Could not open file " + unwritable + " for writing"});
    EXPECT_TRUE(recording.targets.empty());
}

}  // namespace
}  // namespace quavelink
