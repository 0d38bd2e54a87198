#include "app/main_window.h"

#include <unistd.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSlider>
#include <QStandardItemModel>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/dialog_units.h"
#include "app/hot_keys.h"
#include "app/log_console.h"
#include "capture/channel_selection.h"
#include "capture/endpoint_list.h"
#include "capture/endpoint_watch.h"
#include "controls/colored_label.h"
#include "controls/colors.h"
#include "controls/group_box.h"
#include "controls/peak_meter_widget.h"
#include "controls/skin_button.h"
#include "mixer/control_group.h"
#include "mixer/window_mixers.h"
#include "platform/hand_off.h"
#include "platform/log.h"
#include "platform/utf8_cut.h"
#include "resources/resources.h"
#include "server/client_name.h"
#include "settings/settings.h"

namespace quavelink {
namespace {

constexpr int kStatusTimerMs = 3000;
// Top of the frames in dialog units, and where they move while no channel pair is offered.
constexpr int kLowerSectionTop = 77;
constexpr int kCollapsedSectionTop = 59;
// The list keeps at most 255 bytes of a name.
constexpr std::size_t kMaxListTextBytes = 255;

// The meter of this window: two columns of 27 LEDs on the 0..32768 scale of the pipeline.
constexpr int kMeterBands = 2;
constexpr int kMeterLeds = 27;
constexpr int kMeterLow = 26214;
constexpr int kMeterMedium = 32160;
constexpr int kMeterFullScale = 32768;
constexpr std::chrono::milliseconds kMeterPeriod{66};

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

void makeSunken(QLabel* label) {
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

SkinImages skin(int normal, int pressed, QImage (*load)(int) = LoadBitmapResource) {
    SkinImages images;
    images.normal = load(normal);
    images.pressed = load(pressed);
    images.disabled = images.normal;
    images.pressedDisabled = images.pressed;
    return images;
}

void exitAtOnce(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace

CQuaveLinkServerDlg::CQuaveLinkServerDlg(const MainWindowSetup& setupIn, QWidget* parent)
    : CTrayDialog(parent), setup(setupIn) {
    if (!setup.localAddressText) setup.localAddressText = GetLocalAddressText;
    if (!setup.exitProcess) setup.exitProcess = exitAtOnce;
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(kCaption));
    buildControls();

    auto* consoleKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_D), this);
    connect(consoleKey, &QShortcut::activated, this, [this] { ToggleConsole(); });
    auto* meterKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_P), this);
    connect(meterKey, &QShortcut::activated, this, [this] { MeterTest(); });

    sysMenu = new QMenu(this);
    sysMenu->addAction(QStringLiteral("&About QuaveLink Server..."), this,
                       [this] { ShowAboutBox(); });

    statusTimer = new QTimer(this);
    statusTimer->setInterval(kStatusTimerMs);
    connect(statusTimer, &QTimer::timeout, this, [this] { OnTimer(); });
}

CQuaveLinkServerDlg::~CQuaveLinkServerDlg() = default;

void CQuaveLinkServerDlg::place(QWidget* widget, int x, int y, int width, int height) {
    widget->setGeometry(dialogRect(dialogBaseUnits(font()), x, y, width, height));
}

