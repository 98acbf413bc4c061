// Runs a command with a headless weston of its own as its Wayland display, and stops the
// compositor afterwards: run_on_weston PROGRAM [ARGUMENT...]. Exits as the command did.
#include <QCoreApplication>
#include <QProcess>

#include <cstdio>

#include "waylandsession.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.isEmpty()) {
        std::fprintf(stderr, "usage: run_on_weston PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    WaylandSession wayland;
    if (!wayland.isRunning()) {
        std::fprintf(stderr, "run_on_weston: weston did not start\n");
        return 1;
    }
    QProcess command;
    command.setProcessEnvironment(wayland.environment());
    command.setProcessChannelMode(QProcess::ForwardedChannels);
    command.start(arguments.takeFirst(), arguments);
    if (!command.waitForStarted()) {
        std::fprintf(stderr, "run_on_weston: the command did not start\n");
        return 1;
    }
    command.waitForFinished(-1);
    return command.exitStatus() == QProcess::NormalExit ? command.exitCode() : 1;
}
