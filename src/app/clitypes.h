#pragma once

// The file types tidewell-cli wants: the desktop program's list, or the default list where there
// is none, replaced or added to by --types; and the words that say which.

#include "app/clioptions.h"

#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace tw {

struct FileTypesInUse
{
    std::vector<std::string> entries;
    QString origin; // "the default list", "--types", "the desktop program's list in PATH", ...
};

// listFile: the entries of the desktop program's list file, shown as listPath, or nullopt when
// there is none.
FileTypesInUse ChooseFileTypes(const std::optional<std::vector<std::string>> &listFile,
    const QString &listPath, const CliOptions &options);

// ".html .gif (--types)".
QString FileTypesText(const FileTypesInUse &types);

} // namespace tw