void CQuaveLinkServerDlg::buildControls() {
    setFont(QFont(QStringLiteral("Arial"), 10));
    DialogBaseUnits units = dialogBaseUnits(font());
    QRect client = dialogRect(units, 0, 0, 320, 200);
    setFixedSize(client.size());

    auto add = [this](int id, QWidget* widget) {
        controls[id] = widget;
        widget->setObjectName(QStringLiteral("control%1").arg(id));
        return widget;
    };

    // Frames first, so that everything inside them is drawn over them.
    auto* mixerGroup = new CxGroupBox(this);
    add(IDC_MIXER_GROUP, mixerGroup);
    place(mixerGroup, 8, 77, 138, 117);
    auto* levelGroup = new CxGroupBox(this);
    add(IDC_LEVEL_GROUP, levelGroup);
    place(levelGroup, 160, 77, 45, 117);
    auto* recordGroup = new CxGroupBox(this);
    add(IDC_RECORD_GROUP, recordGroup);
    place(recordGroup, 220, 77, 83, 48);
    // A sunken panel just around the meter: the template's wider frame left a blank strip
    // above the LEDs.
    auto* meterFrame = new QFrame(this);
    meterFrame->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    recordButton = new CxSkinButton(this);
    add(IDC_RECORD, recordButton);
    recordButton->setCheckable(true);
    place(recordButton, 264, 95, 17, 14);
    recordButton->SetSkin(skin(kBitmapRecord, kBitmapRecordDown), CxSkinButton::kMaskFromNormal, 0,
                          false, 0);
    recordButton->SetFineFaces(skin(kBitmapRecord, kBitmapRecordDown, LoadFineBitmapResource));
    recordButton->setToolTip(QStringLiteral("Record to file"));
    connect(recordButton, &QAbstractButton::clicked, this, [this] { OnRecordClicked(); });

    stopButton = new CxSkinButton(this);
    add(IDC_STOP, stopButton);
    place(stopButton, 232, 95, 17, 14);
    stopButton->SetSkin(skin(kBitmapStop, kBitmapStopDown), CxSkinButton::kMaskFromNormal, 0, false,
                        0);
    stopButton->SetFineFaces(skin(kBitmapStop, kBitmapStopDown, LoadFineBitmapResource));
    stopButton->setToolTip(QStringLiteral("Stop recording"));
    connect(stopButton, &QAbstractButton::clicked, this, [this] { StopRecording(); });

    inputSelect = new QComboBox(this);
    add(IDC_INPUT_SELECT, inputSelect);
    place(inputSelect, 177, 29, 124, 12);
    inputSelect->resize(inputSelect->width(), inputSelect->sizeHint().height());
    connect(inputSelect, &QComboBox::activated, this, [this] {
        storedChoicePending = false;
        OnInputDeviceChanged();
    });

    inputSource = new QComboBox(this);
    add(IDC_INPUT_SOURCE, inputSource);
    place(inputSource, 177, 57, 124, 12);
    inputSource->resize(inputSource->width(), inputSource->sizeHint().height());

    minimizeTo = new QComboBox(this);
    add(IDC_MINIMIZE_TO, minimizeTo);
    minimizeTo->addItems(
        {QStringLiteral("Tray"), QStringLiteral("Tray on Start"), QStringLiteral("Task Bar")});
    place(minimizeTo, 257, 3, 58, 12);
    minimizeTo->resize(minimizeTo->width(), minimizeTo->sizeHint().height());
    connect(minimizeTo, &QComboBox::activated, this, [this] { OnMinimizeToChanged(); });

    // Hidden templates: the mixer controls are laid out after them.
    auto* volumeTemplate = new QSlider(Qt::Vertical, this);
    add(IDC_VOLUME_TEMPLATE, volumeTemplate);
    place(volumeTemplate, 29, 111, 27, 63);
    auto* muteTemplate = new QCheckBox(QStringLiteral("Mute"), this);
    add(IDC_MUTE_TEMPLATE, muteTemplate);
    place(muteTemplate, 29, 176, 33, 10);

    meter = new CPeakMeterCtrl(this);
    add(IDC_METER, meter);
    place(meter, 176, 103, 14, 81);
    const int frameWidth = meterFrame->frameWidth();
    meterFrame->setGeometry(
        meter->geometry().adjusted(-frameWidth, -frameWidth, frameWidth, frameWidth));

    auto* okButton = new QPushButton(QStringLiteral("OK"), this);
    place(okButton, 255, 23, 50, 14);
    okButton->setEnabled(false);
    okButton->hide();
    auto* cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    place(cancelButton, 260, 23, 50, 14);
    cancelButton->hide();
    cancelButton->setAutoDefault(false);

    place(plainLabel(QStringLiteral("Server Address:"), this), 3, 16, 56, 13);
    addressText = plainLabel(QString(), this);
    add(IDC_SERVER_ADDRESS, addressText);
    makeSunken(addressText);
    place(addressText, 65, 16, 90, 13);

    place(plainLabel(QStringLiteral("Status:"), this), 3, 32, 56, 13);
    statusText = new CColorStatic(QStringLiteral(" Disconnected"), this);
    add(IDC_STATUS, statusText);
    makeSunken(statusText);
    place(statusText, 65, 32, 90, 13);

    // One heading per column, each centred over what it names (placeHeadings): one line of
    // text padded with blanks lines up with the columns in the font it was measured in only.
    const char* headingTexts[4] = {"Audio Output", "Audio Input", "Level", "Record to File"};
    QFont bold = font();
    bold.setWeight(QFont::Bold);
    for (int i = 0; i < 4; ++i) {
        headings[i] = plainLabel(QString::fromLatin1(headingTexts[i]), this);
        headings[i]->setFont(bold);
        headings[i]->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        place(headings[i], 19, 84, 294, 8);
    }
    add(IDC_HEADINGS, headings[0]);

    const struct {
        int id;
        const char* text;
        int x, y, width, height;
    } hiddenLabels[] = {
        {IDC_LABEL_TEMPLATE, "Label", 11, 99, 61, 8},
        {IDC_BALANCE_LABEL_TEMPLATE, "Balance", 28, 81, 36, 8},
        {IDC_VOLUME_LABEL_TEMPLATE, "Volume", 29, 102, 33, 8},
    };
    for (const auto& spec : hiddenLabels) {
        QLabel* label = plainLabel(QString::fromLatin1(spec.text), this);
        add(spec.id, label);
        place(label, spec.x, spec.y, spec.width, spec.height);
    }
    auto* balanceTemplate = new QSlider(Qt::Horizontal, this);
    add(IDC_BALANCE_TEMPLATE, balanceTemplate);
    place(balanceTemplate, 26, 92, 31, 15);

    auto* inputLabel = plainLabel(QStringLiteral("Input Select:"), this);
    add(IDC_INPUT_SELECT_LABEL, inputLabel);
    place(inputLabel, 178, 19, 55, 8);

    captureRateText = new CColorStatic(QStringLiteral("Audio Source:"), this);
    add(IDC_CAPTURE_RATE, captureRateText);
    captureRateText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(captureRateText, 178, 47, 54, 8);

    auto* picture = new QLabel(this);
    add(IDC_PICTURE, picture);
    picture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    picture->setAlignment(Qt::AlignCenter);
    place(picture, 216, 133, 93, 61);
    QImage image = LoadBitmapResource(kBitmapPicture);
    if (!image.isNull()) {
        // Filled to the frame and cut at the middle: a picture of another shape fitted inside
        // would leave bands of the window's grey in the frame.
        QSize inside = picture->contentsRect().size();
        QImage filled =
            image.scaled(inside, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        picture->setPixmap(QPixmap::fromImage(filled.copy((filled.width() - inside.width()) / 2,
                                                          (filled.height() - inside.height()) / 2,
                                                          inside.width(), inside.height())));
    }

    place(plainLabel(QStringLiteral("Minimize to"), this), 216, 5, 39, 8);

    pairGroup = new QButtonGroup(this);
    const char* pairTexts[4] = {"Front L/R", "Fr C/LFE", "Side L/R", "Back L/R"};
    const int pairX[4] = {9, 59, 109, 159};
    const int pairWidth[4] = {47, 46, 45, 47};
    for (int i = 0; i < 4; ++i) {
        pairButtons[i] = new QRadioButton(QString::fromLatin1(pairTexts[i]), this);
        add(IDC_PAIR_FRONT + i, pairButtons[i]);
        place(pairButtons[i], pairX[i], 62, pairWidth[i], 10);
        pairGroup->addButton(pairButtons[i], i);
    }
    connect(pairGroup, &QButtonGroup::idClicked, this, [this] { OnChannelPairClicked(); });

    // The band between the status lines and the frames holds the channel pair buttons; with
    // them hidden it would stay empty, so the frames and all below them move up over it.
    lowerSectionTop = dialogRect(units, 0, kLowerSectionTop, 1, 1).top();
    pairBandHeight = lowerSectionTop - dialogRect(units, 0, kCollapsedSectionTop, 1, 1).top();

    for (int id : {IDC_INPUT_SOURCE, IDC_VOLUME_TEMPLATE, IDC_MUTE_TEMPLATE, IDC_LABEL_TEMPLATE,
                   IDC_BALANCE_LABEL_TEMPLATE, IDC_BALANCE_TEMPLATE, IDC_VOLUME_LABEL_TEMPLATE,
                   IDC_PAIR_FRONT, IDC_PAIR_CENTER_LFE, IDC_PAIR_SIDE, IDC_PAIR_BACK}) {
        controls[id]->hide();
    }
}

QWidget* CQuaveLinkServerDlg::control(int id) const {
    auto found = controls.find(id);
    return found == controls.end() ? nullptr : found->second;
}

void CQuaveLinkServerDlg::OnInitDialog() {
    int pair = setup.channels->channelPairIndex.load();
    if (pair >= 0 && pair < 4) pairButtons[pair]->setChecked(true);

    LoadSettings();
    hotkeysEnabled = GetEnableHotkeys();
    initTrayMenuAndHotkeys();

    QIcon icon = LoadIconResource(kIconMain);
    if (!icon.isNull()) setWindowIcon(icon);

    int minToTray = GetMinToTray();
    minimizeTo->setCurrentIndex(minToTray >= 0 && minToTray <= 2 ? minToTray : -1);

    ControlTemplates templates;
    templates.label = static_cast<QLabel*>(control(IDC_LABEL_TEMPLATE));
    templates.balance = static_cast<QSlider*>(control(IDC_BALANCE_TEMPLATE));
    templates.volume = static_cast<QSlider*>(control(IDC_VOLUME_TEMPLATE));
    templates.mute = static_cast<QCheckBox*>(control(IDC_MUTE_TEMPLATE));
    templates.frame = control(IDC_MIXER_GROUP);
    windowMixers = std::make_unique<WindowMixers>(setup.mixers, setup.boxes, *this, templates,
                                                  *inputSelect, *inputSource);
    windowMixers->OpenMixers();
    windowMixers->SetLateOpenHandler([this] { bindLateMixers(); });

    fillEndpointList();
    endpointWatch = std::make_unique<EndpointWatch>(setup.endpoints->audioSystem(),
                                                    [this] { queueEndpointRefresh(); });
    endpointWatch->renew();

    meter->SetOrientation(0);
    meter->SetBandLayout(kMeterBands, kMeterLeds);
    meter->SetShowPeak(true);
    meter->SetShowGrid(true);
    meter->SetRanges(kMeterLow, kMeterMedium, kMeterFullScale);
    meter->Start(kMeterPeriod);

    RefreshStatusDisplay();
    SetConnectionStatus(0, "");

    statusTimer->start();

    if (!setup.workers->startServer(*this)) {
        ShowMessageBox("Could not create audio thread");
        setup.exitProcess(-1);
        return;
    }
    if (setup.workers->startDiscovery()) {
        discoveryThreadStarted = true;
    } else {
        ShowMessageBox("Could not create multicast receive thread");
    }
    if (!setup.workers->startRecord()) ShowMessageBox("Could not create file record thread");

    versionText = programVersionText();
    if (!versionText.empty()) {
        applyCaption();
        startVersionCheck();
    }
}

void CQuaveLinkServerDlg::applyCaption() {
    QString caption = QString::fromLatin1(kCaption);
    if (titleResetPending && !versionText.empty()) {
        caption =
            QStringLiteral("QuaveLink Server v%1 (Linux)").arg(QString::fromStdString(versionText));
    }
    QString mark = recordingShown ? QString::fromLatin1(kRecordingMark) : QString();
    setWindowTitle(caption + mark);
    SetTrayTip((QString::fromLatin1(kTrayTip) + mark).toUtf8().constData());
    ModifyTrayIcon();
}

void CQuaveLinkServerDlg::showRecording(bool running) {
    if (running == recordingShown) return;
    recordingShown = running;
    applyCaption();
}

void CQuaveLinkServerDlg::fillEndpointList() {
    storedChoice = GetInputSelect();
    storedChoicePending = storedChoice.size() >= 2;
    setup.endpoints->findEndpoint(0);
    inputSelect->clear();
    endpointNames.clear();
    int chosen = syncEndpointList();
    inputSource->hide();
    captureRateText->SetText(QString());
    inputSelect->setCurrentIndex(inputSelect->count() > 0 ? std::max(chosen, 0) : -1);
    OnInputDeviceChanged();
}

int CQuaveLinkServerDlg::syncEndpointList() {
    EndpointList& endpoints = *setup.endpoints;
    auto* model = qobject_cast<QStandardItemModel*>(inputSelect->model());
    int stored = -1;
    for (int i = 0; i < EndpointList::kMaxListEntries; ++i) {
        std::optional<std::string> name = endpoints.endpointName(i);
        if (!name) break;
        std::string text(cutUtf8(*name, kMaxListTextBytes));
        if (i < inputSelect->count()) {
            if (endpointNames[i] != text) inputSelect->setItemText(i, QString::fromStdString(text));
            endpointNames[i] = text;
        } else {
            inputSelect->insertItem(i, QString::fromStdString(text));
            endpointNames.push_back(text);
        }
        bool present = endpoints.present(i);
        // A chosen device that went away stays chosen: the capture goes back to it on return.
        if (model != nullptr) {
            model->item(i)->setEnabled(present || i == inputSelect->currentIndex());
        }
        if (windowMixers) windowMixers->MapEndpoint(i, text, rendersAt(i));
        if (stored < 0 && storedChoicePending && present && text == storedChoice) stored = i;
    }
    return stored;
}

void CQuaveLinkServerDlg::queueEndpointRefresh() {
    if (endpointRefreshQueued.exchange(true)) return;
    QMetaObject::invokeMethod(
        this, [this] { refreshEndpoints(); }, Qt::QueuedConnection);
}

void CQuaveLinkServerDlg::refreshEndpoints() {
    endpointRefreshQueued = false;
    if (!setup.endpoints->refresh()) return;
    int stored = syncEndpointList();
    if (stored >= 0) {
        storedChoicePending = false;
        logLine("The stored endpoint %s is there now\n", storedChoice.c_str());
        inputSelect->setCurrentIndex(stored);
        OnInputDeviceChanged();
    }
}

bool CQuaveLinkServerDlg::rendersAt(int index) {
    // A render endpoint (the default device included) is captured from its monitor: its
    // controls are the playback group's, whatever recording mixer shares its name.
    std::shared_ptr<audio::Endpoint> device;
    return index == 0 || setup.endpoints->findEndpoint(index, &device) != 0 || !device ||
           device->GetDataFlow() == audio::DataFlow::Render;
}

void CQuaveLinkServerDlg::bindLateMixers() {
    for (int i = 0; i < static_cast<int>(endpointNames.size()); ++i) {
        windowMixers->MapEndpoint(i, endpointNames[i], rendersAt(i));
    }
    windowMixers->OnInputDeviceChanged(inputSelect->currentIndex());
    placeHeadings();
}

int CQuaveLinkServerDlg::DoModal() {
    OnInitDialog();
    // A local loop instead of QDialog::exec: exec would make the window application-modal
    // and so lock the log window out of scrolling and copying.
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, [&loop](int result) { loop.exit(result); });
    show();
    return loop.exec();
}

