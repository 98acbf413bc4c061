// The window as a person finds it right after start-up.
#include <QGraphicsView>
#include <QLabel>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStatusBar>
#include <QtTest>

#include "mainwindow.h"

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowFrame();
    void viewsWithCaptions_data();
    void viewsWithCaptions();
    void controls();
    void spinBoxSteps();
    void spinBoxTyping();
    void metaObjectHasOnlyTheTwoSlots();

private:
    MainWindow *window = nullptr;
};

void TestMainWindow::init()
{
    // A slot whose name matches no widget signal would only warn at set-up.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("connectSlotsByName")));
    window = new MainWindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void TestMainWindow::cleanup()
{
    delete window;
    window = nullptr;
}

void TestMainWindow::windowFrame()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("Vireoscope"));
    QCOMPARE(window->size(), QSize(800, 600));
    QVERIFY(window->menuBar()->actions().isEmpty());
    QVERIFY(window->statusBar()->isVisible());
    QVERIFY(window->statusBar()->currentMessage().isEmpty());
    QVERIFY(window->centralWidget());
    QCOMPARE(window->centralWidget()->objectName(), QStringLiteral("centralwidget"));
}

void TestMainWindow::viewsWithCaptions_data()
{
    QTest::addColumn<QString>("view");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QPoint>("topLeft");

    QTest::newRow("origin") << "origin" << QStringLiteral("原圖") << QPoint(10, 40);
    QTest::newRow("gray") << "gray" << QStringLiteral("灰階") << QPoint(270, 40);
    QTest::newRow("average") << "average" << QStringLiteral("灰階(平均)") << QPoint(530, 40);
    QTest::newRow("gaussian") << "gaussian" << QStringLiteral("Gaussian blur filter") << QPoint(10, 270);
    QTest::newRow("sobel") << "sobel" << QStringLiteral("sobel filter") << QPoint(270, 270);
    QTest::newRow("laplacian") << "laplacian" << QStringLiteral("laplacian filter") << QPoint(530, 270);
}

void TestMainWindow::viewsWithCaptions()
{
    QFETCH(QString, view);
    QFETCH(QString, caption);
    QFETCH(QPoint, topLeft);

    auto *graphicsView = window->findChild<QGraphicsView *>(view);
    QVERIFY(graphicsView);
    QCOMPARE(graphicsView->parentWidget(), window->centralWidget());
    QCOMPARE(graphicsView->geometry(), QRect(topLeft, QSize(256, 192)));
    QVERIFY(graphicsView->isVisible());
    QVERIFY2(!graphicsView->scene(), "every view is empty until a picture is loaded");
    // No frame: the whole 256 x 192 picture fits the viewport without scrolling.
    QCOMPARE(graphicsView->viewport()->size(), QSize(256, 192));

    // Its caption sits just above it, over the view's own column.
    QLabel *captionLabel = nullptr;
    for (QLabel *label : window->centralWidget()->findChildren<QLabel *>())
        if (label->text() == caption)
            captionLabel = label;
    QVERIFY2(captionLabel, qPrintable(caption));
    const QRect below = graphicsView->geometry();
    const QRect above = captionLabel->geometry();
    QVERIFY(above.bottom() < below.top());
    QVERIFY(below.top() - above.bottom() <= 21);
    QVERIFY(above.left() >= below.left() && above.right() <= below.right());
}

void TestMainWindow::controls()
{
    auto *load = window->findChild<QPushButton *>(QStringLiteral("load"));
    QVERIFY(load);
    QCOMPARE(load->text(), QStringLiteral("load"));
    QCOMPARE(load->geometry(), QRect(350, 490, 93, 28));

    auto *spinBox = window->findChild<QSpinBox *>(QStringLiteral("spinBox"));
    QVERIFY(spinBox);
    QCOMPARE(spinBox->geometry(), QRect(130, 470, 44, 24));
    auto *sizeLabel = window->findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(sizeLabel);
    QCOMPARE(sizeLabel->text(), QStringLiteral(" size"));
    QCOMPARE(sizeLabel->geometry(), QRect(90, 470, 31, 19));

    // Six captions and the size label, and nothing else to read.
    QCOMPARE(window->centralWidget()->findChildren<QLabel *>().size(), 7);
    QCOMPARE(window->centralWidget()->findChildren<QGraphicsView *>().size(), 6);
}

void TestMainWindow::spinBoxSteps()
{
    auto *spinBox = window->findChild<QSpinBox *>(QStringLiteral("spinBox"));
    QVERIFY(spinBox);
    QCOMPARE(spinBox->value(), 1);
    QCOMPARE(spinBox->minimum(), 1);
    QCOMPARE(spinBox->maximum(), 35);

    QSignalSpy changes(spinBox, &QSpinBox::valueChanged);
    spinBox->setFocus();
    QList<int> seen;
    for (int press = 0; press < 20; ++press) {
        QTest::keyClick(spinBox, Qt::Key_Up);
        seen << spinBox->value();
    }
    QList<int> expected;
    for (int size = 3; size <= 35; size += 2)
        expected << size;
    while (expected.size() < 20)
        expected << 35; // stops at the top
    QCOMPARE(seen, expected);
    QCOMPARE(changes.size(), 17);

    for (int press = 0; press < 20; ++press)
        QTest::keyClick(spinBox, Qt::Key_Down);
    QCOMPARE(spinBox->value(), 1);
    QCOMPARE(changes.size(), 34);
}

void TestMainWindow::spinBoxTyping()
{
    auto *spinBox = window->findChild<QSpinBox *>(QStringLiteral("spinBox"));
    QVERIFY(spinBox);
    spinBox->setFocus();
    spinBox->selectAll();
    QTest::keyClicks(spinBox, QStringLiteral("36"));
    QVERIFY(spinBox->value() <= 35);
    spinBox->selectAll();
    QTest::keyClicks(spinBox, QStringLiteral("4"));
    QCOMPARE(spinBox->value(), 4); // typing is not bound to the step
}

void TestMainWindow::metaObjectHasOnlyTheTwoSlots()
{
    const QMetaObject *meta = window->metaObject();
    QCOMPARE(meta->className(), "MainWindow");
    QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 2);
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());
    QCOMPARE(meta->constructorCount(), 0);

    const QMetaMethod load = meta->method(meta->methodOffset());
    const QMetaMethod spin = meta->method(meta->methodOffset() + 1);
    QCOMPARE(load.methodSignature(), QByteArray("on_load_clicked()"));
    QCOMPARE(spin.methodSignature(), QByteArray("on_spinBox_valueChanged(int)"));
    QCOMPARE(spin.parameterNames(), QList<QByteArray>{"arg1"});
    for (const QMetaMethod &slot : {load, spin}) {
        QCOMPARE(slot.methodType(), QMetaMethod::Slot);
        QCOMPARE(slot.access(), QMetaMethod::Private);
        QCOMPARE(slot.returnType(), int(QMetaType::Void));
    }
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
