#include "picture_loader.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <array>
#include <utility>

#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/socket.h>
#include <unistd.h>

#include "wire.h"

namespace {

// A process that has said nothing for this long has hung; those that can tell how far they
// are say so several times a second.
constexpr int silenceLimitMs = 120000;
// Far more often than that, a process is broken or hostile: it may say how far it is ten times
// at once, and a hundred times a second on average.
constexpr qint64 progressBurst = 10, progressPerSecond = 100;
// Messages read in one turn of the event loop, so that no answer keeps the window from the rest.
constexpr int messagesPerTurn = 64;

// Beside the executable (a build) or where it is installed relative to it.
QString installedDecoder()
{
    const QString folder = QCoreApplication::applicationDirPath();
    const QString beside = folder + QStringLiteral("/vireoscope-decoder");
    if (QFileInfo(beside).isExecutable())
        return beside;
    return folder + QStringLiteral("/" VIREOSCOPE_DECODER_FROM_EXECUTABLE "/vireoscope-decoder");
}

// A load's six frames, in the order the wire sends them.
template<typename Frames>
auto inWireOrder(Frames &frames)
{
    return std::array{&frames.rgb, &frames.gray, &frames.gauss, &frames.sobel, &frames.laplace, &frames.average};
}

} // namespace

// One load's channel: the receiving end of its pipe, watched for what arrives. It is read a
// message at a time, and a frames message's frames straight into those the window will show.
class LoadChannel : public QObject
{
public:
    LoadChannel(int descriptor, const DisplayFrames &frames, QObject *parent)
        : QObject(parent)
        , descriptor(descriptor)
        , news(std::max(descriptor, 0), QSocketNotifier::Read, this)
        , frames(frames)
    {
        news.setEnabled(descriptor >= 0);
    }
    ~LoadChannel() override
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }

    enum class Read { message, waiting, ended };
    // Reads what has arrived; `message` once a whole message is in, a frames message with all of
    // its frames' bytes.
    Read next(wire::Message &message)
    {
        for (;;) {
            char *into = reinterpret_cast<char *>(&header) + headerBytes;
            std::size_t wanted = sizeof header - headerBytes;
            if (wanted == 0 && header.kind == wire::frames) {
                std::size_t at = framesBytes; // into the frame where the bytes read end
                for (const cv::Mat *frame : inWireOrder(frames)) {
                    const std::size_t bytes = frame->total() * frame->elemSize();
                    if (at < bytes) {
                        into = reinterpret_cast<char *>(frame->data) + at;
                        wanted = bytes - at;
                        break;
                    }
                    at -= bytes;
                }
            }
            if (wanted == 0) {
                message = header;
                headerBytes = framesBytes = 0;
                return Read::message;
            }
            const ssize_t got = ::read(descriptor, into, wanted);
            if (got > 0)
                (headerBytes < sizeof header ? headerBytes : framesBytes) += std::size_t(got);
            else if (got < 0 && errno == EINTR)
                continue;
            else
                return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Read::waiting : Read::ended;
        }
    }

    const int descriptor;
    QSocketNotifier news;
    const DisplayFrames frames; // at display size, as the wire sends them

private:
    wire::Message header = {};
    std::size_t headerBytes = 0, framesBytes = 0; // of the message being read
};


PictureLoader::PictureLoader(QObject *parent, const QString &decoderProgram)
    : QObject(parent)
    , decoderProgram(decoderProgram.isEmpty() ? installedDecoder() : decoderProgram)
{
    for (DisplayFrames &frames : framesPool)
        frames = framesToReceive();
    silence.setSingleShot(true);
    silence.setInterval(silenceLimitMs);
    connect(&silence, &QTimer::timeout, this, [this] { finish(std::nullopt); });
    // The decoder starts once the event loop runs, when the window has been shown.
    QTimer::singleShot(0, this, &PictureLoader::prepare);
}