void CQuaveLinkServerDlg::onGuiThread(std::function<void()> work) {
    if (QThread::currentThread() == thread()) {
        work();
    } else {
        QMetaObject::invokeMethod(this, HandOff(std::move(work)), Qt::QueuedConnection);
    }
}

void CQuaveLinkServerDlg::SetConnectionStatus(int connectedCount, const char* clientName) {
    // Copied here: the caller's buffer is gone by the time the GUI thread runs.
    std::optional<std::string> name;
    if (clientName != nullptr) name.emplace(cutUtf8(clientName, kMaxClientNameBytes));
    onGuiThread([this, connectedCount, name] { applyConnectionStatus(connectedCount, name); });
}

void CQuaveLinkServerDlg::applyConnectionStatus(int connectedCount,
                                                const std::optional<std::string>& name) {
    ConnectionStatusView view =
        connectionStatus.update(connectedCount, name ? name->c_str() : nullptr);
    // The name is whatever bytes the client sent: invalid UTF-8 shows as replacement marks.
    if (statusText->SetText(
            QString::fromUtf8(view.text.data(), static_cast<qsizetype>(view.text.size())))) {
        logLine("Status:%s\n", view.text.c_str());
    }
    statusText->SetTextColor(colorFromColorRef(view.color));
    currentTrayIconId = view.iconId;
    SetTrayIcon(view.iconId);
}

