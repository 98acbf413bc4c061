// The real program on an X server of its own: it opens its window, ignores arguments
// of its own, and ends with exit code 0 when the window is closed.
#include <QtTest>

#include "xsession.h"

class TestLifetime : public QObject
{
    Q_OBJECT

private slots:
    void closesWithExitCodeZero_data();
    void closesWithExitCodeZero();
};

void TestLifetime::closesWithExitCodeZero_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("arguments of no meaning")
        << QStringList{QStringLiteral("--verbose"), QStringLiteral("picture.png"), QStringLiteral("-x")};
    QTest::newRow("an argument Qt reads") << QStringList{QStringLiteral("-reverse")};
}

void TestLifetime::closesWithExitCodeZero()
{
    QFETCH(QStringList, arguments);
    XSession x;
    QVERIFY2(x.isRunning(), "Xvfb did not start");

    QProcess program;
    program.setProcessEnvironment(x.environment());
    program.start(QStringLiteral(VIREOSCOPE_EXECUTABLE), arguments);
    QVERIFY(program.waitForStarted());

    const unsigned long window = x.waitForWindow(QStringLiteral("Vireoscope"));
    QVERIFY2(window, "no window titled Vireoscope appeared");
    QCOMPARE(program.state(), QProcess::Running);

    QVERIFY(x.requestClose(window));
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(program.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestLifetime)
#include "tst_lifetime.moc"
