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
        // The file is only read: a move would let the source delete it.
        const Qt::DropAction action = drop->possibleActions() & Qt::CopyAction ? Qt::CopyAction
                                      : drop->possibleActions() & Qt::LinkAction ? Qt::LinkAction
                                                                                 : Qt::IgnoreAction;
        if (path.isEmpty() || action == Qt::IgnoreAction) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(action);
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
