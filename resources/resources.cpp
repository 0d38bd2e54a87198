#include "resources/resources.h"

namespace quavelink {

namespace {

constexpr int kIconSizes[] = {16, 32, 48, 256};

bool isBitmap(int id) { return id >= kBitmapPicture && id <= kBitmapStopDown; }
bool isIcon(int id) { return id == kIconMain || id == kIconDisconnected; }

}  // namespace

QString BitmapResourcePath(int id) { return QStringLiteral(":/quavelink/bitmap%1.png").arg(id); }

QString IconResourcePath(int id, int size) {
    return QStringLiteral(":/quavelink/icon%1-%2.png").arg(id).arg(size);
}

QImage LoadBitmapResource(int id) {
    if (!isBitmap(id)) return QImage();
    return QImage(BitmapResourcePath(id));
}

QImage LoadFineBitmapResource(int id) {
    if (id < kBitmapStop || id > kBitmapStopDown) return QImage();
    constexpr int kFineScale = 3;
    QImage image(QStringLiteral(":/quavelink/bitmap%1@%2x.png").arg(id).arg(kFineScale));
    if (!image.isNull()) image.setDevicePixelRatio(kFineScale);
    return image;
}

QIcon LoadIconResource(int id) {
    QIcon icon;
    if (!isIcon(id)) return icon;
    for (int size : kIconSizes) icon.addFile(IconResourcePath(id, size), QSize(size, size));
    return icon;
}

}  // namespace quavelink
