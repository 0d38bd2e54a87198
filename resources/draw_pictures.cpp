// Draws the window's pictures and the program icon into PNG files at build time, so the
// pictures stay editable as code. Usage: quavelink_draw_pictures <output folder>
#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <cstdio>

namespace {

// The skin bitmaps' transparent colour: the button takes its shape from every other pixel.
const QColor kKey(255, 0, 255);
// Edge pixels are blended against a light window background before they become opaque.
const QColor kFace(239, 239, 239);

bool save(const QImage& image, const QString& folder, const QString& name) {
    const QString path = QDir(folder).filePath(name);
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "could not write %s\n", qPrintable(path));
    return false;
}

// Turns a smooth drawing on a transparent canvas into a keyed bitmap: mostly transparent
// pixels become the key, the rest are made opaque over the window colour.
QImage keyed(const QImage& drawing) {
    QImage out(drawing.size(), QImage::Format_RGB32);
    for (int y = 0; y < drawing.height(); ++y) {
        for (int x = 0; x < drawing.width(); ++x) {
            const QColor c = drawing.pixelColor(x, y);
            if (c.alpha() < 100) {
                out.setPixelColor(x, y, kKey);
                continue;
            }
            const double a = c.alphaF();
            out.setPixelColor(x, y,
                              QColor::fromRgbF(c.redF() * a + kFace.redF() * (1 - a),
                                               c.greenF() * a + kFace.greenF() * (1 - a),
                                               c.blueF() * a + kFace.blueF() * (1 - a)));
        }
    }
    return out;
}

enum class Symbol { Stop, Record };

// A round button on a 48-unit canvas of 48 * scale pixels: a metal rim, a face that looks
// raised (or sunk when pressed) and the symbol in the middle; smooth edges over transparency.
QImage roundButtonDrawing(Symbol symbol, bool pressed, int scale) {
    QImage drawing(48 * scale, 48 * scale, QImage::Format_ARGB32);
    drawing.fill(Qt::transparent);
    QPainter p(&drawing);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    const QPointF centre(24, 24);

    QLinearGradient rim(4, 4, 44, 44);
    rim.setColorAt(0, QColor(225, 225, 225));
    rim.setColorAt(1, QColor(105, 105, 105));
    p.setPen(QPen(QColor(80, 80, 80), 1));
    p.setBrush(rim);
    p.drawEllipse(centre, 22.5, 22.5);

    QLinearGradient face(8, 8, 40, 40);
    face.setColorAt(pressed ? 1 : 0, QColor(250, 250, 250));
    face.setColorAt(pressed ? 0 : 1, QColor(175, 175, 175));
    p.setPen(Qt::NoPen);
    p.setBrush(face);
    p.drawEllipse(centre, 18, 18);

    const QPointF shift = pressed ? QPointF(1, 1) : QPointF(0, 0);
    if (symbol == Symbol::Stop) {
        p.setBrush(pressed ? QColor(20, 20, 20) : QColor(55, 55, 55));
        p.drawRoundedRect(QRectF(17, 17, 14, 14).translated(shift), 2, 2);
    } else {
        const QPointF dot = centre + shift;
        if (pressed) {
            // Recording: the dot glows.
            QRadialGradient glow(dot, 14);
            glow.setColorAt(0, QColor(255, 60, 60, 200));
            glow.setColorAt(1, QColor(255, 60, 60, 0));
            p.setBrush(glow);
            p.drawEllipse(dot, 14, 14);
        }
        QRadialGradient red(dot - QPointF(2, 2), 9);
        red.setColorAt(0, pressed ? QColor(255, 140, 140) : QColor(235, 90, 90));
        red.setColorAt(1, pressed ? QColor(255, 20, 20) : QColor(170, 0, 0));
        p.setBrush(red);
        p.drawEllipse(dot, 8, 8);
    }
    p.end();
    return drawing;
}

// The 48 x 48 skin bitmap: the shape comes from its key colour.
QImage roundButton(Symbol symbol, bool pressed) {
    return keyed(roundButtonDrawing(symbol, pressed, 1));
}

