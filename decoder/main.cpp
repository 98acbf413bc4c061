// The decoder: started by the window before it is needed, it loads its libraries once and waits.
// For each picture the window asks for, it forks a process of its own, which opens the picture,
// shuts itself in, decodes it and answers with the six frames. A fork starts at once with every
// library loaded, and dies with its picture: killed when a newer load overtakes it, its memory
// going back to the system when it ends.
#include <QFile>

#include <opencv2/core.hpp>
#include <opencv2/core/ocl.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "heif_picture.h"
#include "image_file.h"
#include "sandbox.h"
#include "wire.h"

namespace {

// With `handOver`, the pipe may read the parts' memory where it lies, later; they must not change.
bool writeAll(int descriptor, std::vector<iovec> parts, bool handOver)
{
    std::size_t next = 0;
    while (next < parts.size()) {
        ssize_t written = handOver ? vmsplice(descriptor, parts.data() + next, parts.size() - next, 0) : -1;
        if (!handOver || (written < 0 && errno != EINTR)) // not a pipe, say: written plainly
            written = writev(descriptor, parts.data() + next, int(parts.size() - next));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        // Past what went, whole parts and then part of one.
        for (std::size_t left = std::size_t(written); left > 0;) {
            const std::size_t taken = std::min(left, parts[next].iov_len);
            parts[next].iov_base = static_cast<char *>(parts[next].iov_base) + taken;
            parts[next].iov_len -= taken;
            left -= taken;
            if (parts[next].iov_len == 0)
                ++next;
        }
    }
    return true;
}

// The next picture asked for, and the channel to answer on; nothing once the asking end has gone.
struct Request
{
    std::string path;
    int channel = -1;
};

std::optional<Request> receiveRequest(int socket)
{
    std::vector<char> bytes(sizeof(wire::Request) + wire::longestPath);
    iovec data = {bytes.data(), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    for (;;) {
        msghdr message = {};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return std::nullopt;
        Request request;
        for (cmsghdr *part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part))
            if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_RIGHTS && part->cmsg_len == CMSG_LEN(sizeof(int)))
                std::memcpy(&request.channel, CMSG_DATA(part), sizeof(int));
        wire::Request header;
        std::memcpy(&header, bytes.data(), std::min(sizeof header, std::size_t(got)));
        if (request.channel < 0 || std::size_t(got) < sizeof header || header.pathBytes == 0
            || header.pathBytes != std::size_t(got) - sizeof header || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
            if (request.channel >= 0)
                close(request.channel); // a malformed request is answered by the channel's end
            continue;
        }
        request.path.assign(bytes.data() + sizeof header, header.pathBytes);
        return request;
    }
}

// Messages to the window, from the decode's thread and the progress reporter's.
class Channel
{
public:
    explicit Channel(int descriptor)
        : descriptor(descriptor)
    {}

    void send(wire::Kind kind, int first = 0, int second = 0)
    {
        const wire::Message message = {kind, first, second};
        const std::lock_guard<std::mutex> lock(mutex);
        writeAll(descriptor, {{const_cast<wire::Message *>(&message), sizeof message}}, false);
    }

    // The frames and their message, the last thing this process says, in one write: handed to the
    // pipe as they lie in memory instead of copied into pages the system would first have to find.
    // The pipe reads that memory when the window does, so none of it may change after: the
    // process only waits, until the window has shown the frames and ends it (or closes its end
    // of the channel), so that its end takes no time from showing them.
    [[noreturn]] void sendFramesAndWait(const DisplayFrames &frames)
    {
        const wire::Message message = {wire::frames, frames.pictureSize.width, frames.pictureSize.height};
        std::vector<cv::Mat> packed;
        std::vector<iovec> parts = {{const_cast<wire::Message *>(&message), sizeof message}};
        for (const cv::Mat &frame : {frames.rgb, frames.gray, frames.gauss, frames.sobel, frames.laplace, frames.average})
            packed.push_back(frame.isContinuous() ? frame : frame.clone());
        for (const cv::Mat &frame : packed)
            parts.push_back({frame.data, frame.total() * frame.elemSize()});
        mutex.lock();
        writeAll(descriptor, parts, true);
        pollfd windowEnd = {descriptor, 0, 0}; // the window's end closed: an error
        while (poll(&windowEnd, 1, -1) < 0 && errno == EINTR)
            ;
        _exit(0);
    }

private:
    int descriptor;
    std::mutex mutex;
};

