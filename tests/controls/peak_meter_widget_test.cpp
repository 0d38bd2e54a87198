#include "controls/peak_meter_widget.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <atomic>
#include <thread>

#include "qt_app.h"

namespace quavelink {
namespace {

const QColor kBackground(240, 240, 240);
const QColor kGrid(225, 225, 225);  // background darkened by 15

struct WithQtApplication {
    WithQtApplication() { test::ensureQtApplication(); }
};

class PeakMeterCtrlTest : public ::testing::Test, private WithQtApplication {
  protected:
    void SetUp() override {
        // The main window's configuration, at a size where every LED is 6 pixels tall and
        // every band 14 pixels wide.
        meter.SetOrientation(0);
        meter.SetBandLayout(2, 27);
        meter.SetShowPeak(true);
        meter.SetShowGrid(true);
        meter.SetRanges(26214, 32160, 32768);
        meter.SetColors(kBackground, QColor(0, 220, 0), QColor(245, 180, 0), QColor(255, 0, 0));
        meter.setFixedSize(28, 162);
        for (int i = 0; i < 100; ++i) meter.Tick();
    }

    // Centre pixel of LED `led` (0 at the bottom) of band `band`.
    static QPoint ledCentre(int band, int led) { return QPoint(band * 14 + 7, 162 - led * 6 - 3); }

    CPeakMeterCtrl meter;
};

TEST_F(PeakMeterCtrlTest, DrawsZonesGridAndPeakLines) {
    const int values[] = {32768, 16384};
    meter.SetData(values, 0, 2);
    meter.Tick();
    const QImage image = meter.grab().toImage();

    EXPECT_EQ(image.pixelColor(ledCentre(0, 0)), QColor(0, 220, 0));
    EXPECT_EQ(image.pixelColor(ledCentre(0, 20)), QColor(0, 220, 0));
    EXPECT_EQ(image.pixelColor(ledCentre(0, 21)), QColor(245, 180, 0));
    EXPECT_EQ(image.pixelColor(ledCentre(0, 25)), QColor(245, 180, 0));
    EXPECT_EQ(image.pixelColor(ledCentre(0, 26)), QColor(255, 0, 0));
    // 16384 lights 13 LEDs; the rest are drawn in the grid colour.
    EXPECT_EQ(image.pixelColor(ledCentre(1, 12)), QColor(0, 220, 0));
    EXPECT_EQ(image.pixelColor(ledCentre(1, 14)), kGrid);

    // Grid marks through the middle of LEDs 21 and 26 show in the gap left of each band.
    EXPECT_EQ(image.pixelColor(0, ledCentre(0, 21).y()), kGrid);
    EXPECT_EQ(image.pixelColor(0, ledCentre(0, 26).y()), kGrid);
    EXPECT_EQ(image.pixelColor(0, ledCentre(0, 20).y()), kBackground);

    // Peak lines: above the medium threshold dark red at the top, else background darkened by
    // 80 at 162 - 16384 * 162 / 32768 = 81.
    EXPECT_EQ(image.pixelColor(7, 0), QColor(215, 0, 0));
    EXPECT_EQ(image.pixelColor(21, 81), QColor(160, 160, 160));
    EXPECT_EQ(image.pixelColor(21, 80), kGrid);
}

// At a height that is no multiple of 27 the LEDs still reach the top: no blank strip there.
TEST_F(PeakMeterCtrlTest, LedsFillAHeightThatIsNoMultipleOfTheirCount) {
    meter.setFixedSize(28, 180);
    const int values[] = {32768, 32768};
    meter.SetData(values, 0, 2);
    meter.Tick();
    const QImage image = meter.grab().toImage();
    EXPECT_EQ(image.pixelColor(7, 2), QColor(255, 0, 0)) << "the top LED starts below the gap";
    EXPECT_EQ(image.pixelColor(7, 177), QColor(0, 220, 0));
}

TEST_F(PeakMeterCtrlTest, WithoutGridUnlitLedsAreBackground) {
    meter.SetShowGrid(false);
    meter.SetShowPeak(false);
    const QImage image = meter.grab().toImage();
    EXPECT_EQ(image.pixelColor(ledCentre(0, 0)), kBackground);
    EXPECT_EQ(image.pixelColor(0, ledCentre(0, 21).y()), kBackground);
}

class ThreadRecordingMeter : public CPeakMeterCtrl {
  public:
    ~ThreadRecordingMeter() override { Stop(); }
    void Tick() override {
        if (std::this_thread::get_id() != guiThread) offGuiTicks++;
        CPeakMeterCtrl::Tick();
    }
    std::thread::id guiThread = std::this_thread::get_id();
    std::atomic<int> offGuiTicks{0};
};

class PaintCounter : public QObject {
  public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
    int paints = 0;
};

// The timer thread ticks, values come from yet another thread, and the repaint arrives on the
// GUI thread as a posted request.
TEST(PeakMeterCtrlTimer, TicksOffTheGuiThreadAndRepaintsOnIt) {
    test::ensureQtApplication();
    ThreadRecordingMeter meter;
    meter.SetBandLayout(2, 27);
    meter.SetRanges(26214, 32160, 32768);
    meter.resize(28, 162);
    PaintCounter counter;
    meter.installEventFilter(&counter);
    meter.show();
    QCoreApplication::processEvents();
    const int paintsBefore = counter.paints;

    ASSERT_TRUE(meter.Start(std::chrono::milliseconds(5)));
    EXPECT_TRUE(meter.IsRunning());
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        const int values[] = {20000, 20000};
        while (!stop) {
            meter.SetData(values, 0, 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    QElapsedTimer waited;
    waited.start();
    // Generous liveness bound on a shared machine; no speed is asserted.
    while ((meter.Bands()[0].level != 20000 || counter.paints == paintsBefore) &&
           waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    stop = true;
    sender.join();

    EXPECT_EQ(meter.Bands()[0].level, 20000);
    EXPECT_GT(counter.paints, paintsBefore);
    EXPECT_GT(meter.offGuiTicks.load(), 0);
    EXPECT_TRUE(meter.Stop());
    EXPECT_FALSE(meter.Stop());
    const int ticks = meter.offGuiTicks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(meter.offGuiTicks.load(), ticks);
}

}  // namespace
}  // namespace quavelink
