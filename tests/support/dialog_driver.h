#ifndef DIALOG_DRIVER_H
#define DIALOG_DRIVER_H

#include <QPoint>
#include <QString>
#include <QStringList>

#include <opencv2/core/mat.hpp>

#include "display_frames.h"

#include <memory>
#include <optional>
#include <sstream>
#include <streambuf>
#include <string>

class QElapsedTimer;
class QWidget;
class XSession;

// What the answered dialog showed; `opened` stays false if none opened.
struct SeenFileDialog
{
    bool opened = false;
    QString title;
    QStringList nameFilters;
};

// Answers the next modal file dialog that opens: picks the file and accepts, or, with an
// empty path, cancels. Returns at once; the answer is given from the dialog's own event loop,
// and what it saw is filled in then. Gives up after ten seconds if no dialog opens, or as soon
// as nobody holds the result any more.
std::shared_ptr<const SeenFileDialog> answerNextFileDialog(const QString &path);

// Clicks the window's "load" button and answers the file dialog with the path (empty: cancel),
// as a person does, and waits until the load is over; returns what the program wrote to
// standard output meanwhile.
std::string loadThroughDialog(QWidget *window, const QString &path, SeenFileDialog *seen = nullptr);

// Waits until the window's load, if one runs, has shown its frames or its failure; false if it
// still runs after the timeout.
bool waitForLoad(QWidget *window, int timeoutMs = 300000);

// The real program in its window on an X server, driven with the mouse and keyboard.

// The spin box's arrows, in the central widget.
inline const QPoint spinBoxUpArrow(130 + 44 - 7, 470 + 6);
inline const QPoint spinBoxDownArrow(130 + 44 - 7, 470 + 24 - 6);

// Where the window's central widget begins on the screen, told by the empty views' white;
// nothing if the window does not show its empty views at 800 x 600 within the timeout.
std::optional<QPoint> centralWidgetOnScreen(const XSession &x, unsigned long window, int timeoutMs = 15000);

// Clicks "load" (the central widget beginning at `central`), types the path into the file
// dialog and presses Return; true once the dialog has closed. `sinceReturn`, if given, is
// started just before the (last) Return.
bool openThroughFileDialog(const XSession &x, QPoint central, const QString &path, QElapsedTimer *sinceReturn = nullptr);

// Empty if the six views on the screen show exactly the frames, the Gaussian one blurred with
// the kernel size.
QString viewsDiffer(const cv::Mat &screen, QPoint central, const DisplayFrames &expected, int kernelSize = 1);

// Where the central widget begins, found by the picture in the origin view inside the window;
// nothing if it does not appear there exactly before the timeout.
std::optional<QPoint> centralByPicture(const XSession &x, unsigned long window, const cv::Mat &origin);

// Empty if the window titled Vireoscope shows the picture's six views exactly; else what differs.
QString windowShows(const XSession &x, const QString &picture);

// Collects what is written to std::cout while it lives.
class StandardOutputCapture
{
public:
    StandardOutputCapture();
    ~StandardOutputCapture();
    std::string text() const { return captured.str(); }

private:
    std::ostringstream captured;
    std::streambuf *previous;
};

#endif
