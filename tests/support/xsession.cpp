#include "xsession.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstring>

#include <poll.h>

namespace {

bool isViewable(Display *x, Window window)
{
    XWindowAttributes attributes;
    return XGetWindowAttributes(x, window, &attributes) && attributes.map_state == IsViewable;
}

void collectWindowsNamed(Display *x, Window parent, const QByteArray &title, QList<unsigned long> &found)
{
    char *name = nullptr;
    if (XFetchName(x, parent, &name) && name) {
        if (title == name && isViewable(x, parent))
            found << parent;
        XFree(name);
    }
    Window root = 0, ancestor = 0, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(x, parent, &root, &ancestor, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i)
            collectWindowsNamed(x, children[i], title, found);
        if (children)
            XFree(children);
    }
}

unsigned long findWindowNamed(Display *x, Window parent, const QByteArray &title, bool mapped)
{
    char *name = nullptr;
    if (XFetchName(x, parent, &name) && name) {
        const bool same = title == name;
        XFree(name);
        if (same && (!mapped || isViewable(x, parent)))
            return parent;
    }
    Window root = 0, ancestor = 0, *children = nullptr;
    unsigned int count = 0;
    unsigned long found = 0;
    if (XQueryTree(x, parent, &root, &ancestor, &children, &count)) {
        for (unsigned int i = 0; i < count && !found; ++i)
            found = findWindowNamed(x, children[i], title, mapped);
        if (children)
            XFree(children);
    }
    return found;
}

// Windows come and go while the tree is walked; Xlib's own handler would end the process when
// one vanishes between two requests. The request then just fails.
int ignoreVanishedWindows(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

XSession::XSession()
{
    XSetErrorHandler(ignoreVanishedWindows);
    // -displayfd lets the server pick a free display and tell us which one. -noreset keeps the
    // server as it is when its last client leaves: a reset forgets bound keys, and a client
    // that connects during one is refused.
    server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                         QStringLiteral("-screen"), QStringLiteral("0"),
                                         QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                         QStringLiteral("tcp"), QStringLiteral("-noreset")});
    if (!server.waitForStarted(10000))
        return;
    QByteArray number;
    QDeadlineTimer deadline(15000);
    while (!number.contains('\n') && !deadline.hasExpired()) {
        server.waitForReadyRead(200);
        number += server.readAllStandardOutput();
    }
    if (number.contains('\n'))
        display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
}

XSession::XSession(const QString &existingDisplay)
    : display(existingDisplay)
{
    XSetErrorHandler(ignoreVanishedWindows);
}

XSession::~XSession()
{
    server.terminate();
    if (!server.waitForFinished(5000))
        server.kill();
}

QProcessEnvironment XSession::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

unsigned long XSession::waitForWindow(const QString &title, int timeoutMs, bool mapped) const
{
    Display *x = XOpenDisplay(display.toLatin1().constData());
    if (!x)
        return 0;
    unsigned long window = 0;
    QDeadlineTimer deadline(timeoutMs);
    while (!window && !deadline.hasExpired()) {
        window = findWindowNamed(x, DefaultRootWindow(x), title.toUtf8(), mapped);
        if (!window)
            QThread::usleep(500);
    }
    XCloseDisplay(x);
    return window;
}

QList<unsigned long> XSession::windowsTitled(const QString &title) const
{
    QList<unsigned long> found;
    if (Display *x = XOpenDisplay(display.toLatin1().constData())) {
        collectWindowsNamed(x, DefaultRootWindow(x), title.toUtf8(), found);
        XCloseDisplay(x);
    }
    return found;
}

bool XSession::requestClose(unsigned long window) const
{
    Display *x = XOpenDisplay(display.toLatin1().constData());
    if (!x)
        return false;
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(x, window, False, NoEventMask, &event) != 0;
    XFlush(x);
    XCloseDisplay(x);
    return sent;
}

double XSession::ping(unsigned long window, int timeoutMs) const
{
    Display *x = XOpenDisplay(display.toLatin1().constData());
    if (!x)
        return -1;
    // The answer is sent to the root window, for those who follow its structure (Qt's choice).
    const Window root = DefaultRootWindow(x);
    XSelectInput(x, root, StructureNotifyMask);
    const Atom protocols = XInternAtom(x, "WM_PROTOCOLS", False);
    const Atom pingAtom = XInternAtom(x, "_NET_WM_PING", False);
    static long stamp = 0;
    const long thisStamp = ++stamp;
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(pingAtom);
    event.xclient.data.l[1] = thisStamp;
    event.xclient.data.l[2] = static_cast<long>(window);
    QElapsedTimer clock;
    clock.start();
    XSendEvent(x, window, False, NoEventMask, &event);
    XFlush(x);
    double answered = -1;
    while (answered < 0 && clock.elapsed() < timeoutMs) {
        while (answered < 0 && XPending(x)) {
            XEvent reply;
            XNextEvent(x, &reply);
            if (reply.type == ClientMessage && reply.xclient.message_type == protocols
                && Atom(reply.xclient.data.l[0]) == pingAtom && reply.xclient.data.l[1] == thisStamp)
                answered = clock.nsecsElapsed() / 1e6;
        }
        if (answered < 0) {
            pollfd connection = {ConnectionNumber(x), POLLIN, 0};
            poll(&connection, 1, 10);
        }
    }
    XCloseDisplay(x);
    return answered;
}

