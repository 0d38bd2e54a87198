#pragma once

#include <QCheckBox>
#include <QSlider>
#include <cstdint>

namespace quavelink {

//! The vertical volume slider of a mixer line: position 0 (top) is the loudest, the mixer level
//! is range - position. The widget's own value is the level, so the slider fills from the
//! bottom as volume sliders do. Positions set from code never count as a user's move.
class CMixerSliderCtrl : public QSlider {
  public:
    explicit CMixerSliderCtrl(QWidget* parent = nullptr);

    //! Takes the control's bounds and the line's values (left, right); returns 1.
    int Init(int minimum, int maximum, const std::uint32_t values[2]);
    //! The level shown (range - position); `range` gets the range.
    int GetValue(int* level, int* range) const;
    //! Shows the louder of the two channels; returns it.
    std::uint32_t SetFromChannels(std::uint32_t left, std::uint32_t right);
    //! Moves the slider from code, without a user notification; 0 is the top.
    void SetPos(int position);
    int GetPos() const;

    int controlMinimum = 0;
    int controlMaximum = 0;
    int range = 0;
    std::uint32_t values[2] = {0, 0};
    int valueSize = 8;
};

//! The balance slider of a stereo line: 0..2 x range, range in the middle; left of the middle
//! turns the right channel down, right of it the left channel.
class CMixerSliderHorz : public QSlider {
  public:
    explicit CMixerSliderHorz(QWidget* parent = nullptr);

    //! 1, or -1 for a line of fewer than two channels (nothing changed then).
    int Init(int minimum, int maximum, int channels, const std::uint32_t values[2]);
    //! Shows the balance of (left, right); 1, or 0 when the slider is disabled (it is then
    //! centred). Levels of 15 and below keep the balance that was shown.
    int SetFromChannels(std::uint32_t left, std::uint32_t right);
    //! Splits the louder of (left, right) by the balance shown; returns the position.
    int SplitChannels(std::uint32_t& left, std::uint32_t& right, int& fullWidth) const;
    void SetPos(int position);

    int controlMinimum = 0;
    int controlMaximum = 0;
    int range = 0;
    int fullWidth = 0;
    std::uint32_t leftReference = 1;
    std::uint32_t rightReference = 1;
    std::uint32_t values[2] = {0, 0};
    int valueSize = 8;
};

//! The mute box of a mixer line; its clicks go to the window like any other button's.
class CMixerCheckBoxMute : public QCheckBox {
  public:
    using QCheckBox::QCheckBox;
};

}  // namespace quavelink
