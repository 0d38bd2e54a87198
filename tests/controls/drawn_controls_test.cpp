#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>

#include "controls/colored_label.h"
#include "controls/group_box.h"
#include "controls/offscreen_painter.h"
#include "controls/skin_button.h"
#include "qt_app.h"

namespace quavelink {
namespace {

const QColor kKey(255, 0, 255);
const QColor kParent(0, 0, 200);

class DrawnControlsTest : public ::testing::Test {
  protected:
    void SetUp() override { test::ensureQtApplication(); }

    // A parent in a known colour, so see-through pixels can be told apart.
    static void paintParent(QWidget& parent) {
        QPalette colors = parent.palette();
        colors.setColor(QPalette::Window, kParent);
        parent.setPalette(colors);
        parent.setAutoFillBackground(true);
    }

    // 48 x 48 on the key colour: a ring of `ring` between radius 12 and 20 around the centre,
    // key-coloured inside.
    static QImage ringImage(const QColor& ring) {
        QImage image(48, 48, QImage::Format_RGB32);
        image.fill(kKey);
        for (int y = 0; y < 48; ++y) {
            for (int x = 0; x < 48; ++x) {
                const int d2 = (x - 24) * (x - 24) + (y - 24) * (y - 24);
                if (d2 <= 20 * 20 && d2 >= 12 * 12) image.setPixelColor(x, y, ring);
            }
        }
        return image;
    }
};

TEST_F(DrawnControlsTest, ColorStaticShowsMarkupAsTextAndReportsChanges) {
    CColorStatic label;
    EXPECT_TRUE(label.SetText(" Connected: <b>phone</b>"));
    EXPECT_FALSE(label.SetText(" Connected: <b>phone</b>"));
    EXPECT_EQ(label.textFormat(), Qt::PlainText);
    EXPECT_EQ(label.text(), " Connected: <b>phone</b>");

    label.resize(120, 20);
    label.SetBackgroundColor(QColor(255, 255, 0));
    label.SetTextColor(QColor(0, 0, 255));
    EXPECT_EQ(label.grab().toImage().pixelColor(119, 19), QColor(255, 255, 0));
    EXPECT_EQ(label.palette().color(QPalette::WindowText), QColor(0, 0, 255));
}

TEST_F(DrawnControlsTest, RegionSpansEachRowFromFirstToLastSolidPixel) {
    QImage image(10, 3, QImage::Format_RGB32);
    image.fill(Qt::white);
    image.setPixelColor(2, 0, Qt::black);
    image.setPixelColor(7, 0, Qt::black);
    image.setPixelColor(5, 2, Qt::black);
    // 0xFEFEFE as key also makes pure white see-through.
    const QRegion region = CxSkinButton::RegionFromImage(image, 0xFEFEFE);
    EXPECT_EQ(region, QRegion(2, 0, 6, 1) + QRegion(5, 2, 1, 1));
    // Any other key: only that exact colour is see-through.
    EXPECT_EQ(CxSkinButton::RegionFromImage(image, 0xFFFFFF), region);
    EXPECT_EQ(CxSkinButton::RegionFromImage(image, 0x000000), QRegion(0, 0, 10, 3));
}

TEST_F(DrawnControlsTest, SkinButtonTakesItsShapeAndSizeFromTheNormalPicture) {
    QWidget parent;
    CxSkinButton button(&parent);
    button.resize(20, 20);
    button.SetSkin({ringImage(Qt::green), ringImage(Qt::red), {}, {}, {}, {}},
                   CxSkinButton::kMaskFromNormal, 0, false, 0);
    EXPECT_EQ(button.size(), QSize(48, 48));
    const QRegion mask = button.mask();
    EXPECT_FALSE(mask.contains(QPoint(0, 0)));
    EXPECT_FALSE(mask.contains(QPoint(2, 24)));
    EXPECT_TRUE(mask.contains(QPoint(5, 24)));
    // The hole lies inside the row span, so it stays part of the button.
    EXPECT_TRUE(mask.contains(QPoint(24, 24)));
}

TEST_F(DrawnControlsTest, SkinButtonDrawsTheFaceOfItsState) {
    QWidget parent;
    paintParent(parent);
    parent.resize(60, 60);
    CxSkinButton button(&parent);
    button.setCheckable(true);
    button.SetSkin({ringImage(Qt::green), ringImage(Qt::red), {}, {}, {}, {}},
                   CxSkinButton::kMaskFromNormal, 0, false, 0);
    const QPoint onRing(24, 8);
    EXPECT_EQ(parent.grab().toImage().pixelColor(onRing), QColor(Qt::green));
    EXPECT_EQ(parent.grab().toImage().pixelColor(1, 1), kParent);  // cut away
    button.setChecked(true);
    EXPECT_EQ(parent.grab().toImage().pixelColor(onRing), QColor(Qt::red));
    button.setChecked(false);
    button.setDown(true);
    EXPECT_EQ(parent.grab().toImage().pixelColor(onRing), QColor(Qt::red));
    button.setDown(false);
    button.setEnabled(false);  // disabled defaults to the normal picture
    EXPECT_EQ(parent.grab().toImage().pixelColor(onRing), QColor(Qt::green));
}

TEST_F(DrawnControlsTest, DrawModeThreeLetsKeyPixelsInsideTheShapeShowTheBackground) {
    QWidget parent;
    paintParent(parent);
    parent.resize(60, 60);
    CxSkinButton button(&parent);
    button.SetSkin({ringImage(Qt::green), {}, {}, {}, {}, {}}, CxSkinButton::kMaskFromNormal, 3,
                   false, 0);
    EXPECT_EQ(parent.grab().toImage().pixelColor(24, 24), kParent);
    button.SetSkin({ringImage(Qt::green), {}, {}, {}, {}, {}}, CxSkinButton::kMaskFromNormal, 0,
                   false, 0);
    EXPECT_EQ(parent.grab().toImage().pixelColor(24, 24), kKey);
}

TEST_F(DrawnControlsTest, GroupBoxFramesKeepClearOfTheirNeighbour) {
    const QRect last(0, 0, 100, 50);  // right edge 99
    EXPECT_EQ(CxGroupBox::KeepClearOf(QRect(101, 0, 50, 50), last).left(), 100);
    EXPECT_EQ(CxGroupBox::KeepClearOf(QRect(98, 0, 50, 50), last).left(), 100);
    EXPECT_EQ(CxGroupBox::KeepClearOf(QRect(110, 0, 50, 50), last), QRect(110, 0, 50, 50));
    EXPECT_EQ(CxGroupBox::KeepClearOf(QRect(0, 51, 100, 20), last).top(), 50);

    QWidget parent;
    paintParent(parent);
    parent.resize(120, 100);
    CxGroupBox box(&parent);
    box.setGeometry(0, 0, 120, 100);
    box.SetBorderColor(QColor(255, 0, 0));
    const QImage image = parent.grab().toImage();
    const QColor edge = image.pixelColor(0, 60);
    EXPECT_GT(edge.red(), 200);
    EXPECT_LT(edge.blue(), 60);
    EXPECT_EQ(image.pixelColor(60, 60), kParent);  // the inside is left unpainted
}

TEST_F(DrawnControlsTest, AGroupBoxDrawsACaptionTabOnlyForACaption) {
    QWidget parent;
    paintParent(parent);
    parent.resize(160, 100);
    CxGroupBox box(&parent);
    box.setGeometry(0, 0, 160, 100);
    const int frameTop = box.fontMetrics().height() / 2;
    auto paintedAboveTheFrame = [&] {
        const QImage image = parent.grab().toImage();
        int painted = 0;
        for (int y = 0; y < frameTop; ++y) {
            for (int x = 0; x < image.width(); ++x) painted += image.pixelColor(x, y) != kParent;
        }
        return painted;
    };
    EXPECT_EQ(paintedAboveTheFrame(), 0);
    box.SetText("Level");
    EXPECT_GT(paintedAboveTheFrame(), 0);
}

TEST_F(DrawnControlsTest, ATextTooLongEndsInAnEllipsisWithTheWholeTextAsPlainTooltip) {
    CColorStatic label;
    label.setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label.resize(200, 20);
    label.show();
    const QString name = " Connected to <b>Kitchen</b> radio in the room at the back of the house";
    label.SetText(name);
    EXPECT_EQ(label.text(), name);
    EXPECT_TRUE(label.ShownText().endsWith(QChar(0x2026))) << label.ShownText().toStdString();
    EXPECT_LT(label.fontMetrics().horizontalAdvance(label.ShownText()), 200);
    EXPECT_EQ(label.toolTip(), "<qt>" + name.toHtmlEscaped() + "</qt>");
    // Wide enough again: the whole text, no tooltip.
    label.resize(2000, 20);
    EXPECT_EQ(label.ShownText(), name);
    EXPECT_TRUE(label.toolTip().isEmpty());
    label.SetText(" Disconnected");
    label.resize(200, 20);
    EXPECT_TRUE(label.toolTip().isEmpty());
}

TEST_F(DrawnControlsTest, OnFinerPixelsASkinButtonDrawsItsFineFacesAndKeepsItsShapeForTheMouse) {
    QWidget parent;
    CxSkinButton button(&parent);
    button.SetSkin({ringImage(Qt::green), {}, {}, {}, {}, {}}, CxSkinButton::kMaskFromNormal, 0,
                   false, 0);
    QImage fine(144, 144, QImage::Format_ARGB32_Premultiplied);
    fine.fill(Qt::transparent);
    {
        QPainter painter(&fine);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::yellow);
        painter.drawEllipse(QPointF(72, 72), 45, 45);  // inside the skin's shape
    }
    fine.setDevicePixelRatio(3);
    button.SetFineFaces({fine, {}, {}, {}, {}, {}});

