#pragma once

// The pause dialog. While it is open the engine's scheduler stays off, so no queued URL starts;
// fetches under way run on. Closing it, whatever closes it, switches the scheduler back on.

#include <QDialog>

class QLabel;
class QPushButton;

namespace tw {

class Engine;

class frmPause final : public QDialog
{
    Q_OBJECT

public:
    explicit frmPause(Engine &engine, QWidget *parent = nullptr);

    void done(int result) override;

private:
    Engine &m_engine;
    QPushButton *Command1 = nullptr; // resumes the download
    QLabel *Label2 = nullptr; // what the pause means
    QLabel *Label1 = nullptr;
};

} // namespace tw
