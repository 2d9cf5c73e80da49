#pragma once

// The site URLs waiting to be fetched, shown as a list (row 0 on top). New URLs go on top, the
// scheduler takes from the bottom, so URLs are fetched in the order they were admitted. Both ends
// are constant time, whatever the length of the queue.

#include "extractor/queuesink.h"

#include <QAbstractListModel>

#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace tw {

class DownloadQueue final : public QAbstractListModel, public QueueSink
{
    Q_OBJECT

public:
    explicit DownloadQueue(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    std::size_t Count() const { return m_urls.size(); }
    bool IsEmpty() const { return m_urls.empty(); }
    // The entry at row, counted from the top.
    const std::string &At(std::size_t row) const { return m_urls[row]; }

    void InsertTop(std::string url) override;
    // Puts a URL taken from the queue back where it was taken, to be the next one started.
    void PutBackOldest(std::string url);
    // Removes and gives the oldest entry that startable accepts; nothing when none does.
    std::optional<std::string> TakeOldest(
        const std::function<bool(const std::string &url)> &startable);
    void Clear();

private:
    std::deque<std::string> m_urls;
};

} // namespace tw