bool CQuaveLinkServerDlg::TakeInputDeviceChange(int& index) { return inputChoice.take(index); }

void CQuaveLinkServerDlg::SetCaptureRateText(const std::string& text) {
    onGuiThread([this, text] { captureRateText->SetText(QString::fromStdString(text)); });
}

void CQuaveLinkServerDlg::SetCaptureRateColor(std::uint32_t colorRef) {
    onGuiThread([this, colorRef] { captureRateText->SetTextColor(colorFromColorRef(colorRef)); });
}

void CQuaveLinkServerDlg::SetCaptureStatus(const std::string& reason) {
    if (reason.empty()) return;
    // In the rate's place, in the colour of a lost connection, until the capture runs again.
    onGuiThread([this, reason] {
        captureRateText->SetText(QString::fromStdString(" " + reason));
        captureRateText->SetTextColor(colorFromColorRef(kDisconnectedColor));
    });
}

void CQuaveLinkServerDlg::SetMeterData(const int* values, int first, int count) {
    meter->SetData(values, first, count);
}

void CQuaveLinkServerDlg::ShowMessageBox(const std::string& text) {
    setup.boxes->ShowMessageBox(text);
}

void CQuaveLinkServerDlg::OnInputDeviceChanged() {
    int selected = inputSelect->currentIndex();
    captureRateText->SetText(QString());
    // The choice made by initialisation is the stored one already; after a failed discovery
    // start the choice is not stored either, as it always was.
    if (discoveryThreadStarted && selected >= 0 &&
        selected < static_cast<int>(endpointNames.size())) {
        SetInputSelect(endpointNames[selected]);
    }
    if (windowMixers) windowMixers->OnInputDeviceChanged(selected);
    placeHeadings();
    inputChoice.choose(selected);
}