// Sends how far the decode is, whenever it has moved. Its thread is started and shut in while
// the process waits for its picture (starting one takes longer than decoding a small picture):
// it reads no file, so it may not even open the picture.
class ProgressReporter
{
public:
    ProgressReporter(Channel &channel, const Sandbox &sandbox)
        : thread([this, &channel, &sandbox] {
            std::unique_lock<std::mutex> lock(mutex);
            sandbox.enterAwaitingRequest();
            missing = sandbox.enter(-1);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [this] { return progress || stopped; });
            if (stopped)
                return;
            int sentDone = -1, sentToGo = -1;
            while (!changed.wait_for(lock, std::chrono::milliseconds(50), [this] { return stopped; })) {
                const int toGo = progress->rowsToGo;
                const int rowsDone = toGo > 0 ? std::min<int>(progress->rowsDone, toGo) : 0;
                if (rowsDone != sentDone || toGo != sentToGo)
                    channel.send(wire::progress, rowsDone, toGo);
                sentDone = rowsDone;
                sentToGo = toGo;
            }
        })
    {}

    // Reports from now on, once its thread is shut in (long since, as a rule). Returns what its
    // sandbox lacks.
    std::string start(const LoadProgress &watched)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return entered; });
        progress = &watched;
        changed.notify_all();
        return missing;
    }

    // Nothing more is sent.
    void stop()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopped = true;
        }
        changed.notify_all();
    }

    ~ProgressReporter()
    {
        stop();
        thread.join();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    const LoadProgress *progress = nullptr;
    bool entered = false, stopped = false;
    std::string missing;
    std::thread thread;
};

// Everything a decode may load or set up on its first use is done now, while the decoder may
// still read its libraries: the codecs' registry (and GDAL's drivers with it), the thread count,
// one small decode of each common format, and libheif's plugins. OpenCL stays off: its runtime
// would load drivers, and start threads that a fork does not take along.
void prepareDecoders()
{
    setenv("OPENCV_OPENCL_RUNTIME", "disabled", 1);
    prepareHeifDecoding();
    cv::ocl::haveOpenCL();
    cv::getNumThreads();
    const cv::Mat sample(64, 64, CV_8UC3, cv::Scalar(30, 60, 90));
    for (const char *extension : {".jpg", ".png", ".tiff", ".webp", ".bmp", ".ppm", ".jp2"}) {
        std::vector<unsigned char> encoded;
        try {
            if (cv::imencode(extension, sample, encoded))
                cv::imdecode(encoded, cv::IMREAD_COLOR);
        } catch (const cv::Exception &) { // a format this build lacks
        }
    }
}

// What this system lacks for the sandbox, said once by the decoder for all its pictures.
std::string knownShortcomings;

// A picture's process forked ahead of its picture: everything a load does the first time in a
// process (threads for the library's parallel loops, code paged in, memory the decoder's own
// copied on write) is done while it waits, on a small picture of its own, and the memory a decode
// of a few megapixels needs is taken from the system.
void warmUp(int requests)
{
    const auto requestWaiting = [requests] {
        pollfd request = {requests, POLLIN, 0};
        return poll(&request, 1, 0) != 0;
    };

    if (const int memory = memfd_create("warm-up", MFD_CLOEXEC); memory >= 0) {
        // Small, so that a request coming meanwhile waits little; larger than the views, so that
        // the row routes run.
        const cv::Mat sample(300, 400, CV_8UC3, cv::Scalar(30, 60, 90));
        for (const char *extension : {".jpg", ".png"}) {
            if (requestWaiting())
                break; // a picture is waiting: it comes first
            std::vector<unsigned char> encoded;
            if (cv::imencode(extension, sample, encoded) && ftruncate(memory, 0) == 0
                && pwrite(memory, encoded.data(), encoded.size(), 0) == ssize_t(encoded.size()))
                loadDisplayFrames(QString::fromLatin1("/proc/self/fd/%1").arg(memory));
        }
        close(memory);
    }

    // Memory for the decode, taken from the system now: each page the system hands out costs
    // more than the work done in it. Freed blocks stay in the heap, and large ones come from it,
    // so that the decode of a picture of a few megapixels takes no new page.
    constexpr std::size_t reserve = 8 << 20, step = 1 << 18;
    mallopt(M_MMAP_THRESHOLD, int(reserve) * 2);
    mallopt(M_TRIM_THRESHOLD, int(reserve) * 4);
    if (void *taken = std::malloc(reserve)) {
        auto *pages = static_cast<volatile char *>(taken); // written, so that each page is taken
        for (std::size_t at = 0; at < reserve && (at % step != 0 || !requestWaiting()); at += 4096)
            pages[at] = 0;
        std::free(taken);
    }
}

