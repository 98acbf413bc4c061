#ifndef PICTURE_LOADER_H
#define PICTURE_LOADER_H

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

#include "display_frames.h"

template<typename T>
class QFutureWatcher;
struct LoadProgress;

// Loads pictures beside the GUI thread: decodes a file and derives its six frames on a worker,
// and hands them back on the thread the loader lives in. A newer load overtakes an older one:
// the older is asked to stop and whatever it still brings is dropped, so only the newest
// load's frames or failure ever arrive.
class PictureLoader : public QObject
{
    Q_OBJECT

public:
    explicit PictureLoader(QObject *parent = nullptr);
    ~PictureLoader() override; // a load still running is asked to stop and finishes unseen

    void load(const QString &path);
    bool isLoading() const { return watcher != nullptr; }

    // True while a worker still runs, also one whose load was overtaken or whose loader is gone.
    // Decoders other than JPEG cannot be stopped, so a program ending meanwhile must not wait
    // for them, nor tear down what they may still use.
    static bool workersRunning();

signals:
    // rowsToGo is 0 while the decoder cannot tell how far it is.
    void progressed(int rowsDone, int rowsToGo);
    void loaded(const QString &path, const DisplayFrames &frames);
    void failed(const QString &path);

private:
    void finish();

    QFutureWatcher<std::optional<DisplayFrames>> *watcher = nullptr; // of the newest load
    std::shared_ptr<LoadProgress> progress;                            // of the newest load
    QString path;                                                      // of the newest load
    QTimer progressPoll;
};

#endif
