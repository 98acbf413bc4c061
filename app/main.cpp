#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "mainwindow.h"
#include "picture_files.h"
#include "picture_loader.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vireoscope"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VIREOSCOPE_VERSION));
#ifdef VIREOSCOPE_DESKTOP_ID // Wayland has no WM_CLASS: the window names its desktop entry, and so its icon
    QGuiApplication::setDesktopFileName(QStringLiteral(VIREOSCOPE_DESKTOP_ID));
#endif

    // Unknown options and --help or --version end the program here, before any window.
    QCommandLineParser parser;
    parser.setApplicationDescription(QApplication::translate(
        "main", "Shows side by side what six classic image filters do to a picture."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QApplication::translate("main", "The picture to open: a path or a file:// URL. "
                                                                 "Of several, the first opens."),
                                 QStringLiteral("[file...]"));
    parser.process(app);
    QString file;
    if (!parser.positionalArguments().isEmpty()) {
        file = localFileFromArgument(parser.positionalArguments().constFirst());
        if (file.isEmpty()) {
            std::fprintf(stderr, "vireoscope: %s\n", qUtf8Printable(QApplication::translate("main", "not a local file: %1")
                                                            .arg(parser.positionalArguments().constFirst())));
            return 2;
        }
    }

    MainWindow window;
    window.show();
    if (!file.isEmpty())
        window.open(file);
    const int exitCode = app.exec();
    // End here, leaving the rest to the system, when the teardown could wait for ever or race:
    // a decoder still at work cannot be stopped and would use what the teardown destroys, and
    // Qt 6.4's Wayland plugin now and then hangs while it disconnects (its event thread waits
    // on a read that never comes). The window is gone and nothing is left to save.
    if (PictureLoader::workersRunning() || QGuiApplication::platformName() == QLatin1String("wayland")) {
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}
