// Loading pictures through the real file dialog and re-blurring them with the spin box,
// checked on what the six views show.
#include <QGraphicsView>
#include <QMetaMethod>
#include <QMimeData>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "dialog_driver.h"
#include "literal_pipeline.h"
#include "mainwindow.h"
#include "picture_loader.h"
#include "picture_types.h"
#include "pictures.h"
#include "platform_files.h"
#include "shown.h"

namespace {

struct Screen
{
    cv::Mat views[6];
};

} // namespace

class TestLoadAndReblur : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loadShowsTheSixFilters_data();
    void loadShowsTheSixFilters();
    void uniformPictureHasNoEdges();
    void undecodableFilesChangeNothing_data();
    void undecodableFilesChangeNothing();
    void cancelChangesNothing();
    void secondLoadReplacesEverything();
    void floodingDecoderFailsOnlyItsLoad();
    void reblurUpAndDownRestoresExactly();
    void spinBoxBeforeAnyLoadDoesNothing();
    void evenTypedSizeBlursWithTheNextOddSize();
    void slotRunsWhenInvokedThroughTheMetaObject();
    void dropsOpenTheFirstLocalFile_data();
    void dropsOpenTheFirstLocalFile();
    void keysWalkTheFolderInNaturalOrder();

private:
    QTemporaryDir folder;
    MainWindow *window = nullptr;

    QString path(const QString &name) const { return folder.filePath(name); }
    QGraphicsView *view(const char *name) const { return window->findChild<QGraphicsView *>(name); }
    QSpinBox *spinBox() const { return window->findChild<QSpinBox *>(QStringLiteral("spinBox")); }
    std::string load(const QString &file, SeenFileDialog *seen = nullptr);
    Screen screen() const;
    QString showsFramesOf(const cv::Mat &decoded, int kernelSize = 1) const;
    cv::Mat gaussianView() const { return shownPicture(view("gaussian")); }
    QString status() const { return window->statusBar()->currentMessage(); }
};

void TestLoadAndReblur::initTestCase()
{
    QVERIFY(folder.isValid());
    QVERIFY(writePicture(path(QStringLiteral("first.jpg")), photographLike(640, 480, 21)));
    QVERIFY(writePicture(path(QStringLiteral("second.png")), photographLike(300, 500, 22)));
}

void TestLoadAndReblur::init()
{
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void TestLoadAndReblur::cleanup()
{
    delete window;
    window = nullptr;
}

std::string TestLoadAndReblur::load(const QString &file, SeenFileDialog *seen)
{
    return loadThroughDialog(window, file, seen);
}

Screen TestLoadAndReblur::screen() const
{
    Screen shown;
    for (int i = 0; i < 6; ++i)
        shown.views[i] = shownPicture(view(displayViewNames[i]));
    return shown;
}

// Empty if every view shows what the plain library calls make of the decoded picture, the
// Gaussian view with the spin box's kernel size.
QString TestLoadAndReblur::showsFramesOf(const cv::Mat &decoded, int kernelSize) const
{
    const DisplayFrames expected = literalDisplayFrames(decoded);
    const cv::Mat frames[] = {expected.rgb, expected.gray,
                              kernelSize == 1 ? expected.gauss : literalReblur(expected.rgb, kernelSize),
                              expected.sobel, expected.laplace, expected.average};
    for (int i = 0; i < 6; ++i) {
        const cv::Mat shown = shownPicture(view(displayViewNames[i]));
        if (shown.size() != cv::Size(256, 192))
            return QStringLiteral("%1 shows no 256 x 192 picture").arg(displayViewNames[i]);
        if (differingSamples(shown, asShown(frames[i])) != 0)
            return QStringLiteral("%1 shows other pixels").arg(displayViewNames[i]);
    }
    return {};
}

static bool sameScreen(const Screen &a, const Screen &b)
{
    for (int i = 0; i < 6; ++i)
        if (a.views[i].empty() != b.views[i].empty()
            || (!a.views[i].empty() && differingSamples(a.views[i], b.views[i]) != 0))
            return false;
    return true;
}

void TestLoadAndReblur::loadShowsTheSixFilters_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    const auto encoded = [](const char *extension, const cv::Mat &picture) {
        std::vector<unsigned char> bytes;
        cv::imencode(extension, picture, bytes);
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
    };
    cv::Mat gray;
    cv::cvtColor(photographLike(160, 120, 23), gray, cv::COLOR_BGR2GRAY);
    const auto turned = jpegWithOrientation(photographLike(300, 200, 24), 6);

    QTest::newRow("photograph") << "photo.jpg" << encoded(".jpg", photographLike(1024, 768, 25));
    QTest::newRow("very wide") << "wide.png" << encoded(".png", photographLike(2000, 9, 26));
    QTest::newRow("1x1") << "dot.png" << encoded(".png", cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)));
    QTest::newRow("gray file") << "gray.png" << encoded(".png", gray);
    QTest::newRow("EXIF-turned") << "turned.jpg"
                                 << QByteArray(reinterpret_cast<const char *>(turned.data()), qsizetype(turned.size()));
    QTest::newRow("chinese and emoji name") << "照片 🌄.jpg" << encoded(".jpg", photographLike(400, 300, 27));
}