void CQuaveLinkServerDlg::placeHeadings() {
    auto centreOver = [](QLabel* label, int centre) {
        int width = label->fontMetrics().horizontalAdvance(label->text()) + 8;
        label->setGeometry(centre - width / 2, label->y(), width, label->height());
    };
    // The column of a mixer control group: the line labels of its shown slots, which are
    // centred over their controls; the shown controls themselves where a slot has no label.
    auto columnOf = [](CControlGroup* group) {
        QRect column;
        if (group == nullptr) return column;
        for (const GroupItem& item : group->Items()) {
            if (item.window == nullptr || item.window->isHidden()) continue;
            QLabel* label = group->Label(item.slot);
            bool labelled = label != nullptr && !label->isHidden();
            column = column.united(labelled ? label->geometry() : item.window->geometry());
        }
        return column;
    };
    QRect output = columnOf(windowMixers ? windowMixers->outputGroup() : nullptr);
    if (output.isNull()) output = control(IDC_LABEL_TEMPLATE)->geometry();
    centreOver(headings[0], output.center().x());
    // Without input controls (a playback device is captured) the heading would name nothing.
    QRect input = columnOf(windowMixers ? windowMixers->inputGroup() : nullptr);
    headings[1]->setVisible(!input.isNull());
    if (!input.isNull()) centreOver(headings[1], input.center().x());
    centreOver(headings[2], control(IDC_LEVEL_GROUP)->geometry().center().x());
    centreOver(headings[3], control(IDC_RECORD_GROUP)->geometry().center().x());
}

