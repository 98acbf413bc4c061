// The least a Qt Widgets program does to show a main window: what start-up is compared with.
// With --with-text it also shows one label, so that Qt's font database is set up as it must be
// for any window that shows text.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    if (app.arguments().contains(QStringLiteral("--with-text")))
        window.setCentralWidget(new QLabel(QStringLiteral("load")));
    window.setWindowTitle(QStringLiteral("Bare"));
    window.resize(800, 600);
    window.show();
    return app.exec();
}
