// Measures the program's hot paths against the library calls they are compared to, in one run.
#include <QApplication>

#include "benchmarks.h"

int main(int argc, char *argv[])
{
    if (isGuiStallRun(argc, argv)) {
        QApplication app(argc, argv);
        return runGuiStall(argv);
    }
    // Windows are measured off screen unless a platform is asked for.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchWeightedGray();
    benchLoadAndReblur();
    benchStartup();
    benchFirstLoad();
    benchGuiStall();
    return 0;
}