void CQuaveLinkServerDlg::moveLowerSection(bool overPairBand) {
    int wanted = overPairBand ? -pairBandHeight : 0;
    int delta = wanted - lowerSectionShift;
    if (delta == 0) return;
    int line = lowerSectionTop + lowerSectionShift;
    // Hidden templates move too, so mixer controls made from them later land in place. The
    // band's own controls stay, though the frames may stand above them while they are hidden.
    auto inBand = [this](QWidget* child) {
        return child == inputSource ||
               std::find(pairButtons.begin(), pairButtons.end(), child) != pairButtons.end();
    };
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->isWindow() || child->y() < line || inBand(child)) continue;
        child->move(child->x(), child->y() + delta);
    }
    lowerSectionShift = wanted;
    setFixedSize(width(), height() + delta);
}

void CQuaveLinkServerDlg::StopRecording() {
    recordButton->setChecked(false);
    showRecording(false);
    if (recordFd == -1) return;
    setup.workers->stopRecordTarget();
    ::close(recordFd);
    recordFd = -1;
}

void CQuaveLinkServerDlg::RefreshStatusDisplay() {
    if (refreshCount % 3 == 0) {
        addressText->setText(QString::fromStdString(setup.localAddressText()));
    }
    ChannelSelection& channels = *setup.channels;
    int count = channels.captureChannelCount.load();
    if (count != lastChannelCount) {
        pairButtons[0]->setVisible(count >= 4);
        pairButtons[1]->setVisible(count >= 4);
        pairButtons[2]->setVisible(count >= 6);
        pairButtons[3]->setVisible(count >= 8);
        moveLowerSection(count < 4);
        if (count > 3 && channels.channelPairIndex.load() > count / 2 - 1) {
            channels.channelPairIndex.store(0);
            pairButtons[0]->setChecked(true);
        }
        lastChannelCount = count;
    }
    placeHeadings();
    ++refreshCount;
}

