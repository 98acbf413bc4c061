// Putting frames on screen: what the view shows, how often it can be done, and what it keeps.
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPointer>
#include <QScrollBar>
#include <QtTest>

#include <opencv2/core.hpp>

#include "frame_display.h"
#include "shown.h"

namespace {

cv::Mat randomFrame(int rows, int cols, int type)
{
    cv::Mat frame(rows, cols, type);
    cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
    return frame;
}

} // namespace

class TestFrameDisplay : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void grayRampShowsBlackToWhite();
    void colourBytesShowAsRedGreenBlue();
    void pictureFillsTheViewExactly();
    void regionsOfLargerFramesShowCorrectly_data();
    void regionsOfLargerFramesShowCorrectly();
    void framesEndingAtTheirBufferEnd();
    void aViewHoldsOnlyItsLatestPicture();
    void scenesDoNotOutliveTheirView();

private:
    QGraphicsView *view = nullptr;
};

void TestFrameDisplay::init()
{
    view = new QGraphicsView;
    view->setFrameShape(QFrame::NoFrame);
    view->resize(256, 192);
}

void TestFrameDisplay::cleanup()
{
    delete view;
    view = nullptr;
}

void TestFrameDisplay::grayRampShowsBlackToWhite()
{
    cv::Mat ramp(192, 256, CV_8UC1);
    for (int k = 0; k < 256; ++k)
        ramp.col(k).setTo(k);
    displayFrame(ramp, QImage::Format_Indexed8, view);

    const cv::Mat shown = shownPicture(view);
    QCOMPARE(shown.size(), cv::Size(256, 192));
    for (int k = 0; k < 256; k += 17)
        QCOMPARE(shown.at<cv::Vec3b>(100, k), cv::Vec3b(k, k, k));
    QCOMPARE(differingSamples(shown, asShown(ramp)), 0LL);
}

void TestFrameDisplay::colourBytesShowAsRedGreenBlue()
{
    cv::Mat frame(192, 256, CV_8UC3, cv::Scalar(200, 100, 50));
    frame.at<cv::Vec3b>(0, 0) = cv::Vec3b(255, 0, 0);
    displayFrame(frame, QImage::Format_RGB888, view);

    const QImage image = qgraphicsitem_cast<QGraphicsPixmapItem *>(view->scene()->items().first())->pixmap().toImage();
    QCOMPARE(image.pixel(0, 0), qRgb(255, 0, 0));
    QCOMPARE(image.pixel(1, 0), qRgb(200, 100, 50));
    QCOMPARE(differingSamples(shownPicture(view), frame), 0LL);
}

void TestFrameDisplay::pictureFillsTheViewExactly()
{
    const cv::Mat frame = randomFrame(192, 256, CV_8UC3);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    displayFrame(frame, QImage::Format_RGB888, view);
    QCoreApplication::processEvents();

    QVERIFY(!view->horizontalScrollBar()->isVisible());
    QVERIFY(!view->verticalScrollBar()->isVisible());
    QCOMPARE(differingSamples(renderedView(view), frame), 0LL);
}

void TestFrameDisplay::regionsOfLargerFramesShowCorrectly_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::newRow("gray, odd width") << CV_8UC1 << int(QImage::Format_Indexed8) << 101;
    QTest::newRow("gray, display width") << CV_8UC1 << int(QImage::Format_Indexed8) << 256;
    QTest::newRow("colour, odd width") << CV_8UC3 << int(QImage::Format_RGB888) << 101;
    QTest::newRow("colour, display width") << CV_8UC3 << int(QImage::Format_RGB888) << 256;
}

// The pixels sit at the very end of their allocation, so a read past the last row is caught by
// the address sanitizer in that build.
void TestFrameDisplay::framesEndingAtTheirBufferEnd()
{
    for (const int width : {1, 3, 101, 255}) {
        for (const int type : {CV_8UC1, CV_8UC3}) {
            const int channels = CV_MAT_CN(type);
            std::vector<unsigned char> buffer(std::size_t(width) * channels * 7);
            cv::randu(buffer, 0, 256);
            const cv::Mat frame(7, width, type, buffer.data());
            displayFrame(frame, channels == 1 ? QImage::Format_Indexed8 : QImage::Format_RGB888, view);
            QCOMPARE(differingSamples(shownPicture(view), asShown(frame)), 0LL);
        }
    }
}

void TestFrameDisplay::regionsOfLargerFramesShowCorrectly()
{
    QFETCH(int, type);
    QFETCH(int, format);
    QFETCH(int, width);
    const cv::Mat whole = randomFrame(200, width + 9, type);
    const cv::Mat region = whole(cv::Rect(3, 5, width, 192));
    QVERIFY(!region.isContinuous());
    displayFrame(region, QImage::Format(format), view);
    QCOMPARE(differingSamples(shownPicture(view), asShown(region)), 0LL);
}

void TestFrameDisplay::aViewHoldsOnlyItsLatestPicture()
{
    const cv::Mat first(192, 256, CV_8UC3, cv::Scalar(10, 20, 30));
    const cv::Mat second(192, 256, CV_8UC3, cv::Scalar(40, 50, 60));
    displayFrame(first, QImage::Format_RGB888, view);
    displayFrame(second, QImage::Format_RGB888, view);
    QCOMPARE(view->scene()->items().size(), 1);
    QCOMPARE(differingSamples(shownPicture(view), second), 0LL);

    // However often a view is refreshed, the replaced scenes are gone.
    QPointer<QGraphicsScene> earlier = view->scene();
    for (int i = 0; i < 10000; ++i)
        displayFrame(i % 2 ? first : second, QImage::Format_RGB888, view);
    QVERIFY(earlier.isNull());
    QCOMPARE(view->findChildren<QGraphicsScene *>().size(), 1);
    QCOMPARE(differingSamples(shownPicture(view), first), 0LL);
}

void TestFrameDisplay::scenesDoNotOutliveTheirView()
{
    displayFrame(randomFrame(192, 256, CV_8UC1), QImage::Format_Indexed8, view);
    QPointer<QGraphicsScene> scene = view->scene();
    QVERIFY(!scene.isNull());
    delete view;
    view = nullptr;
    QVERIFY(scene.isNull());
}

QTEST_MAIN(TestFrameDisplay)
#include "tst_frame_display.moc"
