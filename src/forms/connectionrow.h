#pragma once

// One connection's row in the main window: its status, its number, the size of its file and the
// part of it received. Rows 1 to 24 are copies of a hidden template row; each shows what the
// engine reports for its slot.

#include "crawl/engine.h"

#include <QString>

#include <cstdint>

class QLabel;

namespace tw {

// "42%": the part of length received, rounded, at most 100; "0%" when no length is known.
QString PercentText(std::int64_t received, std::int64_t length);

class ConnectionRow
{
public:
    // The template row, whose labels the caller has made and placed.
    ConnectionRow(QLabel *status, QLabel *number, QLabel *size, QLabel *percent);

    // A copy of this template for slot, hidden, named "l(slot)", "x(slot)", "k(slot)" and
    // "k2(slot)", one row below above.
    ConnectionRow CopyFor(int slot, const ConnectionRow &above) const;
    void Show();
    void Delete();

    // Lets the status text run on, past the template's width, up to right (the left edge of
    // the strip of sizes).
    void FitStatus(const ConnectionRow &rowTemplate, int right);

    void ShowState(SlotState state, const ConnectionSlot &slot);
    void ShowProgress(std::int64_t received, std::int64_t length);
    void ShowFailure(const Failure &failure);
    // "Not Connected.", "0 KB" and "0%".
    void Reset();

private:
    QLabel *m_status;
    QLabel *m_number;
    QLabel *m_size;
    QLabel *m_percent;
};

} // namespace tw