void CQuaveLinkServerDlg::OnTimer() {
    // Device events cannot tell of a sound server that came up late or was restarted: ask.
    if (endpointWatch) endpointWatch->renew();
    refreshEndpoints();
    RefreshStatusDisplay();
    if (titleResetPending) {
        titleResetPending = false;
        applyCaption();
    }
}

void CQuaveLinkServerDlg::OnChannelPairClicked() {
    int checked = pairGroup->checkedId();
    if (checked >= 0) setup.channels->channelPairIndex.store(checked);
}

void CQuaveLinkServerDlg::OnMinimizeToChanged() { SetMinToTray(minimizeTo->currentIndex()); }

void CQuaveLinkServerDlg::MeterTest() {
    const int full[2] = {32768, 16384};
    const int quarter[2] = {full[0] / 4, full[1] / 4};
    meter->SetData(full, 0, 2);
    meter->SetData(quarter, 0, 2);
}

void CQuaveLinkServerDlg::ToggleConsole() {
    if (setup.console != nullptr) setup.console->toggleVisible();
}

void CQuaveLinkServerDlg::ShowAboutBox() {
    QDialog about(this);
    about.setWindowTitle(QStringLiteral("About QuaveLinkServer"));
    about.setFont(QFont(QStringLiteral("Sans Serif"), 8));
    auto* layout = new QGridLayout(&about);
    auto* iconLabel = new QLabel(&about);
    QIcon icon = LoadIconResource(kIconMain);
    if (!icon.isNull()) iconLabel->setPixmap(icon.pixmap(32, 32));
    layout->addWidget(iconLabel, 0, 0, 3, 1, Qt::AlignTop);
    const char* lines[3] = {
        "QuaveLink Server Version 2.1 (Linux)",
        "Streams what this computer plays to QuaveLink clients on the local network.",
        "Uncompressed or Opus audio over ENet, UDP port 59010.",
    };
    for (int i = 0; i < 3; ++i) {
        layout->addWidget(plainLabel(QString::fromLatin1(lines[i]), &about), i, 1);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    layout->addWidget(buttons, 3, 0, 1, 2);
    about.exec();
}

void CQuaveLinkServerDlg::reject() {
    StopRecording();
    done(kCancelResult);
}

void CQuaveLinkServerDlg::keyPressEvent(QKeyEvent* event) {
    // Escape would end the dialog; this window only closes through its close box.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CQuaveLinkServerDlg::contextMenuEvent(QContextMenuEvent* event) {
    sysMenu->exec(event->globalPos());
}

}  // namespace quavelink
