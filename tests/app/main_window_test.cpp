#include "app/main_window.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QTest>
#include <memory>
#include <thread>

#include "app/log_console.h"
#include "capture/channel_selection.h"
#include "capture/endpoint_list.h"
#include "controls/colored_label.h"
#include "controls/peak_meter_widget.h"
#include "fake_audio_system.h"
#include "log_capture.h"
#include "server_harness.h"
#include "settings/settings.h"
#include "support/recorded_boxes.h"
#include "window_test_helpers.h"

namespace quavelink {
namespace {

using test::FakeAudioSystem;

class FakeWorkers : public WindowWorkers {
  public:
    bool startServer(ServerWindow&) override { return record("server", serverStarts); }
    bool startDiscovery() override { return record("discovery", discoveryStarts); }
    bool startRecord() override { return record("record", recordStarts); }
    void stopRecordTarget() override { calls.push_back("stop record target"); }

    bool serverStarts = true, discoveryStarts = true, recordStarts = true;
    std::vector<std::string> calls;

  private:
    bool record(const char* name, bool result) {
        calls.push_back(name);
        return result;
    }
};

using test::RecordedBoxes;

class MainWindow : public ::testing::Test {
  protected:
    MainWindow() {
        ResetSettingsToDefaults();
        SetInputSelect("");
        SetMinToTray(0);
    }

    void addDevice(const std::string& id, const std::string& name,
                   audio::DataFlow flow = audio::DataFlow::Render) {
        FakeAudioSystem::Device device;
        device.id = id;
        device.flow = flow;
        device.format = audio::FloatMixFormat(2, 48000, 3);
        device.properties.friendlyName = name;
        audio.addDevice(device);
    }

    CQuaveLinkServerDlg& open() {
        MainWindowSetup setup;
        setup.endpoints = &endpoints;
        setup.channels = &channels;
        setup.boxes = &boxes;
        setup.workers = &workers;
        setup.localAddressText = [this] {
            ++addressLookups;
            return std::string(" 10.0.0.7");
        };
        setup.exitProcess = [this](int status) { exits.push_back(status); };
        setup.console = consoleForWindow;
        window = std::make_unique<CQuaveLinkServerDlg>(setup);
        window->OnInitDialog();
        return *window;
    }

    QComboBox* endpointList() {
        return static_cast<QComboBox*>(window->control(CQuaveLinkServerDlg::IDC_INPUT_SELECT));
    }
    QStringList listTexts() {
        QStringList texts;
        for (int i = 0; i < endpointList()->count(); ++i) texts << endpointList()->itemText(i);
        return texts;
    }
    void choose(int index) {
        endpointList()->setCurrentIndex(index);
        endpointList()->activated(index);
    }
    CColorStatic* statusText() {
        return static_cast<CColorStatic*>(window->control(CQuaveLinkServerDlg::IDC_STATUS));
    }
    QString rateText() {
        return static_cast<QLabel*>(window->control(CQuaveLinkServerDlg::IDC_CAPTURE_RATE))->text();
    }
    QRadioButton* pairButton(int pair) {
        return static_cast<QRadioButton*>(
            window->control(CQuaveLinkServerDlg::IDC_PAIR_FRONT + pair));
    }
    std::vector<bool> pairButtonsShown() {
        std::vector<bool> shown;
        for (int pair = 0; pair < 4; ++pair) shown.push_back(!pairButton(pair)->isHidden());
        return shown;
    }

