#pragma once

#include <QFileDialog>
#include <QString>
#include <cstdint>

class QComboBox;
class QLabel;
class QRadioButton;

namespace quavelink {

//! The save-as dialog of a recording: Qt's own (not the desktop's) file dialog with one more
//! row in place of the file-type row: "Audio file &type:", WAV or MP3, and the MP3 bit rate.
//! The type and the bit-rate index are stored (FileDialogTypeMP3, FileDialogEncOptMP3) the
//! moment the user changes them, whether or not the dialog ends with OK; the type also sets
//! the extension that a typed name without one gets. GUI thread.
class CXFileDialog : public QFileDialog {
  public:
    enum ControlId { IDC_TYPE_LABEL = 1001, IDC_MP3 = 1003, IDC_WAV = 1004, IDC_BIT_RATE = 1005 };
    static constexpr std::uint32_t OFN_OVERWRITEPROMPT = 0x2;
    static constexpr std::uint32_t OFN_HIDEREADONLY = 0x4;
    //! DoModal results.
    static constexpr int IDOK = 1;
    static constexpr int IDCANCEL = 2;
    //! Entries of the bit-rate list; the item data is the rate in kbit/s, 0 for VBR.
    static constexpr int kBitRateEntries = 7;
    //! The entry used when the stored index is outside the list: 160 kbit/s.
    static constexpr int kDefaultBitRateIndex = 2;

    //! `openFileDialog` false makes a save dialog. `defaultExtension` without the dot, may be
    //! empty; `fileName` the initial name; `flags` OFN_* bits; `filter` in Qt's form.
    CXFileDialog(bool openFileDialog, const QString& defaultExtension, const QString& fileName,
                 std::uint32_t flags, const QString& filter, QWidget* parent = nullptr);

    //! Runs the dialog: IDOK when the user chose a file, IDCANCEL otherwise.
    int DoModal();
    //! The chosen file's full path, empty before OK.
    QString GetPathName() const;
    //! The bit rate of the selected entry, kbit/s (0 = VBR).
    int CurrentBitRate() const { return currentBitRate; }
    bool Mp3Chosen() const;

    //! A click on either type button: stores the type, enables the list for MP3 only and sets
    //! the default extension.
    void OnTypeChosen();
    //! Selection change of the bit-rate list: stores the index, takes the entry's rate.
    void OnBitRateChanged(int index);

    QRadioButton* mp3Button = nullptr;
    QRadioButton* wavButton = nullptr;
    QComboBox* bitRateList = nullptr;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void OnInitDialog();

    QLabel* typeLabel = nullptr;
    std::uint32_t dialogFlags = 0;
    int currentBitRate = 160;
    bool typeApplied = false;
};

}  // namespace quavelink
