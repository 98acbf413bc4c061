#ifndef WAYLANDSESSION_H
#define WAYLANDSESSION_H

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <opencv2/core/mat.hpp>

#include <functional>

// A headless weston, a Wayland compositor with no screen and no input devices, for as long as
// the object lives. Its socket lies in a runtime directory of its own, so it meets no other.
class WaylandSession
{
public:
    WaylandSession();
    ~WaylandSession();
    WaylandSession(const WaylandSession &) = delete;
    WaylandSession &operator=(const WaylandSession &) = delete;

    bool isRunning() const { return running; }

    // Environment for a process that should show its windows here with Qt's Wayland plugin.
    QProcessEnvironment environment() const;

    // The whole output as 8-bit RGB (empty if the screenshot failed).
    cv::Mat screenshot() const;

    // Takes screenshots until one satisfies the condition; false if none does before the timeout.
    bool waitForScreen(const std::function<bool(const cv::Mat &)> &condition, int timeoutMs = 15000) const;

    // The compositor asks every window to close (xdg_toplevel.close), as a desktop does when a
    // person closes one from outside the program: its task list, Alt+F4, a title bar it draws.
    bool requestClose() const;

private:
    QTemporaryDir runtimeDirectory; // created with mode 0700, as Wayland wants it
    QTemporaryDir shots;            // where the screenshooter writes, one file at a time
    QProcess compositor;
    bool running = false;
};

#endif
