#include "forms/frmpause.h"

#include "crawl/engine.h"
#include "forms/pictures.h"
#include "forms/twips.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace tw {

frmPause::frmPause(Engine &engine, QWidget *parent)
    : QDialog(parent,
        Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
            | Qt::MSWindowsFixedSizeDialogHint)
    , m_engine(engine)
{
    setObjectName(QStringLiteral("frmPause"));
    setWindowTitle(QStringLiteral("Paused"));
    setWindowIcon(ProgramIcon());
    setFont(VerdanaFont(8.25));
    SetBackground(this, Qt::black);
    setFixedSize(Px(5790), Px(2055));

    Command1 = new QPushButton(QStringLiteral("Resume"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setFont(VerdanaFont(8.25));
    SetTwipsGeometry(Command1, 1560, 840, 2655, 495);
    connect(Command1, &QPushButton::clicked, this, &QDialog::accept);

    Label2 = new QLabel(
        QStringLiteral("Until you click resume, no new files will start downloading."), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(VerdanaFont(8.25, true));
    SetForeground(Label2, Qt::white);
    Label2->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label2->setWordWrap(true);
    SetTwipsGeometry(Label2, 1200, 1440, 3375, 495);

    Label1 = new QLabel(QStringLiteral("Download Paused"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(VerdanaFont(24, true));
    SetForeground(Label1, QColor(255, 128, 0));
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    SetTwipsGeometry(Label1, 120, 120, 5535, 735);

    Command1->setDefault(true);
    Command1->setFocus();

    // Centred on the screen rather than over the main window.
    if (const QScreen *screen = parent ? parent->screen() : QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void frmPause::done(int result)
{
    m_engine.SetSchedulerEnabled(true);
    QDialog::done(result);
}

} // namespace tw