void TestLoadAndReblur::loadShowsTheSixFilters()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QVERIFY(writeBytes(path(name), bytes));
    const QString plain = path(QStringLiteral("plain-copy"));
    QVERIFY(writeBytes(plain, bytes));

    SeenFileDialog seen;
    QCOMPARE(load(path(name), &seen), std::string());
    QVERIFY(seen.opened);
    QCOMPARE(seen.title, QStringLiteral("OpenFile"));
    // The first filter as it always was, then one for each extension decoded, then all files.
    const QStringList extensions = pictureExtensions();
    QCOMPARE(seen.nameFilters.size(), extensions.size() + 2);
    QCOMPARE(seen.nameFilters.first(), QStringLiteral("Image (*.jpg *.png *.HEIC *.txt *.jpeg)"));
    for (int i = 0; i < extensions.size(); ++i)
        QVERIFY2(seen.nameFilters[i + 1].endsWith(QStringLiteral(" (*.%1)").arg(extensions[i])), qPrintable(seen.nameFilters[i + 1]));
    QCOMPARE(seen.nameFilters.last(), QStringLiteral("All files (*)"));

    const cv::Mat decoded = cv::imread(plain.toStdString(), cv::IMREAD_COLOR);
    const QString difference = showsFramesOf(decoded);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QCOMPARE(status(), QStringLiteral("%1 — %2 × %3").arg(name).arg(decoded.cols).arg(decoded.rows));
    // The busy cursor was the views' alone, and is gone again.
    QVERIFY(!QApplication::overrideCursor());
    QCOMPARE(view("origin")->cursor().shape(), Qt::ArrowCursor);
    // A 1 x 1 kernel leaves the picture as it was.
    QCOMPARE(differingSamples(gaussianView(), shownPicture(view("origin"))), 0LL);
}

void TestLoadAndReblur::uniformPictureHasNoEdges()
{
    QVERIFY(writePicture(path(QStringLiteral("uniform.png")), cv::Mat(100, 100, CV_8UC3, cv::Scalar(40, 120, 200))));
    QCOMPARE(load(path(QStringLiteral("uniform.png"))), std::string());
    for (const char *name : {"sobel", "laplacian"}) {
        const cv::Mat edges = shownPicture(view(name));
        QVERIFY(!edges.empty());
        QCOMPARE(cv::countNonZero(edges.reshape(1)), 0);
    }
}

void TestLoadAndReblur::undecodableFilesChangeNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("text file") << "notes.txt" << QByteArray("this is not a picture\n");
    QTest::newRow("empty file") << "empty.jpg" << QByteArray();
    QTest::newRow("HEIC name, garbage") << "phone.HEIC" << QByteArray(4096, '\x5a');
    QTest::newRow("named pipe") << "pipe.png" << QByteArray();
}

void TestLoadAndReblur::undecodableFilesChangeNothing()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    if (name == QStringLiteral("pipe.png") && !fileSystemHasNamedPipes)
        QSKIP("no named pipes among files here");
    if (name == QStringLiteral("pipe.png"))
        QVERIFY(makeNamedPipe(path(name)));
    else
        QVERIFY(writeBytes(path(name), bytes));

    // Before any load the views stay empty, and the wait cursor is gone again.
    QCOMPARE(load(path(name)), std::string("reading fail\n"));
    QVERIFY(!view("origin")->scene());
    QVERIFY(!QApplication::overrideCursor());

    // After a load they keep their pictures, and the kept colour frame is still the old one.
    QCOMPARE(load(path(QStringLiteral("first.jpg"))), std::string());
    const Screen before = screen();
    QCOMPARE(load(path(name)), std::string("reading fail\n"));
    QVERIFY(sameScreen(screen(), before));
    QCOMPARE(status(), QStringLiteral("reading fail: %1").arg(name));
    spinBox()->setValue(5);
    QCOMPARE(differingSamples(gaussianView(), literalReblur(before.views[0], 5)), 0LL);
}

