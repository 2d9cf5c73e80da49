#include "app/clitypes.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "output/filetypes.h"

#include <algorithm>

namespace tw {

FileTypesInUse ChooseFileTypes(const std::optional<std::vector<std::string>> &listFile,
    const QString &listPath, const CliOptions &options)
{
    FileTypesInUse chosen;
    // A list file that names no type would copy the start page alone: the user has none.
    if (listFile && !listFile->empty()) {
        for (const std::string &entry : *listFile)
            chosen.entries.push_back(LowerTrim(entry));
        chosen.origin = QStringLiteral("the desktop program's list in %1").arg(listPath);
    } else {
        chosen.entries = DefaultFileTypes();
        chosen.origin = QStringLiteral("the default list");
    }
    if (!options.types)
        return chosen;
    if (!options.addTypes) {
        chosen.entries.clear();
        chosen.origin.clear();
    }
    for (const std::string &entry : *options.types) {
        if (std::find(chosen.entries.begin(), chosen.entries.end(), entry) == chosen.entries.end())
            chosen.entries.push_back(entry);
    }
    if (!chosen.origin.isEmpty())
        chosen.origin += QStringLiteral(" and ");
    chosen.origin += QStringLiteral("--types");
    return chosen;
}

QString FileTypesText(const FileTypesInUse &types)
{
    QString text;
    for (const std::string &entry : types.entries)
        text += FromLocalText(entry) + QLatin1Char(' ');
    return text + QLatin1Char('(') + types.origin + QLatin1Char(')');
}

} // namespace tw
