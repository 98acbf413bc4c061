#ifndef DIALOG_DRIVER_H
#define DIALOG_DRIVER_H

#include <QString>
#include <QStringList>

#include <sstream>
#include <streambuf>
#include <string>

class QWidget;

// What the last answered dialog showed.
struct SeenFileDialog
{
    QString title;
    QStringList nameFilters;
};

// Answers the next modal file dialog that opens: picks the file and accepts, or, with an
// empty path, cancels. Returns at once; the answer is given from the dialog's own event loop.
// Gives up after ten seconds if no dialog opens.
void answerNextFileDialog(const QString &path, SeenFileDialog *seen = nullptr);

// Clicks the window's "load" button and answers the file dialog with the path (empty: cancel),
// as a person does; returns what the program wrote to standard output meanwhile.
std::string loadThroughDialog(QWidget *window, const QString &path, SeenFileDialog *seen = nullptr);

// Collects what is written to std::cout while it lives.
class StandardOutputCapture
{
public:
    StandardOutputCapture();
    ~StandardOutputCapture();
    std::string text() const { return captured.str(); }

private:
    std::ostringstream captured;
    std::streambuf *previous;
};

#endif
