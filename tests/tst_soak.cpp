// A long session: 200 loads of assorted pictures and 10,000 changes of the kernel size (odd,
// even, out of order, some before the first picture). Memory stays flat and every view still
// shows what it should.
#include <QGraphicsView>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "mainwindow.h"
#include "pictures.h"
#include "resident.h"
#include "shown.h"

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void longSessionStaysFlat();
};

void TestSoak::longSessionStaysFlat()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QStringList names = {QStringLiteral("a.jpg"), QStringLiteral("b.png"), QStringLiteral("c.bmp"),
                               QStringLiteral("d.tiff"), QStringLiteral("e.webp")};
    const cv::Size sizes[] = {{800, 600}, {300, 500}, {64, 64}, {1500, 40}, {333, 222}};
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(writePicture(folder.filePath(names[i]), photographLike(sizes[i].width, sizes[i].height, 50 + i)));

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *spinBox = window.findChild<QSpinBox *>(QStringLiteral("spinBox"));

    cv::RNG random(7);
    int changes = 0;
    const auto changeKernelSize = [&] {
        spinBox->setValue(random.uniform(1, 36)); // odd and even, in any order
        ++changes;
    };
    const auto loadPicture = [&](const QString &name) { return loadThroughDialog(&window, folder.filePath(name)); };

    for (int i = 0; i < 50; ++i)
        changeKernelSize();
    QVERIFY(!window.findChild<QGraphicsView *>(QStringLiteral("gaussian"))->scene());

    // The first cycle sets up whatever the libraries keep for good (fonts, caches, thread pools).
    for (const QString &name : names) {
        QCOMPARE(loadPicture(name), std::string());
        for (int i = 0; i < 50; ++i)
            changeKernelSize();
    }
    const long long settled = residentBytes();

    for (int loads = names.size(); loads < 200; ++loads) {
        QCOMPARE(loadPicture(names[loads % names.size()]), std::string());
        for (int i = 0; i < 50; ++i)
            changeKernelSize();
    }
    const long long grown = residentBytes() - settled;
    qInfo("%d changes of the kernel size; resident memory after the first cycle %.1f MiB, grown since by %.2f MiB",
          changes, settled / 1048576.0, grown / 1048576.0);
    QVERIFY(changes >= 10000);
#ifndef UNDER_ADDRESS_SANITIZER // its quarantine holds freed memory on purpose
    QVERIFY2(grown <= 5 * 1048576LL, "resident memory grew by more than 5 MiB");
#endif

    // The last picture loaded is on screen, and the Gaussian view follows the spin box.
    const cv::Mat decoded = cv::imread(folder.filePath(names[199 % names.size()]).toStdString(), cv::IMREAD_COLOR);
    const DisplayFrames expected = literalDisplayFrames(decoded);
    const struct { const char *view; cv::Mat frame; } views[] = {
        {"origin", expected.rgb}, {"gray", expected.gray}, {"sobel", expected.sobel},
        {"laplacian", expected.laplace}, {"average", expected.average},
    };
    for (const auto &view : views)
        QCOMPARE(differingSamples(shownPicture(window.findChild<QGraphicsView *>(view.view)), asShown(view.frame)), 0LL);
    const int size = spinBox->value() | 1;
    QCOMPARE(differingSamples(shownPicture(window.findChild<QGraphicsView *>(QStringLiteral("gaussian"))),
                              literalReblur(expected.rgb, size)),
             0LL);
    for (const char *name : {"origin", "gray", "gaussian", "sobel", "laplacian", "average"})
        QCOMPARE(window.findChild<QGraphicsView *>(name)->findChildren<QGraphicsScene *>().size(), 1);
}

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
