#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <QRegion>

namespace quavelink {

//! The pictures of a skinned button; a null image is "none".
struct SkinImages {
    QImage normal;
    QImage pressed;
    QImage hover;
    QImage disabled;  //!< none: the normal picture
    QImage pressedDisabled;
    QImage mask;  //!< used with kMaskFromBitmap only
};

//! A push button, check box (setCheckable) or radio button (setCheckable + setAutoExclusive)
//! drawn from pictures, whose shape comes from a picture: the widget mask is cut from it.
//! GUI thread.
class CxSkinButton : public QAbstractButton {
    Q_OBJECT
  public:
    //! Shape taken from the normal picture; its top-left pixel is the transparent colour.
    static constexpr int kMaskFromNormal = -1;
    //! No shape: the button stays rectangular.
    static constexpr int kNoMask = 0;
    //! Shape taken from SkinImages::mask; white is the transparent colour.
    static constexpr int kMaskFromBitmap = 1;

    //! Draw modes: 0 stretched (resized to the mask), 1 own size, 2 tiled, 3 stretched with
    //! key-coloured pixels see-through (resized to the mask), 4 forced picture (resized).
    explicit CxSkinButton(QWidget* parent = nullptr);

    //! Takes the pictures and cuts the shape. A negative draw mode becomes 0, one above 3
    //! becomes 4; a negative focus margin becomes 0. With a shape, draw modes 0, 3 and 4
    //! resize the button to the mask picture's size.
    void SetSkin(const SkinImages& images, int mask, int drawMode, bool edge, int focusMargin);

    //! The same pictures drawn for finer screens (their device pixel ratio set, edges blended
    //! into transparency). Where the screen's pixels are finer than the skin's (a scaled
    //! desktop) a stretched button (draw mode 0) draws these instead, and its shape is kept for
    //! the mouse only: a widget mask would cut the smooth edge into the skin's coarse steps.
    void SetFineFaces(const SkinImages& images);

    //! The picture drawn in draw mode 4: 1 pressed, 2 hover, 3 disabled, 4 pressed-disabled,
    //! 5 mask, otherwise normal.
    void SetForcedBitmap(int index);
    void SetTextColor(const QColor& color);
    //! Caption alignment (default left, vertically centred) and wrapping (top/middle/bottom
    //! from the vertical alignment).
    void SetTextAlignment(Qt::Alignment alignment);
    void SetMultiLine(bool on);
    //! Flat buttons draw a black frame instead of the raised edge.
    void SetFlat(bool on);

    //! The region where `image` is not `key`: one rectangle per row from its first to its last
    //! non-key pixel. With the key 0xFEFEFE pure white counts as key too. Pure.
    static QRegion RegionFromImage(const QImage& image, QRgb key);

    bool IsHovering() const { return hovering_; }
    QRegion Region() const { return region_; }

    QSize sizeHint() const override;

  protected:
    //! Only the shape answers the mouse, whether or not the widget mask is set.
    bool hitButton(const QPoint& pos) const override;
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    void ApplyShape();
    bool FineFacesFor(qreal devicePixelRatio) const;
    void DrawFace(class QPainter& p, const QImage& face, const QRect& rect, bool fine) const;
    void DrawCaption(class QPainter& p, QRect rect, bool shifted) const;

    SkinImages images_;
    SkinImages fineImages_;
    QImage maskBitmap_;  // white outside the shape, black inside
    QRegion region_;
    int drawMode_ = 1;
    bool edge_ = true;
    int focusMargin_ = 0;
    int forcedIndex_ = 0;
    bool hovering_ = false;
    bool flat_ = false;
    bool multiLine_ = false;
    Qt::Alignment textAlignment_ = Qt::AlignLeft;
    QColor textColor_;
};

}  // namespace quavelink
