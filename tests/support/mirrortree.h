#pragma once

#include <QString>

#include <map>
#include <string>

namespace tw::test {

// Every file below root, by its path relative to root with "/" separators, with its bytes.
std::map<std::string, std::string> ReadTree(const QString &root);

} // namespace tw::test
