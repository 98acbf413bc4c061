#include "input_filters.h"

#include <QDropEvent>
#include <QKeyEvent>
#include <QWidget>

#include "picture_files.h"

DropOpener::DropOpener(QWidget *window)
    : QObject(window)
{
    // The graphics views take drops of their own; the filter answers for them too.
    window->setAcceptDrops(true);
    window->installEventFilter(this);
    for (QWidget *child : window->findChildren<QWidget *>())
        if (child->acceptDrops())
            child->installEventFilter(this);
}

bool DropOpener::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QString path = localFileFromDrop(drop->mimeData());
        if (path.isEmpty()) {
            drop->ignore();
            return true;
        }
        // The file is only read: a move would let the source delete it.
        if (drop->possibleActions() & Qt::CopyAction)
            drop->setDropAction(Qt::CopyAction);
        else if (drop->possibleActions() & Qt::LinkAction)
            drop->setDropAction(Qt::LinkAction);
        else {
            drop->ignore();
            return true;
        }
        drop->accept();
        if (event->type() == QEvent::Drop)
            emit fileDropped(path);
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}

PageKeyKeeper::PageKeyKeeper(QWidget *widget)
    : QObject(widget)
{
    widget->installEventFilter(this);
}

bool PageKeyKeeper::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        const bool pageKey = key->key() == Qt::Key_PageUp || key->key() == Qt::Key_PageDown;
        if (pageKey && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier)
            event->accept(); // the key goes to the widget, not to a shortcut
    }
    return QObject::eventFilter(watched, event);
}
