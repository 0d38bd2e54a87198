#pragma once

#include <QColor>
#include <QLabel>
#include <QString>

namespace quavelink {

//! A static text with its own text and background colours. Shows plain text only: the texts
//! may carry names that come from the network, so markup is never interpreted. A text too
//! long for the control ends in "…" and the whole text becomes the tooltip. GUI thread.
class CColorStatic : public QLabel {
    Q_OBJECT
  public:
    explicit CColorStatic(QWidget* parent = nullptr);
    explicit CColorStatic(const QString& text, QWidget* parent = nullptr);

    //! Stores the colour and repaints.
    void SetTextColor(const QColor& color);
    //! Stores the colour and repaints.
    void SetBackgroundColor(const QColor& color);
    QColor TextColor() const { return textColor_; }
    QColor BackgroundColor() const { return background_; }

    //! Changes the text only when it differs; returns whether it changed, so that repeated
    //! status updates do not flicker.
    bool SetText(const QString& text);

    //! The text as drawn: the whole text, or its start and "…" when it does not fit.
    QString ShownText() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void ApplyPalette();
    void UpdateToolTip();
    QRect TextRect() const;

    QColor textColor_;
    QColor background_;
};

}  // namespace quavelink
