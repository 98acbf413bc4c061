#ifndef DIALOG_DRIVER_H
#define DIALOG_DRIVER_H

#include <QString>

#include <sstream>
#include <streambuf>

#include <QStringList>

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
