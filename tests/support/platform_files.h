#ifndef PLATFORM_FILES_H
#define PLATFORM_FILES_H

#include <QString>

#include <cstdint>

// What the tests do with the file system that each platform does its own way
// (platform_files_unix.cpp, platform_files_win.cpp).

// Whether a named pipe can be made in a folder (not on Windows), and making one there.
extern const bool fileSystemHasNamedPipes;
bool makeNamedPipe(const QString &path);

// Reports files created in a folder while it lives.
class CreationWatch
{
public:
    explicit CreationWatch(const QString &folder);
    ~CreationWatch();
    CreationWatch(const CreationWatch &) = delete;
    CreationWatch &operator=(const CreationWatch &) = delete;
    // Whether one was created since the last call (or since the watch began).
    bool sawCreation() const;

private:
    std::intptr_t handle;
};

#endif