    FakeAudioSystem audio;
    EndpointList endpoints{audio};
    ChannelSelection channels;
    FakeWorkers workers;
    RecordedBoxes boxes;
    std::vector<int> exits;
    int addressLookups = 0;
    LogConsole* consoleForWindow = nullptr;
    std::unique_ptr<CQuaveLinkServerDlg> window;
};

TEST_F(MainWindow, ListsTheDefaultDeviceThenTheEndpointsAndPicksTheStoredOne) {
    addDevice("sink", "Speakers");
    addDevice("line1", "Line-In", audio::DataFlow::Capture);
    addDevice("line2", "Line-In", audio::DataFlow::Capture);
    SetInputSelect("Line-In");
    open();
    EXPECT_EQ(listTexts(),
              QStringList({"Default multimedia device", "Speakers", "Line-In", "Line-In"}));
    // Of two equal names the first wins.
    EXPECT_EQ(endpointList()->currentIndex(), 2);
    int index = -1;
    EXPECT_TRUE(window->TakeInputDeviceChange(index));
    EXPECT_EQ(index, 2);
    EXPECT_FALSE(window->TakeInputDeviceChange(index));
    EXPECT_EQ(index, 2);
}

TEST_F(MainWindow, StoredDefaultNameMatchesButOneCharacterOrAMissingNameGivesTheDefault) {
    addDevice("a", "A");
    addDevice("sink", "Speakers");
    SetInputSelect("Default multimedia device");
    open();
    EXPECT_EQ(endpointList()->currentIndex(), 0);

    SetInputSelect("A");
    open();
    EXPECT_EQ(endpointList()->currentIndex(), 0);

    SetInputSelect("Headphones");
    open();
    EXPECT_EQ(endpointList()->currentIndex(), 0);
    int index = -1;
    EXPECT_TRUE(window->TakeInputDeviceChange(index));
    EXPECT_EQ(index, 0);
}

TEST_F(MainWindow, WithoutASoundServerTheListHoldsTheDefaultDeviceUntilOneComes) {
    audio.fail("CreateDeviceEnumerator", audio::kErrorServiceNotRunning);
    addDevice("sink", "Speakers");
    addDevice("mic", "Microphone", audio::DataFlow::Capture);
    SetInputSelect("Microphone");
    open();
    EXPECT_EQ(listTexts(), QStringList({"Default multimedia device"}));
    int index = -1;
    EXPECT_TRUE(window->TakeInputDeviceChange(index));
    EXPECT_EQ(index, 0);
    EXPECT_TRUE(exits.empty());

    // The sound server comes up: the next tick lists its devices and takes the stored choice.
    audio.fail("CreateDeviceEnumerator", audio::kOk);
    window->OnTimer();
    EXPECT_EQ(listTexts(), QStringList({"Default multimedia device", "Speakers", "Microphone"}));
    EXPECT_EQ(endpointList()->currentIndex(), 2);
    EXPECT_TRUE(window->TakeInputDeviceChange(index));
    EXPECT_EQ(index, 2);
}

// A headset plugged in while the window runs is listed at once, after what was there; one that
// goes away stays listed but greyed, and neither moves the user's choice.
TEST_F(MainWindow, DevicesPluggedInAndOutAreListedAndTheChoiceStays) {
    addDevice("speakers", "Speakers");
    addDevice("mic", "Microphone", audio::DataFlow::Capture);
    open();
    choose(2);
    int index = -1;
    window->TakeInputDeviceChange(index);
    auto* model = qobject_cast<QStandardItemModel*>(endpointList()->model());
    ASSERT_NE(model, nullptr);

    addDevice("headset", "USB Headset");
    ASSERT_TRUE(test::runUntil([&] { return endpointList()->count() == 4; })) << "not listed";
    EXPECT_EQ(listTexts(),
              QStringList({"Default multimedia device", "Speakers", "Microphone", "USB Headset"}));
    audio.removeDevice("speakers");
    audio.removeDevice("mic");
    EXPECT_TRUE(test::runUntil([&] { return !model->item(1)->isEnabled(); }));
    EXPECT_TRUE(model->item(2)->isEnabled()) << "the chosen device stays choosable";
    EXPECT_TRUE(model->item(3)->isEnabled());
    EXPECT_EQ(endpointList()->currentIndex(), 2);
    EXPECT_FALSE(window->TakeInputDeviceChange(index)) << "the capture is not restarted";
    audio.restoreDevice("speakers");
    EXPECT_TRUE(test::runUntil([&] { return model->item(1)->isEnabled(); }));
}

TEST_F(MainWindow, AUserChoiceIsStoredAndTwoQuickChoicesAreHandedOverOnce) {
    addDevice("sink", "Speakers");
    addDevice("mic", "Microphone", audio::DataFlow::Capture);
    open();
    int index = -1;
    window->TakeInputDeviceChange(index);
    window->SetCaptureRateText(" 48.0 kHz");
    EXPECT_EQ(rateText(), " 48.0 kHz");

    choose(1);
    choose(2);
    EXPECT_EQ(rateText(), "");
    EXPECT_EQ(GetInputSelect(), "Microphone");
    EXPECT_TRUE(window->TakeInputDeviceChange(index));
    EXPECT_EQ(index, 2);
    EXPECT_FALSE(window->TakeInputDeviceChange(index));
}

TEST_F(MainWindow, WorkerFailures) {
    addDevice("sink", "Speakers");
    workers.discoveryStarts = false;
    workers.recordStarts = false;
    open();
    EXPECT_EQ(boxes.shown(), (std::vector<std::string>{"Could not create multicast receive thread",
                                                       "Could not create file record thread"}));
    EXPECT_EQ(workers.calls, (std::vector<std::string>{"server", "discovery", "record"}));
    EXPECT_TRUE(exits.empty());
    // Without discovery a choice is not stored.
    choose(1);
    EXPECT_EQ(GetInputSelect(), "");

    boxes.clear();
    workers.calls.clear();
    workers.serverStarts = false;
    open();
    EXPECT_EQ(boxes.shown(), std::vector<std::string>{"Could not create audio thread"});
    EXPECT_EQ(exits, std::vector<int>{-1});
    EXPECT_EQ(workers.calls, std::vector<std::string>{"server"});
}

TEST_F(MainWindow, StatusTextsAndColoursOnConnectNameAndDisconnect) {
    open();
    EXPECT_EQ(statusText()->text(), " Disconnected");
    EXPECT_EQ(statusText()->TextColor(), QColor(255, 64, 0));
    EXPECT_EQ(window->trayIconId(), 140);

    window->SetConnectionStatus(1, "");
    EXPECT_EQ(statusText()->text(), " Connected");
    EXPECT_EQ(statusText()->TextColor(), QColor(0, 160, 0));
    EXPECT_EQ(window->trayIconId(), 128);

    // Markup in a name from the network is shown as it is, never interpreted.
    window->SetConnectionStatus(1, "<b>Kitchen</b> & co");
    EXPECT_EQ(statusText()->text(), " Connected to <b>Kitchen</b> & co");
    EXPECT_EQ(statusText()->textFormat(), Qt::PlainText);

    window->SetConnectionStatus(0, nullptr);
    EXPECT_EQ(statusText()->text(), " Disconnected");
    EXPECT_EQ(statusText()->TextColor(), QColor(255, 64, 0));
    EXPECT_EQ(window->trayIconId(), 140);
}

TEST_F(MainWindow, HeadingsStandOverTheirFramesWhichCloseUpWhileNoChannelPairIsOffered) {
    open();
    auto heading = [this](const QString& text) -> QLabel* {
        for (QLabel* label : window->findChildren<QLabel*>()) {
            if (label->text() == text) return label;
        }
        return nullptr;
    };
    QWidget* mixerFrame = window->control(CQuaveLinkServerDlg::IDC_MIXER_GROUP);
    QWidget* levelFrame = window->control(CQuaveLinkServerDlg::IDC_LEVEL_GROUP);
    QWidget* recordFrame = window->control(CQuaveLinkServerDlg::IDC_RECORD_GROUP);
    const struct {
        const char* text;
        QWidget* frame;
        bool centred;
    } columns[] = {{"Audio Output", mixerFrame, false},
                   {"Level", levelFrame, true},
                   {"Record to File", recordFrame, true}};
    for (const auto& column : columns) {
        QLabel* label = heading(column.text);
        ASSERT_NE(label, nullptr) << column.text;
        EXPECT_TRUE(column.frame->geometry().contains(label->geometry())) << column.text;
        if (column.centred) {
            EXPECT_NEAR(label->geometry().center().x(), column.frame->geometry().center().x(), 1)
                << column.text;
        }
    }
    ASSERT_NE(heading("Audio Input"), nullptr);
    EXPECT_TRUE(heading("Audio Input")->isHidden()) << "no input controls under it";

    // Stereo: the frames stand just under the capture rate line, not under the hidden pair row.
    QWidget* rateText = window->control(CQuaveLinkServerDlg::IDC_CAPTURE_RATE);
    QWidget* front = window->control(CQuaveLinkServerDlg::IDC_PAIR_FRONT);
    const int stereoTop = levelFrame->y();
    const int stereoHeight = window->height();
    EXPECT_GT(stereoTop, rateText->geometry().bottom());
    EXPECT_LT(stereoTop, front->geometry().bottom());

    // Six channels: the pair buttons appear and everything below them moves down with the
    // window's height; back to stereo, it all moves up again.
    channels.captureChannelCount.store(6);
    window->RefreshStatusDisplay();
    EXPECT_FALSE(front->isHidden());
    EXPECT_GT(levelFrame->y(), front->geometry().bottom());
    EXPECT_EQ(levelFrame->y() - stereoTop, window->height() - stereoHeight);
    EXPECT_GT(window->height(), stereoHeight);
    EXPECT_TRUE(levelFrame->geometry().contains(heading("Level")->geometry()));
    channels.captureChannelCount.store(2);
    window->RefreshStatusDisplay();
    EXPECT_EQ(levelFrame->y(), stereoTop);
    EXPECT_EQ(window->height(), stereoHeight);
}

TEST_F(MainWindow, AClientNameFromTheNetworkIsShownAndLoggedAsOneLineOfPlainText) {
    open();
    test::LogCapture log;
    test::ServerHarness harness(*window);
    auto client = harness.connect(1);
    client->sendDataRequest(
        0, "<b>x</b><img src=http://example.invalid/a.png>\x1b[2J\r\nme\t\x7f\xff" +
               std::string(300, 'n'));
    ASSERT_TRUE(harness.stepUntil({client.get()},
                                  [&] { return harness.server.sessions().slots()[0].streaming; }));

    const std::string shown =
        " Connected to <b>x</b><img src=http://example.invalid/a.png>?[2J??me???" +
        std::string(198, 'n');
    EXPECT_EQ(statusText()->text().toStdString(), shown);
    EXPECT_EQ(log.count("Status:" + shown + "\n"), 1);
    // Too long for the box: cut with an ellipsis, the whole of it in the tooltip, as text.
    EXPECT_TRUE(static_cast<CColorStatic*>(statusText())->ShownText().endsWith(QChar(0x2026)));
    EXPECT_EQ(statusText()->toolTip(),
              "<qt>" + QString::fromStdString(shown).toHtmlEscaped() + "</qt>");
    // No label that shows any of it interprets markup, and nothing else takes it up.
    for (const QLabel* label : window->findChildren<QLabel*>()) {
        if (label->text().contains("<b>")) {
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
        }
    }
    EXPECT_EQ(window->TrayTip(), "Open QuaveLink Server");
    EXPECT_FALSE(window->windowTitle().contains("<b>"));
}

TEST_F(MainWindow, CallsFromAWorkerReachTheWidgetsOnlyThroughTheGuiThreadInOrder) {
    open();
    std::string name = "phone";
    std::thread worker([&] {
        window->SetConnectionStatus(1, "");
        window->SetConnectionStatus(2, name.c_str());
        window->SetCaptureRateText(" 44.1 kHz");
        window->SetCaptureRateColor(0x00B07070);
    });
    worker.join();
    name = "overwritten";  // the window copied the caller's text
    EXPECT_EQ(statusText()->text(), " Disconnected");
    EXPECT_EQ(rateText(), "");

    QCoreApplication::processEvents();
    EXPECT_EQ(statusText()->text(), " Connected to phone (2)");
    EXPECT_EQ(rateText(), " 44.1 kHz");
    auto* rate = static_cast<CColorStatic*>(window->control(CQuaveLinkServerDlg::IDC_CAPTURE_RATE));
    EXPECT_EQ(rate->TextColor(), QColor(0x70, 0x70, 0xB0));
}

TEST_F(MainWindow, WhyNoCaptureRunsStandsInTheRatesPlaceUntilItRunsAgain) {
    open();
    window->SetCaptureRateText("");
    window->SetCaptureStatus("No sound server");
    QCoreApplication::processEvents();
    EXPECT_EQ(rateText(), " No sound server");
    auto* rate = static_cast<CColorStatic*>(window->control(CQuaveLinkServerDlg::IDC_CAPTURE_RATE));
    EXPECT_EQ(rate->TextColor(), QColor(0xFF, 0x40, 0x00));

    window->SetCaptureStatus("");
    window->SetCaptureRateText(" 48.0 kHz");
    window->SetCaptureRateColor(0x00B07070);
    QCoreApplication::processEvents();
    EXPECT_EQ(rateText(), " 48.0 kHz");
    EXPECT_EQ(rate->TextColor(), QColor(0x70, 0x70, 0xB0));
}

TEST_F(MainWindow, PairButtonsFollowTheChannelCount) {
    channels.channelPairIndex = 3;
    open();
    EXPECT_EQ(pairButtonsShown(), std::vector<bool>({false, false, false, false}));
    EXPECT_EQ(channels.channelPairIndex, 3);  // two channels leave the choice alone

    channels.captureChannelCount = 8;
    window->OnTimer();
    EXPECT_EQ(pairButtonsShown(), std::vector<bool>({true, true, true, true}));
    EXPECT_TRUE(pairButton(3)->isChecked());

    channels.captureChannelCount = 6;
    window->OnTimer();
    EXPECT_EQ(pairButtonsShown(), std::vector<bool>({true, true, true, false}));
    EXPECT_EQ(channels.channelPairIndex, 0);
    EXPECT_TRUE(pairButton(0)->isChecked());

    pairButton(2)->click();
    EXPECT_EQ(channels.channelPairIndex, 2);
    channels.captureChannelCount = 2;
    window->OnTimer();
    EXPECT_EQ(pairButtonsShown(), std::vector<bool>({false, false, false, false}));
    EXPECT_EQ(channels.channelPairIndex, 2);
}

TEST_F(MainWindow, AddressEveryThirdRefreshAndTheVersionCaptionForTheFirstTick) {
    open();
    auto* address = static_cast<QLabel*>(window->control(CQuaveLinkServerDlg::IDC_SERVER_ADDRESS));
    EXPECT_EQ(address->text(), " 10.0.0.7");
    EXPECT_EQ(window->windowTitle(), "QuaveLink Server v2.1 (Linux)");
    window->OnTimer();
    EXPECT_EQ(window->windowTitle(), "QuaveLink Server");
    window->OnTimer();
    window->OnTimer();
    EXPECT_EQ(addressLookups, 2);
}

TEST_F(MainWindow, EscapeNeverClosesTheCloseBoxFinishesTheRecordingFirst) {
    open();
    window->show();
    QTest::keyClick(window.get(), Qt::Key_Escape);
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->isVisible());

