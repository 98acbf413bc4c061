#ifndef PICTURE_FILES_H
#define PICTURE_FILES_H

#include <QString>

class QMimeData;

// The local file a command-line argument names: a path (relative to the current folder) or a
// file:// URL, percent-escapes decoded. Empty for a URL of any other kind.
QString localFileFromArgument(const QString &argument);

// The first local file among what is dropped (URLs, or a file:// URL as text); empty if none.
QString localFileFromDrop(const QMimeData *data);

// The picture after (step 1) or before (step -1) the file in its folder, in the order a file
// manager sorts names (img2 before img10), among the files whose extensions this build decodes;
// the file itself need not be one of them. Empty at either end.
QString neighbourInFolder(const QString &path, int step);

#endif
