#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "mainwindow.h"
#include "picture_loader.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
#ifdef VIREOSCOPE_DESKTOP_ID // Wayland has no WM_CLASS: the window names its desktop entry, and so its icon
    QGuiApplication::setDesktopFileName(QStringLiteral(VIREOSCOPE_DESKTOP_ID));
#endif
    MainWindow window;
    window.show();
    const int exitCode = app.exec();
    // A decoder still at work cannot be stopped, and would use what the program's teardown
    // destroys: end at once, leaving it to the system.
    if (PictureLoader::workersRunning()) {
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}
