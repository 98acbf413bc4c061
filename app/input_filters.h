#ifndef INPUT_FILTERS_H
#define INPUT_FILTERS_H

#include <QObject>

class QWidget;

// Takes drops on the window and on every widget in it: a drop that holds a local file (or a
// file:// URL) opens the first such file; anything else is refused from the moment it enters.
class DropOpener : public QObject
{
    Q_OBJECT

public:
    explicit DropOpener(QWidget *window);

signals:
    void fileDropped(const QString &path);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

// Keeps the widget's own Page Up and Page Down from the window's shortcuts while it has the
// focus (a spin box steps by ten with them).
class PageKeyKeeper : public QObject
{
    Q_OBJECT

public:
    explicit PageKeyKeeper(QWidget *widget);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

#endif
