#ifndef PICTURE_TYPES_H
#define PICTURE_TYPES_H

#include <QStringList>

// The kinds of file this build's decoders read, each by the name ending a desktop gives it and
// its MIME type as the shared MIME database knows it; the only list of them. The desktop entry
// and the AppStream metadata declare exactly these MIME types, and the file dialog and the walk
// through a folder offer exactly these extensions. The tests decode a sample of every row.
struct PictureType
{
    const char *mimeType; // empty where the MIME database knows no type for such files
    const char *extension; // lower case, without the dot
};

inline constexpr PictureType pictureTypes[] = {
    {"image/jpeg", "jpg"},
    {"image/jpeg", "jpeg"},
    {"image/jpeg", "jpe"},
    {"image/png", "png"},
    {"image/bmp", "bmp"},
    {"image/bmp", "dib"},
    {"image/tiff", "tif"},
    {"image/tiff", "tiff"},
    {"image/webp", "webp"},
    {"image/jp2", "jp2"},
    {"image/jp2", "jpg2"},
    {"image/x-jp2-codestream", "j2k"},
    {"image/x-jp2-codestream", "j2c"},
    {"image/x-jp2-codestream", "jpc"},
    {"image/x-portable-bitmap", "pbm"},
    {"image/x-portable-graymap", "pgm"},
    {"image/x-portable-pixmap", "ppm"},
    {"image/x-portable-anymap", "pnm"},
    {"image/x-sun-raster", "sun"},
    {"image/x-exr", "exr"},
    // Decoded by libheif and giflib. The MIME database calls HEIC files image/heif (image/heic is
    // its alias).
    {"image/heif", "heic"},
    {"image/heif", "heif"},
    {"image/avif", "avif"},
    {"image/gif", "gif"},
    // Sun raster by its other names (the MIME database takes .ras for another raster format),
    // the portable arbitrary and float maps, and Radiance HDR.
    {"", "ras"},
    {"", "sr"},
    {"", "pam"},
    {"", "pfm"},
    {"", "hdr"},
};

// The extensions, in the list's order.
inline QStringList pictureExtensions()
{
    QStringList extensions;
    for (const PictureType &type : pictureTypes)
        extensions << QString::fromLatin1(type.extension);
    return extensions;
}

// The MIME types, each once, in the list's order.
inline QStringList pictureMimeTypes()
{
    QStringList types;
    for (const PictureType &type : pictureTypes)
        if (*type.mimeType && !types.contains(QLatin1String(type.mimeType)))
            types << QString::fromLatin1(type.mimeType);
    return types;
}

#endif
