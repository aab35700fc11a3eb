// SPDX-License-Identifier: MIT
#include "chosentype.h"

#include <QFileInfo>
#include <QRegularExpression>

QString withChosenExtension(const QString &path, const QString &nameFilter)
{
    // "Name (*.a *.b)": the patterns between the parentheses.
    const auto patterns = QRegularExpression("\\(([^)]*)\\)").match(nameFilter).captured(1);
    QStringList extensions;
    for (const QString &pattern : patterns.split(' ', Qt::SkipEmptyParts))
        if (pattern.startsWith("*.") && pattern.size() > 2)
            extensions.append(pattern.mid(2));
    if (path.isEmpty() || extensions.isEmpty())
        return path;
    const QString suffix = QFileInfo(path).suffix();
    for (const QString &extension : extensions)
        if (suffix.compare(extension, Qt::CaseInsensitive) == 0)
            return path;
    return path + '.' + extensions.first();
}
