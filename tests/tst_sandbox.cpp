// The decoder's sandbox, entered in a child process: the picture stays readable, by its open
// descriptor and reopened through /proc/self/fd, and nothing else a hostile decode would want is.
#include <QtTest>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox.h"

class TestSandbox : public QObject
{
    Q_OBJECT

private slots:
    void leavesOnlyThePicture();
};

void TestSandbox::leavesOnlyThePicture()
{
    QTemporaryDir folder;
    const QByteArray picture = QFile::encodeName(folder.filePath(QStringLiteral("picture.png")));
    const QByteArray other = QFile::encodeName(folder.filePath(QStringLiteral("other.txt")));
    const QByteArray created = QFile::encodeName(folder.filePath(QStringLiteral("created.txt")));
    for (const QByteArray &name : {picture, other}) {
        QFile file(QFile::decodeName(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("bytes") == 5);
    }
    const int descriptor = open(picture.constData(), O_RDONLY);
    QVERIFY(descriptor >= 0);

    const pid_t child = fork();
    if (child == 0) {
        // Each refusal or permission is one bit of the exit code; 0 when all hold.
        const Sandbox sandbox(STDOUT_FILENO);
        const std::string missing = sandbox.enter(descriptor);
        char byte;
        const std::string reopened = "/proc/self/fd/" + std::to_string(descriptor);
        const int checks[] = {
            missing.empty(),
            pread(descriptor, &byte, 1, 0) == 1,
            open(reopened.c_str(), O_RDONLY) >= 0,
            open(other.constData(), O_RDONLY) < 0,
            open(picture.constData(), O_WRONLY) < 0,
            open(created.constData(), O_WRONLY | O_CREAT, 0600) < 0,
            socket(AF_UNIX, SOCK_STREAM, 0) < 0,
            execl("/bin/true", "true", nullptr) < 0,
            kill(getppid(), 0) < 0,
            mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED,
        };
        int failures = 0;
        for (int i = 0; i < int(std::size(checks)); ++i)
            failures |= checks[i] ? 0 : 1 << i;
        _exit(failures);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(!QFile::exists(QFile::decodeName(created)));
    close(descriptor);
}

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
