// The decoder's sandbox, entered in a child process as the decoder does, in two steps around
// taking its request: the picture stays readable, by its open descriptor and reopened through
// /proc/self/fd, and nothing else a hostile decode would want is.
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

    int requests[2];
    QVERIFY(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, requests) == 0);
    const pid_t child = fork();
    if (child == 0) {
        // The exit code is 0 when all checks hold, else the number of the first that does not.
        const Sandbox sandbox(requests[1]);
        sandbox.enterAwaitingRequest();
        char byte;
        iovec data = {&byte, 1};
        msghdr request = {};
        request.msg_iov = &data;
        request.msg_iovlen = 1;
        const bool requestTaken = recvmsg(requests[1], &request, 0) == 1;
        const std::string missing = sandbox.enter(descriptor);
        const std::string reopened = "/proc/self/fd/" + std::to_string(descriptor);
        const int checks[] = {
            requestTaken,
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
            recvmsg(requests[1], &request, MSG_DONTWAIT) < 0 && errno == EPERM, // no second request
            dup3(descriptor, requests[1], 0) < 0,
        };
        for (int i = 0; i < int(std::size(checks)); ++i)
            if (!checks[i])
                _exit(1 + i);
        _exit(0);
    }
    QCOMPARE(send(requests[0], "r", 1, 0), 1);
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(!QFile::exists(QFile::decodeName(created)));
    close(descriptor);
    close(requests[0]);
    close(requests[1]);
}

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
