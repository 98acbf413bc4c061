// The decoder's sandbox, entered in a child process as the decoder does, in two steps around
// taking its request: the picture stays readable, by its open descriptor and reopened through
// /proc/self/fd, and nothing else a hostile decode would want is: no other file, process or
// descriptor, and bounded use of the machine.
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
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
    struct sysinfo machine;
    QVERIFY(sysinfo(&machine) == 0);
    const rlim_t tasksAtStart = machine.procs; // of all users
    const pid_t child = fork();
    if (child == 0) {
        // As in a picture's process: the channel after the standard descriptors, the picture
        // after it. The exit code is 0 when all checks hold, else the number of the first that
        // does not.
        const int opened = fcntl(descriptor, F_DUPFD, 4), channel = 3;
        dup2(requests[1], channel);
        close(requests[1]);
        const pid_t parent = getppid();
        cpu_set_t oneCore; // this process's alone, so that another's cores are told apart
        sched_getaffinity(0, sizeof oneCore, &oneCore);
        for (int core = CPU_SETSIZE - 1; core >= 0 && CPU_COUNT(&oneCore) > 1; --core)
            CPU_CLR(core, &oneCore);
        sched_setaffinity(0, sizeof oneCore, &oneCore);
        const Sandbox sandbox(channel);
        sandbox.enterAwaitingRequest();
        char byte;
        iovec data = {&byte, 1};
        msghdr request = {};
        request.msg_iov = &data;
        request.msg_iovlen = 1;
        const bool requestTaken = recvmsg(channel, &request, 0) == 1;
        const std::string missing = sandbox.enter(opened);
        const std::string reopened = "/proc/self/fd/" + std::to_string(opened);
        struct stat status;
        cpu_set_t cores;
        rlimit limit;
        const auto limitOf = [&limit](int resource) { return getrlimit(resource, &limit) == 0 ? limit.rlim_max : 1; };
        const timespec stoppedMeanwhile = {0, 300'000'000};
        const int checks[] = {
            requestTaken,
            missing.empty(),
            pread(opened, &byte, 1, 0) == 1,
            open(reopened.c_str(), O_RDONLY) >= 0,
            fstat(opened, &status) == 0 && status.st_size == 5,
            open(other.constData(), O_RDONLY) < 0,
            stat(other.constData(), &status) < 0,
            open(folder.path().toLocal8Bit().constData(), O_PATH) < 0,
            open(picture.constData(), O_WRONLY) < 0,
            open(created.constData(), O_WRONLY | O_CREAT, 0600) < 0,
            socket(AF_UNIX, SOCK_STREAM, 0) < 0,
            execl("/bin/true", "true", nullptr) < 0,
            kill(parent, 0) < 0,
            prlimit(parent, RLIMIT_NOFILE, nullptr, &limit) < 0,
            sched_getaffinity(parent, sizeof cores, &cores) >= 0 && CPU_EQUAL(&cores, &oneCore), // its own told instead
            mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED,
            recvmsg(channel, &request, MSG_DONTWAIT) < 0 && errno == EPERM, // no second request
            dup3(opened, channel, 0) < 0,
            close(channel) < 0, // so that no other file can take its number
            lseek(STDERR_FILENO, 0, SEEK_SET) < 0 && fcntl(STDERR_FILENO, F_SETFL, 0) < 0 && read(STDIN_FILENO, &byte, 1) < 0,
            limitOf(RLIMIT_CORE) == 0 && limitOf(RLIMIT_FSIZE) == 0,
            limitOf(RLIMIT_CPU) != RLIM_INFINITY && limitOf(RLIMIT_NPROC) < tasksAtStart + 1000,
            // Stopped and continued meanwhile, as from a terminal: the sleep goes on.
            write(channel, "s", 1) == 1 && nanosleep(&stoppedMeanwhile, nullptr) == 0,
        };
        for (int i = 0; i < int(std::size(checks)); ++i)
            if (!checks[i])
                _exit(1 + i);
        _exit(0);
    }
    close(requests[1]);
    QCOMPARE(send(requests[0], "r", 1, 0), 1);
    char sleeping;
    if (recv(requests[0], &sleeping, 1, 0) == 1) {
        QThread::msleep(50);
        kill(child, SIGSTOP);
        QThread::msleep(100);
        kill(child, SIGCONT);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(!QFile::exists(QFile::decodeName(created)));
    close(descriptor);
    close(requests[0]);
}

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
