#include "forms/frmmain.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "common/textconversion.h"
#include "common/version.h"
#include "crawl/engine.h"
#include "forms/frmnew.h"
#include "forms/frmpause.h"
#include "forms/loginwindow.h"
#include "forms/messagebox.h"
#include "forms/pictures.h"
#include "output/filesystem.h"
#include "output/localpath.h"
#include "output/settings.h"
#include "report/failuretext.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

namespace tw {

namespace {

QString TrimSpaces(const QString &text)
{
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' '))
        ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' '))
        --last;
    return text.mid(first, last - first);
}

QString FailureCount(std::int64_t failures)
{
    return failures == 1 ? QStringLiteral("1 file failed")
                         : QString::number(failures) + QStringLiteral(" files failed");
}

} // namespace

std::string FormatThousands(std::string_view text)
{
    std::string plain = LowerTrim(text);
    if (plain.size() <= 3)
        return plain;
    const std::string reversed = ReverseString(plain);
    std::string grouped;
    const std::size_t n = reversed.size();
    for (std::size_t i = 1; i <= n; ++i) {
        grouped += reversed[i - 1];
        if (i % 3 == 0 && i < n)
            grouped += ',';
    }
    return ReverseString(grouped);
}

QString BrowserAddressOf(const QString &queuedUrl, bool secure)
{
    if (queuedUrl.left(7).toLower() == QLatin1String("http://")
        || queuedUrl.left(8).toLower() == QLatin1String("https://"))
        return queuedUrl;
    return (secure ? QStringLiteral("https://") : QStringLiteral("http://"))
        + TrimSpaces(queuedUrl);
}

frmMain::frmMain(Engine &engine, QWidget *parent)
    : QMainWindow(parent)
    , m_engine(engine)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tidewell Website Copier ") + QLatin1String(kVersion));
    setWindowIcon(ProgramIcon());

    CreateControls();
    CreateMenus();
    m_engine.Job().pageParts = PagePartsChosen();

    connect(&m_engine, &Engine::slotStateChanged, this, [this](int slot, SlotState state) {
        if (ConnectionRow *row = Row(slot))
            row->ShowState(state, m_engine.Slot(slot));
    });
    connect(&m_engine, &Engine::slotProgressChanged, this,
        [this](int slot, std::int64_t received, std::int64_t length) {
            if (ConnectionRow *row = Row(slot))
                row->ShowProgress(received, length);
        });
    connect(&m_engine, &Engine::slotReset, this, [this](int slot) {
        if (ConnectionRow *row = Row(slot))
            row->Reset();
    });
    connect(&m_engine, &Engine::slotFailed, this, &frmMain::OnSlotFailed);
    connect(&m_engine, &Engine::siteStarted, this, [this](const QString &url) {
        Label6->setText(QStringLiteral("Downloading Site [") + url + QStringLiteral("]"));
    });
    connect(&m_engine, &Engine::runningChanged, this, &frmMain::SetRunning);
    connect(&m_engine, &Engine::statsRefresh, this, &frmMain::UpdateStats);
    connect(&m_engine, &Engine::siteCompleted, this, &frmMain::OnSiteCompleted);
    connect(&m_engine, &Engine::siteFailed, this, &frmMain::OnSiteFailed);
    connect(&m_engine, &Engine::fetchFailed, this, &frmMain::OnFetchFailed);
    connect(&m_engine, &Engine::startUrlChanged, Text1, &QLineEdit::setText);

    ResizeToNormal();
    Load();
    SetRunning(m_engine.IsRunning());
    Text1->setFocus();
}

frmMain::~frmMain() = default;

void frmMain::Load()
{
    MakeRows();
    FillConnectionCounts();
    MakeDirectory(FileSystem::ProgramDirectory() + "/dldata", m_engine.Job(), m_engine.Writes());
    wizardPending = true;
}

ConnectionRow *frmMain::Row(int slot)
{
    if (slot < 1 || slot > kSlotCount || !m_rows[static_cast<std::size_t>(slot - 1)])
        return nullptr;
    return &*m_rows[static_cast<std::size_t>(slot - 1)];
}

void frmMain::FillConnectionCounts()
{
    txtMax->clear();
    for (int i = 1; i <= kSlotCount; ++i)
        txtMax->addItem(QString::number(i));
    // Selecting through the list has the effect of a click: the engine takes the count too.
    txtMax->setCurrentRow(kDefaultConnectionCount - 1);
}

void frmMain::Refresh()
{
    DeleteRows();
    Text1->clear();
    Label3->setText(QStringLiteral("0 Files"));
    Label4->setText(QStringLiteral("0 Bytes"));
    Label5->setText(QStringLiteral("0 Files"));
    Label6->setText(QStringLiteral("Not Connected."));
    SetRunning(m_engine.IsRunning());
    if (isMaximized() || isMinimized())
        showNormal();
    ResizeToNormal();
    if (isVisible())
        CentreOnScreen();
    Load();
    ApplyResizeRules();
}

