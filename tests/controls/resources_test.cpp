#include "resources/resources.h"

#include <gtest/gtest.h>

#include "controls/skin_button.h"
#include "qt_app.h"

namespace quavelink {
namespace {

TEST(WindowPictures, SkinBitmapsAreRoundButtonsOnAKeyColour) {
    test::ensureQtApplication();
    for (int id : {kBitmapStop, kBitmapRecord, kBitmapRecordDown, kBitmapStopDown}) {
        const QImage image = LoadBitmapResource(id);
        ASSERT_EQ(image.size(), QSize(48, 48)) << id;
        const QRgb key = image.pixel(0, 0);
        EXPECT_EQ(image.pixel(47, 47), key) << id;
        EXPECT_NE(image.pixel(24, 24), key) << id;
        CxSkinButton button;
        button.SetSkin({image, {}, {}, {}, {}, {}}, CxSkinButton::kMaskFromNormal, 0, false, 0);
        EXPECT_EQ(button.size(), QSize(48, 48)) << id;
        EXPECT_FALSE(button.mask().contains(QPoint(2, 2))) << id;
        EXPECT_TRUE(button.mask().contains(QPoint(24, 2))) << id;
    }
    EXPECT_FALSE(LoadBitmapResource(kBitmapPicture).isNull());
    EXPECT_TRUE(LoadBitmapResource(140).isNull());
}

TEST(WindowPictures, IconsComeInEveryTraySize) {
    test::ensureQtApplication();
    for (int id : {kIconMain, kIconDisconnected}) {
        const QIcon icon = LoadIconResource(id);
        ASSERT_FALSE(icon.isNull()) << id;
        EXPECT_EQ(icon.pixmap(QSize(16, 16)).size(), QSize(16, 16));
        EXPECT_EQ(icon.availableSizes().size(), 4) << id;
    }
    EXPECT_TRUE(LoadIconResource(kBitmapStop).isNull());
}

}  // namespace
}  // namespace quavelink
