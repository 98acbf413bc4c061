// Where no sandboxed decoder process is built yet (Windows), pictures are decoded in the window's
// process, on a worker thread; a newer load asks the older one to stop and drops what it brings.
#include "picture_loader.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

#include "image_file.h"
#include "load_progress.h"

struct PictureLoader::InProcessLoad
{
    QFutureWatcher<std::optional<DisplayFrames>> watcher;
    std::shared_ptr<LoadProgress> progress = std::make_shared<LoadProgress>();
    QTimer poll; // the decoders count their rows in plain counters
};

PictureLoader::PictureLoader(QObject *parent, const QString &) // no decoder program to start
    : QObject(parent)
{}

PictureLoader::~PictureLoader()
{
    if (inProcess)
        inProcess->progress->cancelled = true;
    delete inProcess;
}

bool PictureLoader::isLoading() const
{
    return inProcess != nullptr;
}

void PictureLoader::prepare() {}

void PictureLoader::load(const QString &newPath)
{
    if (inProcess)
        inProcess->progress->cancelled = true;
    delete inProcess;
    inProcess = new InProcessLoad;
    path = newPath;
    connect(&inProcess->poll, &QTimer::timeout, this,
            [this] { emit progressed(inProcess->progress->rowsDone, inProcess->progress->rowsToGo); });
    inProcess->poll.start(50);
    connect(&inProcess->watcher, &QFutureWatcherBase::finished, this, [this] {
        const std::optional<DisplayFrames> frames = inProcess->watcher.result();
        delete std::exchange(inProcess, nullptr);
        finish(frames);
    });
    inProcess->watcher.setFuture(QtConcurrent::run([newPath, progress = inProcess->progress] {
        return loadDisplayFrames(newPath, progress.get());
    }));
}

void PictureLoader::finish(std::optional<DisplayFrames> frames, const QString &problem)
{
    const QString finishedPath = std::exchange(path, QString());
    if (frames)
        emit loaded(finishedPath, *frames);
    else
        emit failed(finishedPath, problem);
}
