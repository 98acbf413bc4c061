#include "picture_file.h"

#include <QDir>

#include <algorithm>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <vector>

#ifndef NOMINMAX // MinGW's C++ library defines it already
#define NOMINMAX
#endif
#include <windows.h>

std::optional<PictureFile> PictureFile::open(const QString &path)
{
    const int handle = _wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_RDONLY | _O_BINARY);
    if (handle < 0)
        return std::nullopt;
    struct _stat64 status;
    if (_fstat64(handle, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        _close(handle);
        return std::nullopt;
    }
    return PictureFile(handle, static_cast<long long>(status.st_size), path);
}

PictureFile::~PictureFile()
{
    if (handle >= 0)
        _close(handle);
}

long long PictureFile::read(void *buffer, std::size_t size, long long offset) const
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!ReadFile(file, buffer, wanted, &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

std::FILE *PictureFile::stream() const
{
    return _wfopen(reinterpret_cast<const wchar_t *>(path.utf16()), L"rb");
}

std::string PictureFile::libraryName() const
{
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
}