// Sound leaving a speaker: the program's mark. Drawn on a 256-unit canvas and scaled.
void drawMark(QPainter& p, const QColor& top, const QColor& bottom, const QColor& ink, int waves) {
    QLinearGradient back(0, 0, 0, 256);
    back.setColorAt(0, top);
    back.setColorAt(1, bottom);
    p.setPen(Qt::NoPen);
    p.setBrush(back);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 48, 48);

    QPainterPath speaker;
    speaker.moveTo(44, 100);
    speaker.lineTo(84, 100);
    speaker.lineTo(128, 60);
    speaker.lineTo(128, 196);
    speaker.lineTo(84, 156);
    speaker.lineTo(44, 156);
    speaker.closeSubpath();
    p.setBrush(ink);
    p.drawPath(speaker);

    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i) {
        QColor c = ink;
        if (i >= waves) c.setAlpha(70);
        p.setPen(QPen(c, 14, Qt::SolidLine, Qt::RoundCap));
        const double r = 40 + i * 28;
        p.drawArc(QRectF(128 - r, 128 - r, 2 * r, 2 * r), -45 * 16, 90 * 16);
    }
}

QImage icon(int size, bool connected) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    if (connected) {
        drawMark(p, QColor(41, 151, 236), QColor(13, 71, 161), Qt::white, 3);
    } else {
        drawMark(p, QColor(170, 170, 170), QColor(100, 100, 100), QColor(235, 235, 235), 0);
    }
    return image;
}

// The picture beside the record buttons: a computer sending sound to a phone and a speaker.
QImage picture() {
    QImage image(160, 104, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 104);
    sky.setColorAt(0, QColor(227, 239, 252));
    sky.setColorAt(1, QColor(180, 206, 236));
    p.fillRect(image.rect(), sky);

    // Computer.
    p.setPen(QPen(QColor(50, 60, 75), 2));
    p.setBrush(QColor(70, 80, 95));
    p.drawRoundedRect(QRectF(10, 28, 52, 36), 3, 3);
    p.setBrush(QColor(120, 190, 250));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(14, 32, 44, 28));
    p.setBrush(QColor(70, 80, 95));
    p.drawRect(QRectF(32, 64, 8, 8));
    p.drawRoundedRect(QRectF(22, 72, 28, 4), 2, 2);

    // Waves.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 3; ++i) {
        p.setPen(QPen(QColor(13, 71, 161, 220 - i * 50), 3, Qt::SolidLine, Qt::RoundCap));
        const double r = 10 + i * 9;
        p.drawArc(QRectF(70 - r, 48 - r, 2 * r, 2 * r), -40 * 16, 80 * 16);
    }

    // Phone.
    p.setPen(QPen(QColor(40, 40, 40), 2));
    p.setBrush(QColor(60, 60, 60));
    p.drawRoundedRect(QRectF(108, 14, 20, 36), 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 190, 250));
    p.drawRect(QRectF(111, 19, 14, 25));

    // Speaker.
    p.setPen(QPen(QColor(40, 40, 40), 2));
    p.setBrush(QColor(90, 70, 55));
    p.drawRoundedRect(QRectF(118, 56, 28, 40), 3, 3);
    p.setBrush(QColor(40, 40, 40));
    p.drawEllipse(QPointF(132, 84), 8, 8);
    p.drawEllipse(QPointF(132, 65), 4, 4);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "could not create %s\n", argv[1]);
        return 1;
    }
    bool ok = save(picture(), folder, "bitmap133.png");
    ok = save(roundButton(Symbol::Stop, false), folder, "bitmap134.png") && ok;
    ok = save(roundButton(Symbol::Record, false), folder, "bitmap135.png") && ok;
    ok = save(roundButton(Symbol::Record, true), folder, "bitmap136.png") && ok;
    ok = save(roundButton(Symbol::Stop, true), folder, "bitmap137.png") && ok;
    // The same buttons for screens with finer pixels (scaled desktops), drawn at three times
    // the size with their edges blended into transparency.
    const int fine = 3;
    ok = save(roundButtonDrawing(Symbol::Stop, false, fine), folder, "bitmap134@3x.png") && ok;
    ok = save(roundButtonDrawing(Symbol::Record, false, fine), folder, "bitmap135@3x.png") && ok;
    ok = save(roundButtonDrawing(Symbol::Record, true, fine), folder, "bitmap136@3x.png") && ok;
    ok = save(roundButtonDrawing(Symbol::Stop, true, fine), folder, "bitmap137@3x.png") && ok;
    for (int size : {16, 32, 48, 256}) {
        ok = save(icon(size, true), folder, QString("icon128-%1.png").arg(size)) && ok;
        ok = save(icon(size, false), folder, QString("icon140-%1.png").arg(size)) && ok;
    }
    return ok ? 0 : 1;
}