void frmMain::ConnectNowNow()
{
    // Until a download folder has been chosen there is nowhere to copy to: choosing one comes
    // first.
    if (m_engine.Job().outputDir.empty()) {
        ShowWizard();
        return;
    }
    if (!AcceptStartUrl(this, Text1->text()))
        return;
    Text1->setText(m_engine.ConnectNowNow(Text1->text()));
}

void frmMain::StartJob(const QString &url)
{
    const std::optional<QString> unfinished = UnfinishedCopyIn(m_engine.Job().outputDir);
    if (unfinished && SameStartSite(*unfinished, url)
        && AnswerIsYes(this, QStringLiteral("Continue Download"),
            QStringLiteral("This folder holds a copy of ") + *unfinished
                + QStringLiteral(" that stopped before its end.\r\n\r\nContinue it, fetching "
                                 "nothing it holds again?"))) {
        TakeUp(TakeUp::Continue);
        return;
    }
    Text1->setText(url);
    ConnectNowNow();
}

void frmMain::TakeUp(tw::TakeUp how)
{
    if (m_engine.IsRunning())
        return;
    std::string why;
    std::optional<TakeUpPlan> plan = PlanTakeUp(m_engine.Job().outputDir, how, why);
    if (!plan) {
        Answer(this, QStringLiteral("Update Website"),
            QStringLiteral("There is no copy to take up in ")
                + FromLocalText(FileSystem::NativePath(m_engine.Job().outputDir))
                + QStringLiteral(": ") + FromLocalText(why) + QStringLiteral("."));
        return;
    }
    Text1->setText(StartTakeUp(m_engine, std::move(*plan)));
}

void frmMain::AskStop()
{
    if (!AnswerIsYes(this, QStringLiteral("Stop Download"),
            QStringLiteral("Are you sure you want to cancel downloading the current website?")))
        return;
    m_engine.StopNOW();
    WriteReport();
    justRefreshing = true;
    // The wizard comes back only once the stop has been reported, so that a job started from it
    // keeps its own status line and pause item.
    m_wizardOpen = true;
    Refresh();
    QCoreApplication::processEvents();
    Label6->setText(QStringLiteral("Operation Cancelled."));
    m_wizardOpen = false;
    QMetaObject::invokeMethod(this, &frmMain::ShowPendingWizard, Qt::QueuedConnection);
}

void frmMain::UpdateStats()
{
    const JobCounters &counters = m_engine.Counters();
    Label5->setText(QString::number(m_engine.Queue().Count()) + QStringLiteral(" Files"));
    Label3->setText(
        FromLocalText(FormatThousands(std::to_string(counters.aFiles))) + QStringLiteral(" Files"));
    Label4->setText(
        FromLocalText(FormatThousands(std::to_string(counters.aBytes))) + QStringLiteral(" Bytes"));
}

void frmMain::ShowWizard()
{
    wizardPending = false;
    m_wizardOpen = true;
    frmNew wizard(m_engine, *this);
    wizard.exec();
    m_wizardOpen = false;
    justRefreshing = false;
}

void frmMain::ShowPendingWizard()
{
    if (!wizardPending || m_wizardOpen || !isVisible())
        return;
    ShowWizard();
}

void frmMain::SetRunning(bool running)
{
    if (running)
        m_lastFailure.clear();
    Command1->setEnabled(!running);
    Command2->setEnabled(running);
    // A copy that ended, however it ended, has nothing left to pause.
    mnupause->setEnabled(running);
    Text1->setEnabled(!running);
    if (!running)
        Text1->setFocus();
}

void frmMain::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && wizardPending
        && !m_wizardOpen)
        QMetaObject::invokeMethod(this, &frmMain::ShowPendingWizard, Qt::QueuedConnection);
}

void frmMain::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    ApplyResizeRules();
}

// Many window systems tell the frame around a window only once it is shown, and a frame that
// arrives changes the outer size without a resize: the layout follows it then.
void frmMain::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    QMetaObject::invokeMethod(this, &frmMain::ApplyResizeRules, Qt::QueuedConnection);
}

void frmMain::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    if (frameGeometry().size() != m_laidOutFrame)
        ApplyResizeRules();
}

