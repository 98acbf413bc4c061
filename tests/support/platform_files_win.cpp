#include "platform_files.h"

#ifndef NOMINMAX // MinGW's C++ library defines it already
#define NOMINMAX
#endif
#include <windows.h>

const bool fileSystemHasNamedPipes = false; // Windows keeps its named pipes apart from folders

bool makeNamedPipe(const QString &)
{
    return false;
}

CreationWatch::CreationWatch(const QString &folder)
    : handle(reinterpret_cast<std::intptr_t>(FindFirstChangeNotificationW(
          reinterpret_cast<const wchar_t *>(folder.utf16()), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME)))
{}

CreationWatch::~CreationWatch()
{
    FindCloseChangeNotification(reinterpret_cast<HANDLE>(handle));
}

bool CreationWatch::sawCreation() const
{
    const auto notification = reinterpret_cast<HANDLE>(handle);
    bool created = false;
    // Each signal is taken and the watch renewed, so that a later call sees only later names.
    while (WaitForSingleObject(notification, 0) == WAIT_OBJECT_0) {
        created = true;
        FindNextChangeNotification(notification);
    }
    return created;
}