void TestLoadAndReblur::cancelChangesNothing()
{
    SeenFileDialog seen;
    QCOMPARE(load(QString(), &seen), std::string());
    QVERIFY(seen.opened);
    QVERIFY(!view("origin")->scene());

    QCOMPARE(load(path(QStringLiteral("first.jpg"))), std::string());
    const Screen before = screen();
    const QString shownStatus = status();
    seen = {};
    QCOMPARE(load(QString(), &seen), std::string());
    QVERIFY(seen.opened);
    QVERIFY(sameScreen(screen(), before));
    QCOMPARE(status(), shownStatus);
    spinBox()->setValue(7);
    QCOMPARE(differingSamples(gaussianView(), literalReblur(before.views[0], 7)), 0LL);
}

void TestLoadAndReblur::secondLoadReplacesEverything()
{
    QCOMPARE(load(path(QStringLiteral("first.jpg"))), std::string());
    spinBox()->setValue(9);
    QCOMPARE(load(path(QStringLiteral("second.png"))), std::string());

    // The spin box keeps its value, and the Gaussian view shows the new picture blurred with it.
    QCOMPARE(spinBox()->value(), 9);
    const QString difference =
        showsFramesOf(cv::imread(path(QStringLiteral("second.png")).toStdString(), cv::IMREAD_COLOR), 9);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    spinBox()->stepUp();
    const cv::Mat second = shownPicture(view("origin"));
    QCOMPARE(differingSamples(gaussianView(), literalReblur(second, 11)), 0LL);
}

