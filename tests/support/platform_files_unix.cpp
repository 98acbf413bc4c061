#include "platform_files.h"

#include <QFile>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

const bool fileSystemHasNamedPipes = true;

bool makeNamedPipe(const QString &path)
{
    return mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

CreationWatch::CreationWatch(const QString &folder)
    : handle(inotify_init1(IN_NONBLOCK))
{
    inotify_add_watch(int(handle), QFile::encodeName(folder).constData(), IN_CREATE);
}

CreationWatch::~CreationWatch()
{
    close(int(handle));
}

bool CreationWatch::sawCreation() const
{
    char buffer[4096];
    return read(int(handle), buffer, sizeof buffer) > 0;
}