PictureLoader::~PictureLoader()
{
    dismissBusy();
    stopDecoder();
}

bool PictureLoader::isLoading() const
{
    return busy != nullptr;
}

void PictureLoader::prepare()
{
    if (decoder && decoder->state() != QProcess::NotRunning)
        return;
    stopDecoder();
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
        return;
    // The decoder's end stays open across its start, for it alone: the window starts no other
    // program.
    fcntl(sockets[1], F_SETFD, 0);
    decoderSocket = sockets[0];
    decoder = new QProcess(this);
    decoder->setProcessChannelMode(QProcess::ForwardedChannels);
    decoder->start(decoderProgram, {QString::number(sockets[1])});
    ::close(sockets[1]);
    decoderNews = new QSocketNotifier(decoderSocket, QSocketNotifier::Read, this);
    connect(decoderNews, &QSocketNotifier::activated, this, &PictureLoader::readDecoder);
    // Ended before it was ready: a broken installation, which fails the load waiting on it.
    connect(decoder, &QProcess::finished, this, [this] {
        if (busy && !busyProcess)
            finish(std::nullopt, decoderProblem());
    });
}

QString PictureLoader::decoderProblem() const
{
    if (!decoder || decoderSocket < 0)
        return tr("no channel to the picture decoder");
    if (decoder->error() == QProcess::FailedToStart)
        return tr("the picture decoder %1 could not be started: %2").arg(decoder->program(), decoder->errorString());
    if (!decoderReady)
        return tr("the picture decoder %1 ended before it was ready (exit code %2)")
            .arg(decoder->program())
            .arg(decoder->exitCode());
    return QString();
}

void PictureLoader::readDecoder()
{
    wire::Message message;
    const ssize_t got = recv(decoderSocket, &message, sizeof message, MSG_DONTWAIT);
    if (got == sizeof message && message.kind == wire::ready && wire::isWellFormed(message)) {
        decoderReady = true;
        return;
    }
    // The decoder has ended, or says what it should not: nothing more is read from it.
    decoderNews->setEnabled(false);
}

void PictureLoader::stopDecoder()
{
    if (decoder) {
        decoder->disconnect(this);
        decoder->kill();
        decoder->waitForFinished();
        delete decoder;
        decoder = nullptr;
    }
    delete decoderNews;
    decoderNews = nullptr;
    if (decoderSocket >= 0)
        ::close(decoderSocket);
    decoderSocket = -1;
    decoderReady = false;
}

void PictureLoader::dismissBusy(bool endProcess)
{
    if (!busy)
        return;
    busy->disconnect(this);
    busy->deleteLater();
    // Only the decoder, its parent, ends it: it knows the process for sure, where a number could
    // have gone to another process by now.
    if (endProcess && decoderSocket >= 0)
        wire::sendEnd(decoderSocket);
    busy = nullptr;
    busyProcess = 0;
    silence.stop();
}

void PictureLoader::load(const QString &newPath)
{
    // Overtaken: the older load's process dies now, and its memory goes back to the system.
    dismissBusy();
    path = newPath;
    prepare();
    // A channel of the load's own, whose sending end goes to the process that decodes it: a pipe
    // that holds the whole answer, so that the frames go in one write and are read at once.
    int channel[2] = {-1, -1};
    if (decoder->error() == QProcess::FailedToStart || decoderSocket < 0 || pipe2(channel, O_CLOEXEC) != 0
        || fcntl(channel[0], F_SETFL, O_NONBLOCK) != 0) {
        for (const int end : channel)
            if (end >= 0)
                ::close(end);
        // Said once the window has taken in that the load began.
        busy = new LoadChannel(-1, DisplayFrames(), this); // stands for the load that cannot run
        QTimer::singleShot(0, busy, [this, problem = decoderProblem()] { finish(std::nullopt, problem); });
        return;
    }
    fcntl(channel[1], F_SETPIPE_SZ, 1 << 20); // where the system allows no more, the answer takes turns
    busy = new LoadChannel(channel[0], unshownFrames(), this);
    connect(&busy->news, &QSocketNotifier::activated, this, &PictureLoader::readAnswer);

    const bool sent = wire::sendRequest(decoderSocket, QFile::encodeName(newPath).toStdString(), channel[1]);
    ::close(channel[1]);
    if (!sent) // the decoder has gone: the channel's end tells
        QTimer::singleShot(0, busy, [this] { readAnswer(); });
    silence.start();
    sinceRequest.start();
    progressMessages = 0;
}