// One picture's process: it answers on its channel, and ends (on its own, once it has sent frames).
void decodeFor(const std::string &path, Channel &channel, const Sandbox &sandbox, ProgressReporter &reporter)
{
    channel.send(wire::started, int(getpid()));
    const std::optional<PictureFile> file = PictureFile::open(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file) {
        channel.send(wire::failed);
        return;
    }
    // The decoding thread shuts itself in; what it or the reporter's lacks is said once.
    LoadProgress progress;
    std::string missing = sandbox.enter(file->descriptor());
    const std::string reporterMissing = reporter.start(progress);
    if (missing == knownShortcomings)
        missing = reporterMissing;
    if (missing != knownShortcomings)
        std::fprintf(stderr, "vireoscope-decoder: %s\n", missing.c_str());

    const std::optional<DisplayFrames> frames = loadDisplayFrames(*file, &progress);
    if (frames)
        channel.sendFramesAndWait(*frames); // the reporter may run on: nothing it says goes after them
    reporter.stop();
    channel.send(wire::failed);
}

} // namespace

int main(int argc, char *argv[])
{
    // The window's socket, which it leaves open for this program alone.
    const int window = argc == 2 ? std::atoi(argv[1]) : -1;
    if (window <= STDERR_FILENO || fcntl(window, F_SETFD, FD_CLOEXEC) != 0) {
        std::fprintf(stderr, "vireoscope-decoder: the picture decoder of vireoscope, started by it alone\n");
        return 2;
    }
    // Nothing is ever written to standard output on purpose; what a library prints there by
    // mistake goes where its other messages go.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    prctl(PR_SET_PDEATHSIG, SIGKILL); // the window gone, nobody wants what this would bring
    prepareDecoders();
    knownShortcomings = sandboxShortcomings();
    if (!knownShortcomings.empty())
        std::fprintf(stderr, "vireoscope-decoder: %s\n", knownShortcomings.c_str());
    signal(SIGCHLD, SIG_IGN);         // the pictures' processes leave nothing behind
    const wire::Message ready = {wire::ready, 0, 0};
    if (send(window, &ready, sizeof ready, MSG_NOSIGNAL) != sizeof ready)
        return 0;

    // A picture's process waits, forked and warmed up, for the next request, which is handed on
    // to it. The next one is forked once that one has ended, so that its warming up never takes a
    // core from a load; a request that comes first (a load overtaken) has one forked for it.
    struct Child
    {
        int socket = -1;
        pid_t pid = 0;
    };
    const auto forkWaiting = [window]() -> Child {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
            return {};
        const pid_t child = fork();
        if (child == 0) {
            close(window);
            close(pair[0]);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            // The channel will take the requests' socket's place, so that the sandbox, made ready
            // now, lets it be written to.
            const Sandbox sandbox(pair[1]);
            Channel channel(pair[1]);
            ProgressReporter reporter(channel, sandbox);
            warmUp(pair[1]);
            sandbox.enterAwaitingRequest();
            const std::optional<Request> request = receiveRequest(pair[1]);
            if (request && dup3(request->channel, pair[1], O_CLOEXEC) == pair[1]) {
                close(request->channel);
                decodeFor(request->path, channel, sandbox, reporter);
            }
            // Nothing of this process is needed after its answer: no teardown, and the reporter's
            // thread is not waited for.
            _exit(0);
        }
        close(pair[1]);
        if (child < 0) {
            close(pair[0]);
            return {};
        }
        return {pair[0], child};
    };
    Child waiting = forkWaiting();
    int busy = -1; // the working process, readable once it has ended
    for (;;) {
        pollfd events[2] = {{window, POLLIN, 0}, {busy, POLLIN, 0}};
        if (poll(events, busy >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (busy >= 0 && events[1].revents) {
            close(std::exchange(busy, -1));
            if (waiting.socket < 0)
                waiting = forkWaiting();
        }
        if (!events[0].revents)
            continue;
        const std::optional<Request> request = receiveRequest(window);
        if (!request)
            break;
        // One that has gone meanwhile (killed from outside, say) is replaced once.
        for (int attempt = 0; attempt < 2 && !wire::sendRequest(waiting.socket, request->path, request->channel); ++attempt) {
            if (waiting.socket >= 0)
                close(waiting.socket);
            waiting = forkWaiting();
        }
        close(request->channel); // the picture's process has its own; if none, it ends unanswered
        if (waiting.socket >= 0)
            close(waiting.socket);
        if (busy >= 0)
            close(busy);
        busy = int(syscall(SYS_pidfd_open, waiting.pid, 0));
        waiting = {};
        if (busy < 0) // ended already, or a kernel without process descriptors
            waiting = forkWaiting();
    }
    return 0;
}
