#include "picture_loader.h"

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "load_progress.h"

namespace {

std::atomic<int> runningWorkers{0};

#ifdef __GLIBC__
// glibc gives threads that allocate arenas of their own, whose freed pages it keeps scattered
// between blocks still in use: loads on worker threads grew the program by a few kilobytes each.
// One arena for every thread keeps it flat. glibc fixes the number of arenas when a second
// thread first allocates, so this is set while the program starts, before any thread runs.
[[maybe_unused]] const int oneMallocArena = mallopt(M_ARENA_MAX, 1);
#endif

// Threads of the loads' own, so that an overtaken load still in a decoder that cannot be
// stopped never keeps a newer one waiting. They belong to the application, which waits for
// them and ends them while it is torn down, before the program's statics go.
QThreadPool *workers()
{
    static QThreadPool *const pool = [] {
        auto *threads = new QThreadPool(QCoreApplication::instance());
        threads->setMaxThreadCount(std::max(16, QThread::idealThreadCount()));
        return threads;
    }();
    return pool;
}

// Runs on the worker; everything it touches it owns, so it may outlive the loader. The worker
// was counted when it was started and counts itself out when done.
std::optional<DisplayFrames> loadOnWorker(const QString &path, LoadProgress *progress)
{
    struct CountedOut
    {
        ~CountedOut() { --runningWorkers; }
    } countedOut;
    return loadDisplayFrames(path, progress);
}

} // namespace

PictureLoader::PictureLoader(QObject *parent)
    : QObject(parent)
{
    // The decoders say how far they are through plain counters; the bar is fed from them.
    progressPoll.setInterval(50);
    connect(&progressPoll, &QTimer::timeout, this, [this] {
        if (progress)
            emit progressed(progress->rowsDone, progress->rowsToGo);
    });
}

PictureLoader::~PictureLoader()
{
    if (progress)
        progress->cancelled = true;
}

bool PictureLoader::workersRunning()
{
    return runningWorkers > 0;
}

void PictureLoader::load(const QString &newPath)
{
    if (watcher) {
        // Overtaken: the decoder stops where it can, and what it brings is never seen.
        progress->cancelled = true;
        delete watcher;
    }
    path = newPath;
    progress = std::make_shared<LoadProgress>();
    watcher = new QFutureWatcher<std::optional<DisplayFrames>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, &PictureLoader::finish);
    ++runningWorkers; // counted from now, so that no moment between start and run is missed
    watcher->setFuture(QtConcurrent::run(workers(), [newPath, shared = progress] {
        return loadOnWorker(newPath, shared.get());
    }));
    progressPoll.start();
}

void PictureLoader::finish()
{
    const std::optional<DisplayFrames> frames = watcher->result();
    watcher->deleteLater();
    watcher = nullptr;
    progress.reset();
    progressPoll.stop();
    const QString finishedPath = std::exchange(path, QString());
    if (frames)
        emit loaded(finishedPath, *frames);
    else
        emit failed(finishedPath);
#ifdef __GLIBC__
    // Freeing a decoded picture raises glibc's threshold for mapping large blocks up to its size,
    // so the next loads' large blocks come from the heap and are freed between blocks still in
    // use, where the heap does not shrink. Once the window has put the new frames up and let go
    // of the old ones, hand those pages back.
    malloc_trim(0);
#endif
}
