#ifndef XSESSION_H
#define XSESSION_H

#include <QHash>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

#include <opencv2/core/mat.hpp>

#include <functional>

// An Xvfb server on a display number that no other server uses, for as long as the object lives.
class XSession
{
public:
    XSession();
    explicit XSession(const QString &existingDisplay); // one that runs already, e.g. ":5"
    ~XSession();
    XSession(const XSession &) = delete;
    XSession &operator=(const XSession &) = delete;

    bool isRunning() const { return !display.isEmpty(); }
    QString displayName() const { return display; } // e.g. ":3"

    // Environment for a process that should show its windows on this display with Qt's xcb plugin.
    QProcessEnvironment environment() const;

    // Waits for a window with this exact title (mapped on the screen, if asked); returns its
    // X id, or 0 after the timeout.
    unsigned long waitForWindow(const QString &title, int timeoutMs = 10000, bool mapped = false) const;

    // Every mapped window with this exact title, in the order the server stacks them.
    QList<unsigned long> windowsTitled(const QString &title) const;

    // Asks the window to close as a window manager would (WM_DELETE_WINDOW).
    bool requestClose(unsigned long window) const;

    // Pings the window as a window manager does to tell whether it still answers (_NET_WM_PING);
    // the milliseconds until the answer came, or -1 if none came within the timeout.
    double ping(unsigned long window, int timeoutMs = 5000) const;

    // Where the window is on the screen, and how large.
    QRect geometryOf(unsigned long window) const;

    // The whole screen as 8-bit RGB, or that area of it alone.
    cv::Mat screenshot(const cv::Rect &area = cv::Rect()) const;

    // Takes screenshots until one satisfies the condition; false if none does before the timeout.
    bool waitForScreen(const std::function<bool(const cv::Mat &)> &condition, int timeoutMs = 15000) const;

    // Moves the mouse there on the screen and clicks the left button.
    bool click(QPoint onScreen) const;

    // Waits until no program holds the mouse, as an open popup does; false after the timeout.
    bool waitForFreePointer(int timeoutMs = 5000) const;

    // Gives every character of the text that no key types yet a spare key of its own. Call it
    // before the program that is to receive the text starts, so that it knows those keys.
    bool bindKeysFor(const QString &text);

    // Types the text on the keyboard; characters bound by bindKeysFor are pressed on their own
    // keys. xdotool would type them by remapping a key for each while typing, and a client that
    // reads the key press before the new map drops the character.
    bool type(const QString &text) const;

    // Runs xdotool on this display (a person's mouse and keyboard); true if it succeeded.
    bool xdotool(const QStringList &arguments) const;

private:
    QProcess server;
    QString display;
    QHash<uint, int> boundKeys; // character -> keycode
};

#endif
