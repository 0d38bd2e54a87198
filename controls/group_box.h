#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>
#include <QWidget>

namespace quavelink {

//! A group frame drawn as a rounded rectangle with its caption in a rounded box on the top
//! edge (no box without a caption). Group boxes under one parent keep clear of the frame painted
//! last by any of them: an edge within 2 pixels of that frame's opposite edge moves to lie one
//! pixel beyond it. GUI thread.
class CxGroupBox : public QWidget {
    Q_OBJECT
  public:
    explicit CxGroupBox(QWidget* parent = nullptr);
    explicit CxGroupBox(const QString& caption, QWidget* parent = nullptr);

    //! The caption is shown as plain text with two spaces on each side.
    void SetText(const QString& caption);
    QString Text() const { return caption_; }
    //! Caption placement: Qt::AlignLeft (default), Qt::AlignHCenter or Qt::AlignRight.
    void SetCaptionAlignment(Qt::Alignment alignment);

    // Each setter repaints at once; those marked "when changed" do nothing for an equal value.
    virtual void SetBorderColor(const QColor& color);       // when changed
    virtual void SetCaptionTextColor(const QColor& color);  // when changed
    virtual void SetBackgroundColor(const QColor& color);   // always
    virtual void SetFontName(const QString& family);
    virtual void SetFontSize(int pointSize);
    virtual void SetFont(const QFont& font);
    virtual void SetBorderWidth(int width);    // when changed
    virtual void SetCornerRadius(int radius);  // when changed
    //! Rounding of the caption box; a negative value rounds it by the text height.
    void SetCaptionCornerRadius(int radius);
    //! Whether the inside of the frame is left unpainted (default true).
    void SetTransparentInterior(bool transparent);

    QColor BorderColor() const { return borderColor_; }
    int BorderWidth() const { return borderWidth_; }
    int CornerRadius() const { return cornerRadius_; }

    //! The frame after keeping clear of `last` (both in parent coordinates). Pure.
    static QRect KeepClearOf(QRect frame, const QRect& last);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void Repaint();

    QString caption_;
    Qt::Alignment captionAlignment_ = Qt::AlignLeft;
    QColor borderColor_;
    QColor captionColor_;
    QColor background_;
    int borderWidth_ = 1;
    int cornerRadius_ = 20;
    int captionCornerRadius_ = -1;
    bool transparentInterior_ = true;
};

}  // namespace quavelink