DisplayFrames PictureLoader::framesToReceive()
{
    DisplayFrames frames;
    int i = 0;
    for (cv::Mat *frame : inWireOrder(frames))
        frame->create(wire::frameHeight, wire::frameWidth, CV_8UC(wire::frameChannels[i++]));
    return frames;
}

DisplayFrames PictureLoader::unshownFrames() const
{
    for (const DisplayFrames &frames : framesPool) {
        bool heldHereAlone = true;
        for (const cv::Mat *frame : inWireOrder(frames))
            heldHereAlone = heldHereAlone && frame->u->refcount == 1;
        if (heldHereAlone)
            return frames;
    }
    return framesToReceive(); // the window, or a test, still holds both
}

void PictureLoader::readAnswer()
{
    // The rest, if any, in the next turn: the notifier fires again while there is more to read.
    for (int messages = 0; busy && messages < messagesPerTurn; ++messages) {
        wire::Message message;
        const LoadChannel::Read read = busy->next(message);
        if (read == LoadChannel::Read::waiting)
            return; // the rest is on its way
        if (read == LoadChannel::Read::ended) {
            // Ended without an answer: it crashed or was killed, or the decoder never ran it
            // (whose own end, still to come, says why).
            if (busyProcess || decoderReady || !decoder || decoder->state() == QProcess::NotRunning)
                finish(std::nullopt, busyProcess ? QString() : decoderProblem());
            return;
        }
        if (!wire::isWellFormed(message) || (message.kind == wire::started) == (busyProcess != 0)
            || message.kind == wire::ready) {
            finish(std::nullopt);
            return;
        }
        silence.start();
        switch (message.kind) {
        case wire::started:
            // Said by the decoder, before the process reads a byte of the picture; only the first
            // message may say it.
            busyProcess = message.first;
            break;
        case wire::progress:
            if (++progressMessages > progressBurst + sinceRequest.elapsed() * progressPerSecond / 1000) {
                finish(std::nullopt);
                return;
            }
            emit progressed(message.first, message.second);
            break;
        case wire::frames: {
            DisplayFrames frames = busy->frames;
            frames.pictureSize = cv::Size(message.first, message.second);
            finish(std::move(frames));
            return;
        }
        default: // failed
            finish(std::nullopt);
            return;
        }
    }
}

void PictureLoader::finish(std::optional<DisplayFrames> frames, const QString &problem)
{
    if (!busy)
        return;
    // A process that has sent its frames is ended once the window has shown them, so that its end
    // (and the next one's start) takes no time from showing them.
    dismissBusy(!frames);
    const QString finishedPath = std::exchange(path, QString());
    if (frames) {
        emit loaded(finishedPath, *frames);
        if (decoderSocket >= 0)
            wire::sendEnd(decoderSocket);
    } else {
        if (!problem.isEmpty())
            std::fprintf(stderr, "vireoscope: %s\n", qUtf8Printable(problem));
        emit failed(finishedPath, problem);
    }
#ifdef __GLIBC__
    // Freeing large blocks (the views' pictures) raises glibc's threshold for mapping such
    // blocks, so later ones come from the heap, between blocks still in use, where freed pages
    // stay. Once the window has put the new frames up and let go of the old ones, those pages
    // are handed back: after, so that the frames are not kept waiting.
    QTimer::singleShot(0, this, [] { malloc_trim(0); });
#endif
}
