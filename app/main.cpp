#include <QApplication>

#include "mainwindow.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
#ifdef VIREOSCOPE_DESKTOP_ID // Wayland has no WM_CLASS: the window names its desktop entry, and so its icon
    QGuiApplication::setDesktopFileName(QStringLiteral(VIREOSCOPE_DESKTOP_ID));
#endif
    MainWindow window;
    window.show();
    return app.exec();
}