    int fd = ::open("/dev/null", O_WRONLY);
    ASSERT_NE(fd, -1);
    window->recordFd = fd;
    auto* record = static_cast<QAbstractButton*>(window->control(CQuaveLinkServerDlg::IDC_RECORD));
    record->setChecked(true);
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), CQuaveLinkServerDlg::kCancelResult);
    EXPECT_EQ(workers.calls.back(), "stop record target");
    EXPECT_EQ(window->recordFd, -1);
    EXPECT_FALSE(record->isChecked());
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor was closed
}

TEST_F(MainWindow, CtrlPFeedsTheMeterAndCtrlDTogglesTheLogWindow) {
    LogConsole console;
    consoleForWindow = &console;
    open();
    window->show();
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto* meter = static_cast<CPeakMeterCtrl*>(window->control(CQuaveLinkServerDlg::IDC_METER));
    meter->Stop();  // ticks by hand from here, so no timer tick falls between the two values
    QTest::keyClick(window.get(), Qt::Key_P, Qt::ControlModifier);
    meter->Tick();
    std::vector<BandState> bands = meter->Bands();
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_EQ(bands[0].target, 32768);
    EXPECT_EQ(bands[1].target, 16384);

    EXPECT_FALSE(console.isShown());
    QTest::keyClick(window.get(), Qt::Key_D, Qt::ControlModifier);
    EXPECT_TRUE(console.isShown());
    QApplication::setActiveWindow(window.get());
    QTest::keyClick(window.get(), Qt::Key_D, Qt::ControlModifier);
    EXPECT_FALSE(console.isShown());
}

}  // namespace
}  // namespace quavelink
