#ifndef PICTURE_FILE_H
#define PICTURE_FILE_H

#include <QString>

#include <cstdio>
#include <optional>
#include <string>

// A picture opened once for a whole load: every reader of that load (the headers, the bands
// on their threads, the library's decoders) reads this same open file, so a file replaced or
// renamed meanwhile cannot mix two pictures. Only a regular file opens; a named pipe or a
// device is never waited on.
class PictureFile
{
public:
    static std::optional<PictureFile> open(const QString &path);

    PictureFile(PictureFile &&other) noexcept;
    PictureFile &operator=(PictureFile &&other) noexcept;
    PictureFile(const PictureFile &) = delete;
    PictureFile &operator=(const PictureFile &) = delete;
    ~PictureFile();

    // Up to `size` bytes from `offset` on: how many were read, 0 at the end, -1 on an error.
    // Reads never move a shared position, so threads may read at once.
    long long read(void *buffer, std::size_t size, long long offset) const;

    // The file's size when it was opened.
    long long size() const { return bytes; }

    // A stream of its own over the file, from its first byte; the caller closes it.
    std::FILE *stream() const;

    // A name that opens this very file again, for libraries that only take names; empty
    // where there is none.
    std::string libraryName() const;

    // The open file itself, for rules that name it.
    int descriptor() const { return handle; }

private:
    PictureFile(int handle, long long bytes, const QString &path);

    int handle = -1;
    long long bytes = 0;
    QString path; // as opened; names nothing the readers use where descriptors can be reopened
};

#endif
