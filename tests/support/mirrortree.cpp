#include "support/mirrortree.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

namespace tw::test {

std::map<std::string, std::string> ReadTree(const QString &root)
{
    std::map<std::string, std::string> tree;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        tree[base.relativeFilePath(path).toStdString()] = file.readAll().toStdString();
    }
    return tree;
}

} // namespace tw::test
