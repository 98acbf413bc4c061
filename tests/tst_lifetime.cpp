// The real program on an X server of its own: it opens its window, refuses options it does not
// know, and ends with exit code 0 when the window is closed.
#include <QtTest>

#include "xsession.h"

class TestLifetime : public QObject
{
    Q_OBJECT

private slots:
    void closesWithExitCodeZero_data();
    void closesWithExitCodeZero();
    void answersHelpWithoutDisplay();
};

void TestLifetime::closesWithExitCodeZero_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("understood");
    QTest::newRow("no arguments") << QStringList() << true;
    QTest::newRow("options it does not know")
        << QStringList{QStringLiteral("--verbose"), QStringLiteral("picture.png"), QStringLiteral("-x")} << false;
    QTest::newRow("a URL of no local file") << QStringList{QStringLiteral("https://example.com/a.jpg")} << false;
    QTest::newRow("an argument Qt reads") << QStringList{QStringLiteral("-reverse")} << true;
}

void TestLifetime::closesWithExitCodeZero()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, understood);
    XSession x;
    QVERIFY2(x.isRunning(), "Xvfb did not start");

    QProcess program;
    program.setProcessEnvironment(x.environment());
    program.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), arguments);
    QVERIFY(program.waitForStarted());
    if (!understood) { // said on standard error, before any window
        QVERIFY(program.waitForFinished(10000));
        QVERIFY(program.exitCode() != 0);
        QVERIFY(program.readAllStandardError().contains(arguments.first().mid(2).toUtf8()));
        QVERIFY(x.windowsTitled(QStringLiteral("Vireoscope")).isEmpty());
        return;
    }

    const unsigned long window = x.waitForWindow(QStringLiteral("Vireoscope"));
    QVERIFY2(window, "no window titled Vireoscope appeared");
    QCOMPARE(program.state(), QProcess::Running);

    QVERIFY(x.requestClose(window));
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(program.readAllStandardOutput().isEmpty());
}

void TestLifetime::answersHelpWithoutDisplay()
{
    QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        noDisplay.remove(QLatin1String(variable));
    for (const char *option : {"--help", "--version"}) {
        QProcess program;
        program.setProcessEnvironment(noDisplay);
        program.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), {QLatin1String(option)});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(program.readAllStandardOutput().contains("vireoscope"));
    }
}

QTEST_GUILESS_MAIN(TestLifetime)
#include "tst_lifetime.moc"