    auto render = [&](qreal ratio) {
        QImage image(QSize(48, 48) * ratio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(kParent);
        button.render(&image);
        return image;
    };
    // Whole pixels: the skin as it is.
    EXPECT_EQ(render(1).pixelColor(24, 8), QColor(Qt::green));
    // One and a half device pixels to the unit: the fine face, its edge blended smoothly.
    const QImage scaled = render(1.5);
    EXPECT_EQ(scaled.pixelColor(36, 36), QColor(Qt::yellow));
    EXPECT_EQ(scaled.pixelColor(1, 1), kParent);
    int blended = 0;
    for (int x = 0; x < 36; ++x) {
        QColor c = scaled.pixelColor(x, 36);
        blended += c != kParent && c != QColor(Qt::yellow);
    }
    EXPECT_GT(blended, 0);

    // Only the shape answers the mouse.
    int clicks = 0;
    QObject::connect(&button, &QAbstractButton::clicked, [&clicks] { ++clicks; });
    auto click = [&](QPoint at) {
        QMouseEvent press(QEvent::MouseButtonPress, at, button.mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, button.mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&button, &press);
        QCoreApplication::sendEvent(&button, &release);
    };
    click(QPoint(1, 1));
    EXPECT_EQ(clicks, 0);
    click(QPoint(24, 6));
    EXPECT_EQ(clicks, 1);
}

TEST_F(DrawnControlsTest, MemDcCopiesItsDrawingToTheTargetRectangleWhenItGoes) {
    QImage target(20, 20, QImage::Format_RGB32);
    target.fill(Qt::white);
    QPainter painter(&target);
    {
        CMemDC mem(painter, QRect(5, 5, 10, 10), Qt::green);
        ASSERT_TRUE(mem.IsMemory());
        mem.painter().fillRect(QRect(5, 5, 2, 2), Qt::red);    // target coordinates
        mem.painter().fillRect(QRect(0, 0, 4, 4), Qt::black);  // outside: clipped away
        EXPECT_EQ(target.pixelColor(5, 5), QColor(Qt::white));
    }
    EXPECT_EQ(target.pixelColor(5, 5), QColor(Qt::red));
    EXPECT_EQ(target.pixelColor(10, 10), QColor(Qt::green));
    EXPECT_EQ(target.pixelColor(1, 1), QColor(Qt::white));
    EXPECT_EQ(target.pixelColor(15, 15), QColor(Qt::white));

    target.fill(Qt::blue);
    {
        CMemDC mem(painter, QRect(5, 5, 10, 10), Qt::green, true);
        mem.painter().fillRect(QRect(5, 5, 2, 2), Qt::red);
    }
    EXPECT_EQ(target.pixelColor(10, 10), QColor(Qt::blue));
    EXPECT_EQ(target.pixelColor(6, 6), QColor(Qt::red));
}

}  // namespace
}  // namespace quavelink