void TestLoadAndReblur::floodingDecoderFailsOnlyItsLoad()
{
    // A decoder that says how far it is far more often than any decode moves is broken: its load
    // fails, the window's timers keep firing throughout, and the next load is read.
    if (VIREOSCOPE_IN_PROCESS_LOADS)
        QSKIP("loads run in the window's process here: there is no decoder process to flood it");
    PictureLoader loader(nullptr, QFINDTESTDATA("support/flooding_decoder.py"));
    QSignalSpy failed(&loader, &PictureLoader::failed), loaded(&loader, &PictureLoader::loaded);
    QTimer ticking;
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    connect(&ticking, &QTimer::timeout, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    ticking.start(1);
    sinceTick.start();
    loader.load(path(QStringLiteral("first.jpg")));
    QTRY_COMPARE(failed.count(), 1);
    loader.load(path(QStringLiteral("second.png")));
    QTRY_COMPARE(loaded.count(), 1);
    QCOMPARE(failed.count(), 1);
    QVERIFY2(longestGap < 1000, qPrintable(QStringLiteral("the window stood still for %1 ms").arg(longestGap)));
}

void TestLoadAndReblur::reblurUpAndDownRestoresExactly()
{
    QCOMPARE(load(path(QStringLiteral("first.jpg"))), std::string());
    const cv::Mat colorFrame = shownPicture(view("origin"));
    const Screen before = screen();
    spinBox()->setFocus();

    std::map<int, cv::Mat> onTheWayUp;
    double previousSharpness = 1e300;
    for (int size = 3; size <= 35; size += 2) {
        QTest::keyClick(spinBox(), Qt::Key_Up);
        QCOMPARE(spinBox()->value(), size);
        onTheWayUp[size] = gaussianView();
        QCOMPARE(differingSamples(onTheWayUp[size], literalReblur(colorFrame, size)), 0LL);
        // Each step blurs more: less detail is left.
        cv::Mat detail;
        cv::Laplacian(onTheWayUp[size], detail, CV_32F);
        const double sharpness = cv::norm(detail);
        QVERIFY(sharpness < previousSharpness);
        previousSharpness = sharpness;
    }
    for (int size = 33; size >= 1; size -= 2) {
        QTest::keyClick(spinBox(), Qt::Key_Down);
        QCOMPARE(spinBox()->value(), size);
        const cv::Mat expected = size == 1 ? colorFrame : onTheWayUp[size];
        QCOMPARE(differingSamples(gaussianView(), expected), 0LL);
    }
    // Only the Gaussian view ever changed.
    const Screen after = screen();
    for (int i : {0, 1, 3, 4, 5})
        QCOMPARE(differingSamples(after.views[i], before.views[i]), 0LL);
}

void TestLoadAndReblur::spinBoxBeforeAnyLoadDoesNothing()
{
    spinBox()->setFocus();
    for (int press = 0; press < 5; ++press)
        QTest::keyClick(spinBox(), Qt::Key_Up);
    spinBox()->selectAll();
    QTest::keyClicks(spinBox(), QStringLiteral("8"));
    QCOMPARE(spinBox()->value(), 8);
    for (const char *name : displayViewNames)
        QVERIFY2(!view(name)->scene(), name);

    // The window still works afterwards; the typed 8 blurs with 9.
    QCOMPARE(load(path(QStringLiteral("first.jpg"))), std::string());
    QVERIFY(showsFramesOf(cv::imread(path(QStringLiteral("first.jpg")).toStdString(), cv::IMREAD_COLOR), 9).isEmpty());
}

void TestLoadAndReblur::evenTypedSizeBlursWithTheNextOddSize()
{
    QCOMPARE(load(path(QStringLiteral("first.jpg"))), std::string());
    const cv::Mat colorFrame = shownPicture(view("origin"));
    spinBox()->setFocus();
    spinBox()->selectAll();
    QTest::keyClicks(spinBox(), QStringLiteral("4"));
    QCOMPARE(spinBox()->value(), 4);
    QCOMPARE(differingSamples(gaussianView(), literalReblur(colorFrame, 5)), 0LL);
    spinBox()->selectAll();
    QTest::keyClicks(spinBox(), QStringLiteral("30"));
    QCOMPARE(differingSamples(gaussianView(), literalReblur(colorFrame, 31)), 0LL);
}

void TestLoadAndReblur::slotRunsWhenInvokedThroughTheMetaObject()
{
    QCOMPARE(load(path(QStringLiteral("first.jpg"))), std::string());
    const cv::Mat colorFrame = shownPicture(view("origin"));
    const QMetaObject *meta = window->metaObject();
    const QMetaMethod reblur = meta->method(meta->methodOffset() + 1);
    QVERIFY(reblur.invoke(window, Qt::DirectConnection, Q_ARG(int, 13)));
    QCOMPARE(differingSamples(gaussianView(), literalReblur(colorFrame, 13)), 0LL);
    QCOMPARE(spinBox()->value(), 1); // the slot only blurs; the spin box is not its business
}

void TestLoadAndReblur::dropsOpenTheFirstLocalFile_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("opens"); // empty: refused
    const QUrl first = QUrl::fromLocalFile(path(QStringLiteral("first.jpg")));
    const QUrl second = QUrl::fromLocalFile(path(QStringLiteral("second.png")));
    const QUrl web(QStringLiteral("https://example.com/photo.jpg"));
    QTest::newRow("a file") << QList<QUrl>{first} << QString() << "first.jpg";
    QTest::newRow("several") << QList<QUrl>{web, second, first} << QString() << "second.png";
    QTest::newRow("file:// URL as text") << QList<QUrl>{} << second.toString() << "second.png";
    QTest::newRow("web address") << QList<QUrl>{web} << QString() << QString();
    QTest::newRow("plain text") << QList<QUrl>{} << QStringLiteral("first.jpg") << QString();
}

