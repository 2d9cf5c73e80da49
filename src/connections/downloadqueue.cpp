#include "connections/downloadqueue.h"

#include "common/textconversion.h"

namespace tw {

DownloadQueue::DownloadQueue(QObject *parent)
    : QAbstractListModel(parent)
{
}

int DownloadQueue::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_urls.size());
}

QVariant DownloadQueue::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole)
        return {};
    return DisplayText(m_urls[static_cast<std::size_t>(index.row())]);
}

void DownloadQueue::InsertTop(std::string url)
{
    beginInsertRows(QModelIndex(), 0, 0);
    m_urls.push_front(std::move(url));
    endInsertRows();
}

void DownloadQueue::RemoveBottom()
{
    if (m_urls.empty())
        return;
    const int last = static_cast<int>(m_urls.size()) - 1;
    beginRemoveRows(QModelIndex(), last, last);
    m_urls.pop_back();
    endRemoveRows();
}

void DownloadQueue::Clear()
{
    if (m_urls.empty())
        return;
    beginResetModel();
    m_urls.clear();
    endResetModel();
}

} // namespace tw
