#include <QApplication>

#include "mainwindow.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
#ifdef VIREOSCOPE_DESKTOP_ID // Wayland has no WM_CLASS: the window names its desktop entry, and so its icon
    QGuiApplication::setDesktopFileName(QStringLiteral(VIREOSCOPE_DESKTOP_ID));
#endif
    MainWindow window;
    window.show();
    const int exitCode = app.exec();
    // Qt 6.4's Wayland plugin now and then hangs for ever while it disconnects (its event thread
    // waits on a read that never comes), so the closed window would leave the process running.
    // The window is gone and nothing is left to save: end here.
    if (QGuiApplication::platformName() == QLatin1String("wayland")) {
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}