void TestLoadAndReblur::dropsOpenTheFirstLocalFile()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(QString, text);
    QFETCH(QString, opens);
    QMimeData data;
    if (!urls.isEmpty())
        data.setUrls(urls);
    if (!text.isEmpty())
        data.setText(text);

    // Dragged over a view, as a person drops a photo on the picture.
    QWidget *target = view("sobel")->viewport();
    const QPoint at(100, 100);
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QCOMPARE(enter.isAccepted(), !opens.isEmpty());
    QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    StandardOutputCapture output;
    QApplication::sendEvent(target, &drop);
    QVERIFY(waitForLoad(window));
    QCOMPARE(output.text(), std::string());
    if (opens.isEmpty()) {
        QVERIFY(!drop.isAccepted());
        QVERIFY(!view("origin")->scene());
        return;
    }
    QCOMPARE(drop.dropAction(), Qt::CopyAction); // never a move, which would delete the file
    const QString difference = showsFramesOf(cv::imread(path(opens).toStdString(), cv::IMREAD_COLOR));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestLoadAndReblur::keysWalkTheFolderInNaturalOrder()
{
    // Keyboard shortcuts go to the active window; a compositor without a seat (the tests' headless
    // weston) never makes any window active.
    if (QGuiApplication::platformName() == QLatin1String("wayland"))
        QSKIP("no window is ever active on a compositor without a seat");
    QTemporaryDir walk;
    const auto picture = [&](const char *name, unsigned seed) {
        return writePicture(walk.filePath(QString::fromUtf8(name)), photographLike(200, 150, seed));
    };
    QVERIFY(picture("img1.png", 31) && picture("img2.jpg", 32) && picture("IMG7.JPG", 33) && picture("img10.png", 34));
    QVERIFY(writeBytes(walk.filePath(QStringLiteral("img5.jpg")), QByteArray("broken")));
    QVERIFY(writeBytes(walk.filePath(QStringLiteral("img3.txt")), QByteArray("not a picture type")));
    QVERIFY(QDir(walk.path()).mkdir(QStringLiteral("img4.png")));
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));

    // Each key's picture, in full, with its name in the status bar; the broken one on the way fails.
    const auto press = [&](QWidget *where, QKeyCombination key, const char *expected) -> QString {
        StandardOutputCapture output;
        QTest::keyClick(where, key.key(), key.keyboardModifiers());
        if (!waitForLoad(window))
            return QStringLiteral("the load did not end");
        if (qstrcmp(expected, "reading fail") == 0)
            return output.text() == "reading fail\n" && status() == QStringLiteral("reading fail: img5.jpg")
                       ? QString() : QStringLiteral("img5.jpg did not fail: ") + status();
        if (!output.text().empty() || !status().startsWith(QString::fromUtf8(expected) + QStringLiteral(" — ")))
            return QStringLiteral("%1 is not shown: %2").arg(expected, status());
        // After a load the Gaussian view shows the blur the spin box says.
        return showsFramesOf(cv::imread(walk.filePath(QString::fromUtf8(expected)).toStdString(), cv::IMREAD_COLOR),
                             spinBox()->value());
    };
    window->open(walk.filePath(QStringLiteral("img1.png")));
    QVERIFY(waitForLoad(window));
    QWidget *button = window->findChild<QWidget *>(QStringLiteral("load"));
    button->setFocus();
    const struct { QKeyCombination key; const char *shows; } walkThrough[] = {
        {Qt::Key_PageDown, "img2.jpg"}, {Qt::Key_PageDown, "reading fail"}, {Qt::Key_PageDown, "IMG7.JPG"},
        {Qt::Key_PageDown, "img10.png"}, {Qt::Key_PageDown, "img10.png"}, // the end: nothing
        {Qt::Key_PageUp, "IMG7.JPG"}, {Qt::Key_PageUp, "reading fail"}, {Qt::Key_PageUp, "img2.jpg"},
        {Qt::Key_PageUp, "img1.png"}, {Qt::Key_PageUp, "img1.png"},
        {Qt::CTRL | Qt::Key_PageDown, "img2.jpg"},
    };
    for (const auto &step : walkThrough) {
        const QString difference = press(button, step.key, step.shows);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    // The spin box keeps its Page keys; with Ctrl they still walk.
    spinBox()->setFocus();
    QTest::keyClick(spinBox(), Qt::Key_PageUp);
    QCOMPARE(spinBox()->value(), 21); // ten steps
    QCOMPARE(status(), QStringLiteral("img2.jpg — 200 × 150"));
    QString difference = press(spinBox(), Qt::CTRL | Qt::Key_PageUp, "img1.png");
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // Ctrl+O opens the dialog; Ctrl+Q closes the window.
    const std::shared_ptr<const SeenFileDialog> dialog = answerNextFileDialog(QString());
    QTest::keyClick(button, Qt::Key_O, Qt::ControlModifier);
    QVERIFY(dialog->opened);
    window->activateWindow(); // with no window manager, nobody hands it back the focus
    QVERIFY(QTest::qWaitForWindowActive(window));
    QTest::keyClick(button, Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!window->isVisible());
}

QTEST_MAIN(TestLoadAndReblur)
#include "tst_load_and_reblur.moc"
