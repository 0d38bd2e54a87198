#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/record_command.h"
#include "app/status_display.h"
#include "app/tray_dialog.h"
#include "server/input_device_choice.h"
#include "server/server_window.h"

class QAction;
class QButtonGroup;
class QComboBox;
class QLabel;
class QMenu;
class QRadioButton;
class QTimer;

namespace quavelink {

class CColorStatic;
class CPeakMeterCtrl;
class CxGroupBox;
class AppVersionCheckHost;
class CxSkinButton;
class EndpointList;
class EndpointWatch;
class GlobalHotkeys;
class LogConsole;
class MixerSystem;
class WindowMixers;
struct ChannelSelection;

//! The worker threads and the recorder as the window starts and stops them.
class WindowWorkers {
  public:
    virtual ~WindowWorkers() = default;
    //! Main thread, once each, in this order, from the window's initialisation. Each returns
    //! false when its thread could not be created. `window` gets the server's reports and must
    //! live as long as the process.
    virtual bool startServer(ServerWindow& window) = 0;
    virtual bool startDiscovery() = 0;
    virtual bool startRecord() = 0;
    //! Main thread: finishes the file being recorded (the caller then closes its descriptor).
    virtual void stopRecordTarget() = 0;
};

//! What the window is built from. Everything pointed to must outlive the window.
struct MainWindowSetup {
    EndpointList* endpoints = nullptr;  //!< the names for the endpoint list
    ChannelSelection* channels = nullptr;
    MessageBoxHost* boxes = nullptr;  //!< where ShowMessageBox goes
    WindowWorkers* workers = nullptr;
    LogConsole* console = nullptr;  //!< null without the console switch
    MixerSystem* mixers = nullptr;  //!< the system mixer; null: no mixer controls
    //! The local address text (" 192.168.1.5", " (Unknown)", or empty). Main thread.
    std::function<std::string()> localAddressText;
    //! Ends the process at once with `status`; the default flushes the streams and exits.
    std::function<void(int status)> exitProcess;
    //! Starts and stops recordings; null: the record button stays up.
    RecordControl* recording = nullptr;
    //! The save-as dialog; the default runs CXFileDialog.
    SaveAsPrompt askSaveAs;
    //! The version check's view of the window; null: no version check.
    AppVersionCheckHost* versionHost = nullptr;
    //! The desktop's hot keys; null: CreateSystemHotkeys().
    std::function<std::unique_ptr<GlobalHotkeys>()> makeHotkeys;
};

//! The program's one window: lists the capture endpoints, hands the choice to the server
//! thread, starts the workers and shows what they report. Its controls sit at the positions of
//! the 320 x 200 template, converted from the template font.
//!
//! The ServerWindow calls may come from any thread: status and rate texts are carried to the
//! GUI thread in order; meter values go straight into the meter's own lock; message boxes go to
//! the MessageBoxHost. Once its workers run, the window must live until the process ends.
class CQuaveLinkServerDlg : public CTrayDialog, public ServerWindow {
  public:
    //! Control ids of the template.
    enum ControlId {
        IDC_MUTE_TEMPLATE = 1000,
        IDC_SERVER_ADDRESS = 1002,
        IDC_STATUS = 1003,
        IDC_HEADINGS = 1004,
        IDC_LABEL_TEMPLATE = 1005,
        IDC_BALANCE_LABEL_TEMPLATE = 1006,
        IDC_BALANCE_TEMPLATE = 1007,
        IDC_VOLUME_LABEL_TEMPLATE = 1008,
        IDC_VOLUME_TEMPLATE = 1009,
        IDC_INPUT_SELECT = 1010,
        IDC_INPUT_SOURCE = 1011,
        IDC_MIXER_GROUP = 1012,
        IDC_METER = 1013,
        IDC_INPUT_SELECT_LABEL = 1014,
        IDC_CAPTURE_RATE = 1015,
        IDC_PICTURE = 1016,
        IDC_LEVEL_GROUP = 1017,
        IDC_RECORD_GROUP = 1018,
        IDC_STOP = 1022,
        IDC_RECORD = 1023,
        IDC_MINIMIZE_TO = 1026,
        IDC_PAIR_FRONT = 1030,
        IDC_PAIR_CENTER_LFE = 1031,
        IDC_PAIR_SIDE = 1032,
        IDC_PAIR_BACK = 1033,
    };

    //! Result of the modal run after the close box.
    static constexpr int kCancelResult = 2;
    //! The window caption once the version caption has been shown.
    static constexpr char kCaption[] = "QuaveLink Server";
    //! The tray tip.
    static constexpr char kTrayTip[] = "Open QuaveLink Server";
    //! Added to the caption and the tray tip while a recording runs.
    static constexpr char kRecordingMark[] = " (recording)";

    explicit CQuaveLinkServerDlg(const MainWindowSetup& setup, QWidget* parent = nullptr);
    ~CQuaveLinkServerDlg() override;

    //! Main thread, once: settings, endpoint list, meter, status, the 3-second timer, the
    //! worker threads, the version caption. A server thread that cannot be created ends the
    //! process.
    void OnInitDialog();
    //! OnInitDialog, then the modal run; returns its result (kCancelResult after the close box).
    int DoModal();

    // ServerWindow; any thread.
    void SetConnectionStatus(int connectedCount, const char* clientName) override;
    bool TakeInputDeviceChange(int& index) override;
    void SetCaptureRateText(const std::string& text) override;
    void SetCaptureRateColor(std::uint32_t colorRef) override;
    void SetCaptureStatus(const std::string& reason) override;
    void SetMeterData(const int* values, int first, int count) override;
    void ShowMessageBox(const std::string& text) override;

