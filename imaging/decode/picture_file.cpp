#include "picture_file.h"

#include <QFile>

#include <utility>

#ifdef _WIN32
#include <QDir>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <vector>

#define NOMINMAX
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::optional<PictureFile> PictureFile::open(const QString &path)
{
#ifdef _WIN32
    const int handle = _wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_RDONLY | _O_BINARY);
    if (handle < 0)
        return std::nullopt;
    struct _stat64 status;
    if (_fstat64(handle, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        _close(handle);
        return std::nullopt;
    }
#else
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
#endif
    return PictureFile(handle, static_cast<long long>(status.st_size), path);
}

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

PictureFile::~PictureFile()
{
    if (handle < 0)
        return;
#ifdef _WIN32
    _close(handle);
#else
    ::close(handle);
#endif
}

long long PictureFile::read(void *buffer, std::size_t size, long long offset) const
{
#ifdef _WIN32
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!ReadFile(file, buffer, wanted, &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
#else
    for (;;) {
        const ssize_t got = pread(handle, buffer, size, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR)
            return got;
    }
#endif
}

std::FILE *PictureFile::stream() const
{
#ifdef _WIN32
    return _wfopen(reinterpret_cast<const wchar_t *>(path.utf16()), L"rb");
#else
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
#endif
}

std::string PictureFile::libraryName() const
{
#ifdef _WIN32
    // Narrow names are in the ANSI code page only; the volume's short 8.3 name stands in for a
    // long name outside it. Empty if neither exists.
    const auto inAnsiCodePage = [](const QString &name) -> std::string {
        const QByteArray narrow = name.toLocal8Bit();
        return QString::fromLocal8Bit(narrow) == name ? narrow.toStdString() : std::string();
    };
    if (std::string narrow = inAnsiCodePage(path); !narrow.empty())
        return narrow;
    const std::wstring wide = QDir::toNativeSeparators(path).toStdWString();
    const DWORD length = GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (length == 0)
        return {};
    std::vector<wchar_t> shortName(length);
    if (GetShortPathNameW(wide.c_str(), shortName.data(), length) == 0)
        return {};
    return inAnsiCodePage(QString::fromWCharArray(shortName.data()));
#else
    // Opening it reopens the very file this descriptor holds, wherever its name now points.
    return "/proc/self/fd/" + std::to_string(handle);
#endif
}
