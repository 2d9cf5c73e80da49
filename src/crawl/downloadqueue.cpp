#include "crawl/downloadqueue.h"

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

void DownloadQueue::PutBackOldest(std::string url)
{
    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    m_urls.push_back(std::move(url));
    endInsertRows();
}

std::optional<std::string> DownloadQueue::TakeOldest(
    const std::function<bool(const std::string &url)> &startable)
{
    for (std::size_t row = m_urls.size(); row > 0; --row) {
        if (!startable(m_urls[row - 1]))
            continue;
        beginRemoveRows(QModelIndex(), static_cast<int>(row - 1), static_cast<int>(row - 1));
        std::string url = std::move(m_urls[row - 1]);
        m_urls.erase(m_urls.begin() + static_cast<std::ptrdiff_t>(row - 1));
        endRemoveRows();
        return url;
    }
    return std::nullopt;
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