void frmMain::closeEvent(QCloseEvent *event)
{
    if (justRefreshing) {
        event->accept();
        return;
    }
    if (!AnswerIsYes(this, QStringLiteral("Exit Tidewell"),
            QStringLiteral("Are you sure you want to exit?"))) {
        event->ignore();
        return;
    }
    m_engine.ShutDown();
    event->accept();
    Q_EMIT exitConfirmed();
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    // Selected after the click that gave the focus has placed the cursor, so typing replaces all.
    if (watched == Text1 && event->type() == QEvent::FocusIn)
        QTimer::singleShot(0, Text1, &QLineEdit::selectAll);
    return QMainWindow::eventFilter(watched, event);
}

void frmMain::txtMax_Click()
{
    const QList<QListWidgetItem *> selected = txtMax->selectedItems();
    if (selected.isEmpty())
        return;
    bool numeric = false;
    const int count = selected.first()->text().trimmed().toInt(&numeric);
    if (numeric)
        m_engine.SetConnectionCount(count);
}

void frmMain::List1_DblClick(const QModelIndex &index)
{
    const QString text = index.data(Qt::DisplayRole).toString();
    QDesktopServices::openUrl(QUrl(BrowserAddressOf(text, m_engine.Job().secure)));
}

void frmMain::mnunew_Click()
{
    if (m_engine.IsRunning())
        AskStop();
    if (!m_engine.IsRunning())
        ShowWizard();
}

void frmMain::mnupause_Click()
{
    m_engine.SetSchedulerEnabled(false);
    frmPause pause(m_engine, this);
    pause.exec();
}

void frmMain::mnuexplore_Click()
{
    OpenOutputDirectory();
}

void frmMain::mnulogin_Click()
{
    const QString named = ReadSetting(QStringLiteral("LastURL"), Text1->text());
    const QUrl start = QUrl::fromUserInput(TrimSpaces(named));
    if (start.host().isEmpty()) {
        Answer(this, QStringLiteral("Log In to Website"),
            QStringLiteral("Name the website in the New Site Wizard first."));
        return;
    }
    LoginWindow window(start, this);
    window.exec();
    m_engine.Job().cookies = window.SiteCookies();
}

void frmMain::mnuabout_Click()
{
    const QString crlf = QStringLiteral("\r\n");
    const QString text = QStringLiteral("Tidewell Complete Website Copier ")
        + QLatin1String(kVersion) + crlf + crlf
        + QStringLiteral("Need Custom Features in your Website Copier?") + crlf
        + QStringLiteral("Let us know what you need.") + crlf + crlf
        + QStringLiteral("support@tidewell.invalid") + crlf
        + QStringLiteral("https://tidewell.invalid/");
    Answer(this, QStringLiteral("About"), text);
}

void frmMain::WriteReport()
{
    const std::string path = m_journal.WriteReport();
    m_reportPath = FromLocalText(FileSystem::NativePath(path));
    mnureport->setEnabled(!path.empty());
}

void frmMain::OnSiteCompleted()
{
    // The scheduler, whose ticks refresh the counters, has stopped: show the final figures.
    UpdateStats();
    WriteReport();
    const std::int64_t failures = m_engine.Counters().aFailures;
    Label6->setText(QStringLiteral("Website Downloaded!"));
    if (failures > 0)
        Label6->setText(QStringLiteral("Website Downloaded! ") + FailureCount(failures)
            + QStringLiteral(", the last: ") + m_lastFailure);
    const QString done = failures == 0 ? QStringLiteral("The website has been downloaded.")
                                       : QStringLiteral("The website has been downloaded, but ")
            + FailureCount(failures) + QStringLiteral(":\r\n") + m_lastFailure;
    if (AnswerIsYes(this, QStringLiteral("Done."),
            done + QStringLiteral("\r\n\r\nWould you like to browse the download directory?")))
        OpenOutputDirectory();
}

void frmMain::OnSlotFailed(int slot, const Failure &failure)
{
    if (ConnectionRow *row = Row(slot))
        row->ShowFailure(failure);
}

void frmMain::OnFetchFailed(const std::string &url, const Failure &failure)
{
    m_lastFailure = FailureText(failure) + QStringLiteral(": ") + DisplayText(url);
    Label6->setText(FailureCount(m_engine.Counters().aFailures) + QStringLiteral(", the last: ")
        + m_lastFailure);
}

void frmMain::OnSiteFailed(const Failure &failure)
{
    const QString reason = FailureText(failure);
    Label6->setText(QStringLiteral("Site not downloaded: ") + reason);
    UpdateStats();
    WriteReport();
    Answer(this, QStringLiteral("Not Downloaded"),
        QStringLiteral("The website could not be downloaded:\r\n\r\n") + Text1->text()
            + QStringLiteral("\r\n") + reason,
        QMessageBox::Ok, QMessageBox::Warning);
}

void frmMain::OpenOutputDirectory()
{
    const std::string native = FileSystem::NativePath(m_engine.Job().outputDir);
    if (native.empty())
        return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(FromLocalText(native)));
}

} // namespace tw
