#include "picture_file.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<PictureFile> PictureFile::open(const QString &path)
{
    // O_NONBLOCK: opening a named pipe must not wait for a writer; for a regular file it
    // changes nothing.
    const int handle = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (handle < 0)
        return std::nullopt;
    struct stat status;
    if (fstat(handle, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(handle);
        return std::nullopt;
    }
    return PictureFile(handle, static_cast<long long>(status.st_size), path);
}

PictureFile::~PictureFile()
{
    if (handle >= 0)
        ::close(handle);
}

long long PictureFile::read(void *buffer, std::size_t size, long long offset) const
{
    for (;;) {
        const ssize_t got = pread(handle, buffer, size, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

std::FILE *PictureFile::stream() const
{
    // A descriptor of its own shares the file's position with ours, which nothing else uses:
    // every other reader reads at an offset.
    const int own = fcntl(handle, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return nullptr;
    std::FILE *stream = fdopen(own, "rb");
    if (!stream) {
        ::close(own);
        return nullptr;
    }
    std::rewind(stream);
    return stream;
}

std::string PictureFile::libraryName() const
{
    // Opening it reopens the very file this descriptor holds, wherever its name now points.
    return "/proc/self/fd/" + std::to_string(handle);
}
