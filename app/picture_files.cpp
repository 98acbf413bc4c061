#include "picture_files.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

#include "picture_types.h"

QString localFileFromArgument(const QString &argument)
{
    // Anything that does not begin like a URL is a name, whatever characters it holds (a drive
    // letter is no URL scheme).
    static const QRegularExpression urlStart(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    if (!urlStart.match(argument).hasMatch() || QFileInfo::exists(argument))
        return QDir::current().absoluteFilePath(argument);
    const QUrl url(argument, QUrl::StrictMode);
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

QString localFileFromDrop(const QMimeData *data)
{
    if (!data)
        return {};
    for (const QUrl &url : data->urls())
        if (url.isLocalFile())
            return url.toLocalFile();
    // Some programs drag a URL as plain text only.
    if (!data->hasUrls() && data->hasText()) {
        const QUrl url(data->text().trimmed(), QUrl::StrictMode);
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return {};
}

QString neighbourInFolder(const QString &path, int step)
{
    const QFileInfo file(path);
    QStringList patterns;
    for (const QString &extension : pictureExtensions())
        patterns << QStringLiteral("*.") + extension;
    QDir folder = file.absoluteDir();
    folder.setNameFilters(patterns);
    folder.setFilter(QDir::Files | QDir::Readable); // case-insensitive name filters by default
    QStringList names = folder.entryList();

    // Qt's collator compares plain character codes in the C locale, digits included: a file
    // manager's order there is still the natural one of the English collation.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    // Names the collator finds equal ("img01", "img1") still need a fixed order.
    const auto before = [&](const QString &a, const QString &b) {
        const int order = collator.compare(a, b);
        return order != 0 ? order < 0 : a < b;
    };
    std::sort(names.begin(), names.end(), before);

    const QString name = file.fileName();
    if (step > 0) {
        const auto next = std::upper_bound(names.cbegin(), names.cend(), name, before);
        return next == names.cend() ? QString() : folder.filePath(*next);
    }
    const auto first = std::lower_bound(names.cbegin(), names.cend(), name, before);
    return first == names.cbegin() ? QString() : folder.filePath(*(first - 1));
}
