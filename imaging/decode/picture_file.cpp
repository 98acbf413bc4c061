#include "picture_file.h"

#include <utility>

// Opening, reading and closing are the platform's: picture_file_unix.cpp, picture_file_win.cpp.

PictureFile::PictureFile(int handle, long long bytes, const QString &path)
    : handle(handle)
    , bytes(bytes)
    , path(path)
{}

PictureFile::PictureFile(PictureFile &&other) noexcept
    : handle(std::exchange(other.handle, -1))
    , bytes(other.bytes)
    , path(std::move(other.path))
{}

PictureFile &PictureFile::operator=(PictureFile &&other) noexcept
{
    std::swap(handle, other.handle);
    std::swap(bytes, other.bytes);
    std::swap(path, other.path);
    return *this;
}
