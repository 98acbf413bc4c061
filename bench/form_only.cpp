// The window's form alone, in a plain Qt program with no OpenCV and none of the program's own
// code: what start-up is compared with.
#include <QApplication>
#include <QMainWindow>

#include "ui_mainwindow.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    Ui::MainWindow form;
    form.setupUi(&window);
    window.setWindowTitle(QStringLiteral("Form only"));
    window.show();
    return app.exec();
}
