#pragma once

// tidewell-cli --check: checks a copy on disk, writes its report outside it and says how it went.

#include "app/clioptions.h"

#include <QTextStream>

namespace tw {

// CliCompleted when every reference of the copy, links to other sites aside, leads to a file of
// it, CliUnresolvedReferences when some do not, CliBadArguments when options.check names no folder,
// CliUnusableDirectory when the report cannot be written.
int RunCheckCommand(const CliOptions &options, QTextStream &out, QTextStream &err);

} // namespace tw
