#include "app/save_dialog.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QRadioButton>
#include <QTreeView>
#include <algorithm>

#include "settings/settings.h"

namespace quavelink {
namespace {

struct BitRateEntry {
    const char* text;
    int kbps;
};

constexpr BitRateEntry kBitRates[CXFileDialog::kBitRateEntries] = {
    {"64 kbits/s", 64},   {"128 kbits/s", 128}, {"160 kbits/s", 160}, {"192 kbits/s", 192},
    {"224 kbits/s", 224}, {"320 kbits/s", 320}, {"VBR", 0},
};

// The dialog's least size, in the dialog font: room for a long file name, its size, type and
// date side by side.
constexpr int kDialogWidthChars = 110;
constexpr int kDialogHeightLines = 28;

}  // namespace

CXFileDialog::CXFileDialog(bool openFileDialog, const QString& defaultExtension,
                           const QString& fileName, std::uint32_t flags, const QString& filter,
                           QWidget* parent)
    : QFileDialog(parent), dialogFlags(flags) {
    // The extra row needs Qt's own dialog: the desktop's cannot take widgets.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(openFileDialog ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    setFileMode(openFileDialog ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    setOption(QFileDialog::DontConfirmOverwrite, (flags & OFN_OVERWRITEPROMPT) == 0);
    setOption(QFileDialog::ReadOnly, false);
    if (!filter.isEmpty()) setNameFilter(filter);
    setDefaultSuffix(defaultExtension);
    if (!fileName.isEmpty()) selectFile(fileName);
    // Names, sizes and dates in full: Qt's own size leaves the columns cut.
    setViewMode(QFileDialog::Detail);
    const QFontMetrics metrics = fontMetrics();
    resize(std::max(width(), metrics.averageCharWidth() * kDialogWidthChars),
           std::max(height(), metrics.height() * kDialogHeightLines));
    if (auto* files = findChild<QTreeView*>(QStringLiteral("treeView"))) {
        QHeaderView* header = files->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(QHeaderView::ResizeToContents);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
    }
    OnInitDialog();
}

void CXFileDialog::OnInitDialog() {
    typeLabel = new QLabel(QStringLiteral("Audio file &type:"), this);
    typeLabel->setObjectName(QStringLiteral("control%1").arg(IDC_TYPE_LABEL));
    wavButton = new QRadioButton(QStringLiteral("WAV"), this);
    wavButton->setObjectName(QStringLiteral("control%1").arg(IDC_WAV));
    mp3Button = new QRadioButton(QStringLiteral("MP3"), this);
    mp3Button->setObjectName(QStringLiteral("control%1").arg(IDC_MP3));
    bitRateList = new QComboBox(this);
    bitRateList->setObjectName(QStringLiteral("control%1").arg(IDC_BIT_RATE));
    typeLabel->setBuddy(wavButton);
    auto* types = new QButtonGroup(this);
    types->addButton(wavButton);
    types->addButton(mp3Button);

    // The row takes the place of the file-type row, which a recording has no use for.
    auto* row = new QHBoxLayout;
    row->addWidget(wavButton);
    row->addWidget(mp3Button);
    row->addWidget(bitRateList);
    row->addStretch(1);
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
        int typeRow = grid->rowCount();
        if (QWidget* standardLabel = findChild<QWidget*>(QStringLiteral("fileTypeLabel"))) {
            int index = grid->indexOf(standardLabel);
            int column = 0, rowSpan = 0, columnSpan = 0;
            if (index >= 0) grid->getItemPosition(index, &typeRow, &column, &rowSpan, &columnSpan);
            standardLabel->hide();
        }
        if (QWidget* standardList = findChild<QWidget*>(QStringLiteral("fileTypeCombo"))) {
            standardList->hide();
        }
        grid->addWidget(typeLabel, typeRow, 0);
        grid->addLayout(row, typeRow, 1);
    }

    for (const BitRateEntry& entry : kBitRates) {
        bitRateList->addItem(QString::fromLatin1(entry.text), entry.kbps);
    }
    int stored = GetFileDialogEncOptMP3();
    int index = stored >= 0 && stored < kBitRateEntries ? stored : kDefaultBitRateIndex;
    bitRateList->setCurrentIndex(index);
    currentBitRate = bitRateList->itemData(index).toInt();
    (GetFileDialogTypeMP3() ? mp3Button : wavButton)->setChecked(true);

    connect(mp3Button, &QRadioButton::clicked, this, [this] { OnTypeChosen(); });
    connect(wavButton, &QRadioButton::clicked, this, [this] { OnTypeChosen(); });
    connect(bitRateList, &QComboBox::activated, this, [this](int i) { OnBitRateChanged(i); });
}

void CXFileDialog::showEvent(QShowEvent* event) {
    QFileDialog::showEvent(event);
    // Once the dialog is up, the stored type takes effect as if the user had chosen it.
    if (!typeApplied) {
        typeApplied = true;
        OnTypeChosen();
    }
}

bool CXFileDialog::Mp3Chosen() const { return mp3Button->isChecked(); }

void CXFileDialog::OnTypeChosen() {
    bool mp3 = mp3Button->isChecked();
    SetFileDialogTypeMP3(mp3);
    bitRateList->setEnabled(mp3);
    setDefaultSuffix(mp3 ? QStringLiteral("mp3") : QStringLiteral("wav"));
}

void CXFileDialog::OnBitRateChanged(int index) {
    if (index < 0 || index >= bitRateList->count()) return;
    SetFileDialogEncOptMP3(index);
    currentBitRate = bitRateList->itemData(index).toInt();
}

int CXFileDialog::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

QString CXFileDialog::GetPathName() const {
    if (result() != QDialog::Accepted) return QString();
    return selectedFiles().value(0);
}

}  // namespace quavelink