    // Handlers, main thread.
    //! The user (or initialisation) chose an endpoint in the list.
    void OnInputDeviceChanged();
    //! Stop button, and closing: lets the record button up and finishes a running recording.
    void StopRecording();
    //! Local address every third call; pair buttons when the channel count changed.
    void RefreshStatusDisplay();
    //! Tick of the 3-second timer: RefreshStatusDisplay, then the caption reset.
    void OnTimer();
    void OnChannelPairClicked();
    void OnMinimizeToChanged();
    //! Ctrl+P: full and half scale into the meter, then a quarter of those.
    void MeterTest();
    //! Ctrl+D: shows or hides the log window when the console switch is on.
    void ToggleConsole();
    void ShowAboutBox();
    //! Record button: asks for a file and starts recording into it; while recording the
    //! button stays pressed.
    void OnRecordClicked();
    //! The "Enable Global Hotkeys" menu entry: flips and stores the setting, and claims or
    //! gives back the keys.
    void OnHotkeysToggled();
    //! A global hot key (its id) was pressed.
    void OnHotKey(int id);

    //! The control with a template id, or null.
    QWidget* control(int id) const;
    //! The context menu that stands in for the title-bar menu; hot key and other entries go in
    //! front of its About entry.
    QMenu* systemMenu() const { return sysMenu; }
    //! 128 while a client is connected, 140 while none is: the tray icon to show.
    int trayIconId() const { return currentTrayIconId; }
    //! The mixer set, the mixer-bound control groups and the recording-source list; null until
    //! OnInitDialog.
    WindowMixers* mixerControls() const { return windowMixers.get(); }
    //! Whether the global hot keys act (from the stored setting).
    bool hotkeysOn() const { return hotkeysEnabled; }
    //! Descriptor of the file being recorded, -1 when none; the record command sets it and
    //! StopRecording closes it.
    int recordFd = -1;

  protected:
    //! The close box: stops a recording, then ends the modal run. Escape never gets here.
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void buildControls();
    void fillEndpointList();
    //! Brings the list in step with the endpoint list: names changed in place, new devices
    //! appended, absent ones greyed out (unless chosen). Returns the first entry that bears
    //! the stored choice while that is still to be made, else -1.
    int syncEndpointList();
    //! Any thread: a device came, went or changed; the list is refreshed on the GUI thread.
    void queueEndpointRefresh();
    void refreshEndpoints();
    //! Whether endpoint list entry `index` is captured from a playback device's monitor.
    bool rendersAt(int index);
    //! The mixer set was built after start-up: maps the listed endpoints to it and binds the
    //! controls of the current choice, without choosing the endpoint again.
    void bindLateMixers();
    void applyConnectionStatus(int connectedCount, const std::optional<std::string>& name);
    void applyCaptureRateText(const std::string& text);
    //! Runs `work` on the GUI thread: now when called there, else queued in call order.
    void onGuiThread(std::function<void()> work);
    void place(QWidget* widget, int x, int y, int width, int height);
    //! System menu entries, tray icon and tip, hot keys: from OnInitDialog.
    void initTrayMenuAndHotkeys();
    //! Centres each column heading over its column; "Audio Input" only while there are input
    //! controls.
    void placeHeadings();
    //! Moves the frames and everything below them up over the band of the channel pair
    //! buttons (`overPairBand`), or back down to their template places; the window follows.
    void moveLowerSection(bool overPairBand);
    //! Claims the global hot keys while they are enabled and gives them back while not.
    void claimHotkeys();
    //! The menu's hot key entries as far as the desktop lets the keys reach.
    void showHotkeyReach();
    void startVersionCheck();
    //! Caption and tray tip for the version caption's time and the recording state.
    void applyCaption();
    void showRecording(bool running);

    MainWindowSetup setup;
    InputDeviceChoice inputChoice;
    std::unique_ptr<WindowMixers> windowMixers;

    std::map<int, QWidget*> controls;
    CColorStatic* statusText = nullptr;
    CColorStatic* captureRateText = nullptr;
    QLabel* addressText = nullptr;
    QComboBox* inputSelect = nullptr;
    QComboBox* inputSource = nullptr;
    QComboBox* minimizeTo = nullptr;
    CPeakMeterCtrl* meter = nullptr;
    CxSkinButton* recordButton = nullptr;
    CxSkinButton* stopButton = nullptr;
    std::array<QRadioButton*, 4> pairButtons{};
    //! "Audio Output", "Audio Input", "Level", "Record to File".
    std::array<QLabel*, 4> headings{};
    int lowerSectionTop = 0;    // px, at the template places
    int pairBandHeight = 0;     // px
    int lowerSectionShift = 0;  // px, 0 or -pairBandHeight
    QButtonGroup* pairGroup = nullptr;
    QMenu* sysMenu = nullptr;
    QAction* hotkeysAction = nullptr;
    QAction* hotkeysReachAction = nullptr;
    std::unique_ptr<GlobalHotkeys> hotkeys;
    QTimer* statusTimer = nullptr;

    //! The endpoint names as listed, as bytes: what InputSelect stores and is compared with.
    std::vector<std::string> endpointNames;
    //! The stored choice, while it has not been listed yet (the sound server came up late, the
    //! device is not plugged in) and the user has chosen nothing else.
    std::string storedChoice;
    bool storedChoicePending = false;
    std::unique_ptr<EndpointWatch> endpointWatch;
    std::atomic<bool> endpointRefreshQueued{false};
    bool discoveryThreadStarted = false;
    bool hotkeysEnabled = true;
    int currentTrayIconId = 140;

    std::string versionText;
    int lastChannelCount = 0;
    int refreshCount = 0;
    bool titleResetPending = true;
    bool recordingShown = false;
    ConnectionStatus connectionStatus;  // GUI thread
};

}  // namespace quavelink
