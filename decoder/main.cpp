// The decoder: started by the window before it is needed, it loads its libraries once and waits.
// For each picture the window asks for, it forks a process of its own, which opens the picture,
// shuts itself in, decodes it and answers with the six frames. A fork starts at once with every
// library loaded, and dies with its picture: killed by the decoder, never by a number it was told,
// when a newer load overtakes it or the window has its frames, its memory going back to the system.
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
#include <climits>
#include <list>
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
#include <sys/wait.h>
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

// The next picture asked for, and the channel to answer on; an empty path (and no channel) where
// the window ends its newest load; nothing once the asking end has gone.
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
        if (request.channel < 0 && std::size_t(got) == sizeof header && header.pathBytes == 0)
            return request;
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

// Sends how far the decode is, whenever it has moved. Its thread is started while the process
// warms up and shut in once it waits for its picture (starting one takes longer than decoding a
// small picture, and the sandbox's limits would stop the warm-up): it reads no file, so it may
// not even open the picture.
class ProgressReporter
{
public:
    ProgressReporter(Channel &channel, const Sandbox &sandbox)
        : thread([this, &channel, &sandbox] {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return awaitingRequest || stopped; });
            if (stopped)
                return;
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

    // The process has warmed up and waits for its picture: the thread shuts itself in.
    void awaitRequest()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        awaitingRequest = true;
        changed.notify_all();
    }

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
    bool awaitingRequest = false, entered = false, stopped = false;
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

// A picture's process holds its error pipe as its standard descriptors, then its channel; what it
// opens later comes after them.
constexpr int channelDescriptor = 3;

// Closes every descriptor from `first` on, but `kept`.
void closeFrom(int first, int kept = -1)
{
    const auto closeRange = [](int from, int to) {
        if (from <= to && close_range(unsigned(from), unsigned(to), 0) != 0) // a kernel without it
            for (int descriptor = from; descriptor <= std::min(to, 1 << 16); ++descriptor)
                close(descriptor);
    };
    if (kept >= first)
        closeRange(first, kept - 1);
    closeRange(std::max(first, kept + 1), INT_MAX);
}

// A picture's process as the decoder holds it: by a process descriptor from its fork on, and
// unreaped until then, so that no other process can ever be taken for it; and by the pipe it
// prints on.
struct PictureProcess
{
    enum Role { waiting, busy, ending } role = waiting;
    pid_t pid = 0;
    int handle = -1;   // its process descriptor; -1 on a kernel without them
    int requests = -1; // while it waits for its picture
    int errors = -1;   // what it prints, until it ends
    std::size_t printed = 0;
    bool reaped = false;

    void kill()
    {
        role = ending;
        if (reaped)
            return;
        if (handle < 0 || syscall(SYS_pidfd_send_signal, handle, SIGKILL, nullptr, 0) != 0)
            ::kill(pid, SIGKILL);
    }
    bool hasEnded() const
    {
        pollfd end = {handle, POLLIN, 0};
        return reaped || (handle >= 0 && poll(&end, 1, 0) > 0);
    }
    void reap()
    {
        waitpid(pid, nullptr, 0);
        reaped = true;
        role = ending;
        for (int *descriptor : {&handle, &requests})
            if (*descriptor >= 0)
                close(std::exchange(*descriptor, -1));
    }

    // Passes on what the process printed, every byte outside printable ASCII escaped, so that
    // nothing it prints can steer a terminal; and no more than a few pages of it.
    void relayErrors()
    {
        constexpr std::size_t mostPrinted = 64 << 10;
        char bytes[4096];
        const ssize_t got = read(errors, bytes, sizeof bytes);
        if (got <= 0) {
            if (got == 0 || errno != EINTR)
                close(std::exchange(errors, -1));
            return;
        }
        std::string escaped;
        for (ssize_t at = 0; at < got; ++at) {
            if (printed++ == mostPrinted)
                escaped += "\nvireoscope-decoder: the rest of what a picture's process printed is left out\n";
            const auto byte = static_cast<unsigned char>(bytes[at]);
            if (printed > mostPrinted)
                continue;
            if ((byte >= ' ' && byte < 0x7f) || byte == '\n' || byte == '\t') {
                escaped += char(byte);
            } else {
                char code[5];
                std::snprintf(code, sizeof code, "\\x%02x", byte);
                escaped += code;
            }
        }
        std::vector<iovec> parts = {{escaped.data(), escaped.size()}};
        writeAll(STDERR_FILENO, parts, false);
    }
};

