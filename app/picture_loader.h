#ifndef PICTURE_LOADER_H
#define PICTURE_LOADER_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

#include "display_frames.h"

class LoadChannel;
class QProcess;
class QSocketNotifier;

// Loads pictures in processes of their own, in a sandbox, so that a hostile picture reaches
// nothing and every load can be stopped. A decoder is started once, its libraries loaded, and
// waits; each load has it fork a process for the picture. A newer load kills the busy process,
// so only the newest load's frames or failure ever arrive. Whatever a process sends is checked
// before use; one that dies, falls silent too long or sends anything malformed fails its load.
class PictureLoader : public QObject
{
    Q_OBJECT

public:
    // `decoderProgram`: the decoder to start; by default the one installed with the window.
    explicit PictureLoader(QObject *parent = nullptr, const QString &decoderProgram = QString());
    ~PictureLoader() override; // the decoder and a busy process are killed

    // Starts the decoder, if it does not run; a load starts it itself.
    void prepare();
    void load(const QString &path);
    bool isLoading() const;

    // The process decoding the newest load, 0 if none or not yet known; as the decoder says it.
    qint64 busyProcessId() const { return busyProcess; }

signals:
    // rowsToGo is 0 while the decoder cannot tell how far it is.
    void progressed(int rowsDone, int rowsToGo);
    void loaded(const QString &path, const DisplayFrames &frames);
    // `problem` is empty where the picture could not be read, or says why no decoder could run.
    void failed(const QString &path, const QString &problem);

private:
    void readDecoder();
    void readAnswer();
    void finish(std::optional<DisplayFrames> frames, const QString &problem = QString());
    void dismissBusy(bool endProcess = true);
    void stopDecoder();
    QString decoderProblem() const;
    static DisplayFrames framesToReceive();
    // Frames to receive a load's in: of those taken before, the ones nothing shows any longer.
    DisplayFrames unshownFrames() const;

    QString decoderProgram;
    QProcess *decoder = nullptr;         // waits for pictures, and forks a process for each
    int decoderSocket = -1;              // to the decoder: requests out, its readiness in
    QSocketNotifier *decoderNews = nullptr;
    bool decoderReady = false;
    LoadChannel *busy = nullptr;         // the newest load's channel
    qint64 busyProcess = 0;              // the newest load's process, once it has said
    QString path;                        // of the newest load
    DisplayFrames framesPool[2];         // the shown frames and the next load's, taken once
    QTimer silence;                      // a process that says nothing for this long has hung
    QElapsedTimer sinceRequest;          // of the newest load
    qint64 progressMessages = 0;         // of the newest load

    struct InProcessLoad;                // where no decoder process runs yet (Windows)
    InProcessLoad *inProcess = nullptr;
};

#endif
