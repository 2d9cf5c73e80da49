#include "forms/connectionrow.h"

#include "common/textconversion.h"
#include "forms/twips.h"
#include "report/failuretext.h"
#include "report/progresstext.h"

#include <QLabel>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tw {

namespace {

const QString kNotConnected = QStringLiteral("Not Connected.");

// A new element of a control array: every property of element 0, but hidden.
QLabel *CopyOf(const QLabel *element0, const char *array, int index)
{
    auto *label = new QLabel(element0->text(), element0->parentWidget());
    label->setObjectName(
        QString::fromLatin1(array) + QLatin1Char('(') + QString::number(index) + QLatin1Char(')'));
    label->setFont(element0->font());
    label->setPalette(element0->palette());
    label->setAlignment(element0->alignment());
    label->setGeometry(element0->geometry());
    label->hide();
    return label;
}

void SetTop(QLabel *label, int top)
{
    label->move(label->x(), top);
}

} // namespace

QString PercentText(std::int64_t received, std::int64_t length)
{
    int percent = 0;
    if (length != 0) {
        const double exact = static_cast<double>(received) / static_cast<double>(length) * 100.0;
        const double rounded = std::nearbyint(exact);
        // A percentage that does not fit in 16 bits shows as 0.
        if (rounded <= std::numeric_limits<std::int16_t>::max()
            && rounded >= std::numeric_limits<std::int16_t>::min())
            percent = std::min(100, static_cast<int>(rounded));
    }
    return QString::number(percent) + QLatin1Char('%');
}

ConnectionRow::ConnectionRow(QLabel *status, QLabel *number, QLabel *size, QLabel *percent)
    : m_status(status)
    , m_number(number)
    , m_size(size)
    , m_percent(percent)
{
}

ConnectionRow ConnectionRow::CopyFor(int slot, const ConnectionRow &above) const
{
    ConnectionRow row(CopyOf(m_status, "l", slot), CopyOf(m_number, "x", slot),
        CopyOf(m_size, "k", slot), CopyOf(m_percent, "k2", slot));
    const int top = Px(Twips(above.m_status->y()) + Twips(m_status->height()));
    for (QLabel *column : {row.m_status, row.m_number, row.m_size, row.m_percent})
        SetTop(column, top);
    row.m_number->setText(QString::number(slot));
    row.m_status->setText(kNotConnected);
    return row;
}

void ConnectionRow::Show()
{
    for (QLabel *column : {m_status, m_number, m_size, m_percent})
        column->show();
}

void ConnectionRow::Delete()
{
    for (QLabel *column : {m_status, m_number, m_size, m_percent})
        delete column;
    m_status = m_number = m_size = m_percent = nullptr;
}

void ConnectionRow::FitStatus(const ConnectionRow &rowTemplate, int right)
{
    m_status->resize(
        std::max(rowTemplate.m_status->width(), right - m_status->x()), m_status->height());
}

void ConnectionRow::ShowState(SlotState state, const ConnectionSlot &slot)
{
    switch (state) {
    case SlotState::NotConnected:
        m_status->setText(kNotConnected);
        return;
    case SlotState::Connecting:
        m_status->setText(QStringLiteral("Connecting to ") + DisplayText(slot.host));
        return;
    case SlotState::Downloading:
        m_status->setText(QStringLiteral("Downloading ") + DisplayText(slot.url));
        return;
    case SlotState::Finished:
        m_status->clear();
        return;
    }
}

void ConnectionRow::ShowProgress(std::int64_t received, std::int64_t length)
{
    m_size->setText(FormatByteSize(length));
    m_percent->setText(PercentText(received, length));
}

void ConnectionRow::ShowFailure(const Failure &failure)
{
    m_status->setText(FailureText(failure));
}

void ConnectionRow::Reset()
{
    m_status->setText(kNotConnected);
    m_size->setText(QStringLiteral("0 KB"));
    m_percent->setText(QStringLiteral("0%"));
}

} // namespace tw