// A picture's process, forked ahead of its picture and warmed up; nullptr if none could be.
PictureProcess *forkWaiting(std::list<PictureProcess> &processes)
{
    int errors[2], requests[2];
    if (pipe2(errors, O_CLOEXEC) != 0)
        return nullptr;
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, requests) != 0) {
        close(errors[0]);
        close(errors[1]);
        return nullptr;
    }
    const pid_t decoder = getpid();
    const pid_t child = fork();
    if (child == 0) {
        // It holds what it prints on and its channel, nothing of the decoder's: not the window's
        // socket, not another load's channel or process.
        for (const int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            dup2(errors[1], standard);
        if (requests[1] != channelDescriptor)
            dup2(requests[1], channelDescriptor);
        closeFrom(channelDescriptor + 1);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != decoder) // the decoder has gone already
            _exit(0);
        // The channel will take the requests' socket's place, so that the sandbox, made ready
        // now, lets it be written to.
        const Sandbox sandbox(channelDescriptor);
        Channel channel(channelDescriptor);
        ProgressReporter reporter(channel, sandbox);
        warmUp(channelDescriptor);
        reporter.awaitRequest();
        sandbox.enterAwaitingRequest();
        const std::optional<Request> request = receiveRequest(channelDescriptor);
        if (request && !request->path.empty()
            && dup3(request->channel, channelDescriptor, O_CLOEXEC) == channelDescriptor) {
            close(request->channel);
            decodeFor(request->path, channel, sandbox, reporter);
        }
        // Nothing of this process is needed after its answer: no teardown, and the reporter's
        // thread is not waited for.
        _exit(0);
    }
    close(errors[1]);
    close(requests[1]);
    if (child < 0) {
        close(errors[0]);
        close(requests[0]);
        return nullptr;
    }
    PictureProcess &forked = processes.emplace_back();
    forked.pid = child;
    forked.handle = int(syscall(SYS_pidfd_open, child, 0)); // unreaped, so it is this child's
    forked.requests = requests[0];
    forked.errors = errors[0];
    return &forked;
}

PictureProcess *withRole(std::list<PictureProcess> &processes, PictureProcess::Role role)
{
    for (PictureProcess &process : processes)
        if (process.role == role)
            return &process;
    return nullptr;
}

// Hands a request to the waiting process (one forked for it if none waits), after telling the
// window on the request's channel which process it is. Where none takes it, the load fails.
void handOver(std::list<PictureProcess> &processes, const Request &request)
{
    PictureProcess *next = withRole(processes, PictureProcess::waiting);
    if (next && next->hasEnded()) // killed from outside, say
        next->kill();
    if (!next || next->role != PictureProcess::waiting)
        next = forkWaiting(processes);
    if (!next)
        return;
    const wire::Message started = {wire::started, next->pid, 0};
    if (write(request.channel, &started, sizeof started) != sizeof started)
        return; // the window has given up on this load already
    if (!wire::sendRequest(next->requests, request.path, request.channel)) {
        next->kill();
        return;
    }
    close(std::exchange(next->requests, -1));
    next->role = PictureProcess::busy;
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
    // Whatever else the window inherited from what started it (a file manager, a shell) is not
    // the decoder's to hold, nor its pictures'.
    closeFrom(STDERR_FILENO + 1, window);
    // Nothing is ever written to standard output on purpose; what a library prints there by
    // mistake goes where its other messages go.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    prctl(PR_SET_PDEATHSIG, SIGKILL); // the window gone, nobody wants what this would bring
    signal(SIGPIPE, SIG_IGN);         // a write to a channel the window has closed just fails
    prepareDecoders();
    knownShortcomings = sandboxShortcomings();
    if (!knownShortcomings.empty())
        std::fprintf(stderr, "vireoscope-decoder: %s\n", knownShortcomings.c_str());
    const wire::Message ready = {wire::ready, 0, 0};
    if (send(window, &ready, sizeof ready, MSG_NOSIGNAL) != sizeof ready)
        return 0;

    // A picture's process waits, forked and warmed up, for the next request, which is handed on
    // to it. The next one is forked once the busy one has ended, so that its warming up never
    // takes a core from a load; a request that comes first (a load overtaken) has one forked for
    // it. Processes are ended here alone, and reaped only once they have ended.
    std::list<PictureProcess> processes;
    forkWaiting(processes);
    for (;;) {
        std::vector<pollfd> events = {{window, POLLIN, 0}};
        for (const PictureProcess &process : processes) {
            events.push_back({process.errors, POLLIN, 0});
            events.push_back({process.handle, POLLIN, 0});
        }
        if (poll(events.data(), nfds_t(events.size()), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        auto event = events.begin() + 1;
        bool loadEnded = false; // a busy process, or one ended for the window
        for (auto process = processes.begin(); process != processes.end(); event += 2) {
            if (event[0].revents)
                process->relayErrors();
            // Without a process descriptor, its error pipe's end tells that it has ended.
            if (!process->reaped && (event[1].revents || (process->handle < 0 && process->errors < 0))) {
                loadEnded = loadEnded || process->role != PictureProcess::waiting;
                process->reap();
            }
            process = process->reaped && process->errors < 0 ? processes.erase(process) : std::next(process);
        }
        // One that ended waiting (killed from outside, say) is replaced when a request comes.
        if (loadEnded && !withRole(processes, PictureProcess::waiting) && !withRole(processes, PictureProcess::busy))
            forkWaiting(processes);
        if (!events[0].revents)
            continue;
        const std::optional<Request> request = receiveRequest(window);
        if (!request)
            break;
        // The newest load is over: overtaken, or ended by the window once it has shown its frames.
        if (PictureProcess *busy = withRole(processes, PictureProcess::busy))
            busy->kill();
        if (request->channel >= 0) {
            handOver(processes, *request);
            close(request->channel); // the picture's process has its own
        }
    }
    return 0;
}
