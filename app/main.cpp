#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "mainwindow.h"
#include "picture_files.h"

namespace {

void describe(QCommandLineParser &parser)
{
    QCoreApplication::setApplicationName(QStringLiteral("vireoscope"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VIREOSCOPE_VERSION));
    parser.setApplicationDescription(QCoreApplication::translate(
        "main", "Shows side by side what six classic image filters do to a picture.\n"
                "\n"
                "Open a picture with the load button (Ctrl+O) and the file dialog, as the file\n"
                "argument, by dropping it on the window, or with \"Open With\" in a file manager.\n"
                "Page Down and Page Up open the next and previous picture of its folder (in the\n"
                "spin box, Ctrl+Page Down and Ctrl+Page Up); Ctrl+Q closes the window."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QCoreApplication::translate("main", "The picture to open: a path or a file:// URL. "
                                                                     "Of several, the first opens."),
                                 QStringLiteral("[file...]"));
}

// --help and --version are answered without a display, which the window's application needs.
void answerWithoutDisplay(int argc, char *argv[])
{
    bool asked = false;
    for (int i = 1; i < argc; ++i)
        for (const char *option : {"-h", "-?", "--help", "--help-all", "-v", "--version"})
            asked = asked || std::strcmp(argv[i], option) == 0;
    if (!asked)
        return;
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    describe(parser);
    parser.process(app); // answers, and ends the program
}

} // namespace

int main(int argc, char *argv[])
{
    answerWithoutDisplay(argc, argv);
    QApplication app(argc, argv);
#ifdef VIREOSCOPE_DESKTOP_ID // Wayland has no WM_CLASS: the window names its desktop entry, and so its icon
    QGuiApplication::setDesktopFileName(QStringLiteral(VIREOSCOPE_DESKTOP_ID));
#endif

    // Unknown options end the program here, before any window.
    QCommandLineParser parser;
    describe(parser);
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
    // On Wayland, end here, leaving the rest to the system: Qt 6.4's Wayland plugin now and then
    // hangs while it disconnects (its event thread waits on a read that never comes). The window
    // is gone and nothing is left to save.
    if (QGuiApplication::platformName() == QLatin1String("wayland")) {
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}