QRect XSession::geometryOf(unsigned long window) const
{
    Display *x = XOpenDisplay(display.toLatin1().constData());
    if (!x)
        return {};
    XWindowAttributes attributes;
    int left = 0, top = 0;
    Window child = 0;
    QRect geometry;
    if (XGetWindowAttributes(x, window, &attributes)
        && XTranslateCoordinates(x, window, DefaultRootWindow(x), 0, 0, &left, &top, &child))
        geometry = QRect(left, top, attributes.width, attributes.height);
    XCloseDisplay(x);
    return geometry;
}

cv::Mat XSession::screenshot(const cv::Rect &area) const
{
    Display *x = XOpenDisplay(display.toLatin1().constData());
    if (!x)
        return {};
    const Window root = DefaultRootWindow(x);
    XWindowAttributes attributes;
    XGetWindowAttributes(x, root, &attributes);
    const cv::Rect screen(0, 0, attributes.width, attributes.height);
    const cv::Rect grabbed = area.empty() ? screen : area & screen; // outside the screen, X refuses
    XImage *image = grabbed.empty() ? nullptr : XGetImage(x, root, grabbed.x, grabbed.y, grabbed.width, grabbed.height, AllPlanes, ZPixmap);
    cv::Mat rgb;
    if (image) {
        rgb.create(grabbed.height, grabbed.width, CV_8UC3);
        for (int row = 0; row < grabbed.height; ++row) {
            auto *out = rgb.ptr<cv::Vec3b>(row);
            for (int column = 0; column < grabbed.width; ++column) {
                const unsigned long pixel = XGetPixel(image, column, row);
                out[column] = cv::Vec3b((pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
            }
        }
        XDestroyImage(image);
    }
    XCloseDisplay(x);
    return rgb;
}

bool XSession::waitForScreen(const std::function<bool(const cv::Mat &)> &condition, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (condition(screenshot()))
            return true;
        QThread::msleep(50);
    }
    return false;
}

bool XSession::click(QPoint onScreen) const
{
    return xdotool({QStringLiteral("mousemove"), QString::number(onScreen.x()), QString::number(onScreen.y()),
                    QStringLiteral("click"), QStringLiteral("1")});
}

bool XSession::waitForFreePointer(int timeoutMs) const
{
    Display *x = XOpenDisplay(display.toLatin1().constData());
    if (!x)
        return false;
    // Only one client can grab the pointer: if this one can, nobody else holds it.
    bool free = false;
    QDeadlineTimer deadline(timeoutMs);
    while (!free && !deadline.hasExpired()) {
        free = XGrabPointer(x, DefaultRootWindow(x), False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime)
               == GrabSuccess;
        if (free)
            XUngrabPointer(x, CurrentTime);
        else
            QThread::msleep(20);
    }
    XCloseDisplay(x);
    return free;
}

bool XSession::bindKeysFor(const QString &text)
{
    Display *x = XOpenDisplay(display.toLatin1().constData());
    if (!x)
        return false;
    int firstKeycode = 0, lastKeycode = 0, symbolsPerKeycode = 0;
    XDisplayKeycodes(x, &firstKeycode, &lastKeycode);
    KeySym *map = XGetKeyboardMapping(x, firstKeycode, lastKeycode - firstKeycode + 1, &symbolsPerKeycode);
    const auto symbolsOf = [&](int keycode) { return map + (keycode - firstKeycode) * symbolsPerKeycode; };
    const auto isTyped = [&](KeySym symbol) {
        for (int keycode = firstKeycode; keycode <= lastKeycode; ++keycode)
            if (std::count(symbolsOf(keycode), symbolsOf(keycode) + symbolsPerKeycode, symbol))
                return true;
        return false;
    };
    bool bound = true;
    int spare = lastKeycode;
    for (const uint codepoint : text.toUcs4()) {
        // Latin-1 characters are their own key symbols; the others are Unicode key symbols.
        const KeySym symbol = codepoint < 0x100 ? codepoint : 0x01000000 | codepoint;
        if (isTyped(symbol))
            continue;
        while (spare >= firstKeycode && symbolsOf(spare)[0] != NoSymbol)
            --spare;
        if (spare < firstKeycode) {
            bound = false;
            break;
        }
        KeySym symbols[2] = {symbol, symbol}; // with and without Shift
        XChangeKeyboardMapping(x, spare, 2, symbols, 1);
        std::fill(symbolsOf(spare), symbolsOf(spare) + symbolsPerKeycode, symbol);
        boundKeys.insert(codepoint, spare);
    }
    XFree(map);
    XSync(x, False);
    XCloseDisplay(x);
    return bound;
}

bool XSession::type(const QString &text) const
{
    QString run;
    const auto typeRun = [&] {
        const bool typed = run.isEmpty()
            || xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("5"), run});
        run.clear();
        return typed;
    };
    for (const uint codepoint : text.toUcs4()) {
        const auto key = boundKeys.constFind(codepoint);
        if (key == boundKeys.constEnd()) {
            run.append(QString::fromUcs4(reinterpret_cast<const char32_t *>(&codepoint), 1));
            continue;
        }
        // A number is a keycode to xdotool, pressed as it is.
        if (!typeRun() || !xdotool({QStringLiteral("key"), QString::number(*key)}))
            return false;
    }
    return typeRun();
}

bool XSession::xdotool(const QStringList &arguments) const
{
    QProcess tool;
    tool.setProcessEnvironment(environment());
    tool.start(QStringLiteral("xdotool"), arguments);
    return tool.waitForFinished(20000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

