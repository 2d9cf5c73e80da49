#pragma once

// The main window: the URL box with the start and stop buttons, one row per connection, the
// counters, the queue and the status line. It shows what the engine reports and turns the user's
// clicks into engine calls; every question and message box of a running job is asked here.

#include "forms/connectionrow.h"
#include "report/copyjournal.h"

#include <QMainWindow>

#include <array>
#include <optional>
#include <string>
#include <string_view>

class QAction;
class QLabel;
class QLineEdit;
class QListView;
class QListWidget;
class QMenu;
class QPushButton;

namespace tw {

class Engine;
class frmNew;

// Digit grouping of a counter: the text lower-cased and trimmed, then a "," after every third
// character from the right ("1234567" gives "1,234,567"; three characters or fewer stay as they
// are). Every character counts, a sign included.
std::string FormatThousands(std::string_view text);

// The address that opens a queued URL in the web browser: the text as it is when it starts with
// "http://" or "https://" in any case, otherwise the job's scheme followed by the trimmed text.
QString BrowserAddressOf(const QString &queuedUrl, bool secure);

class frmMain final : public QMainWindow
{
    Q_OBJECT

public:
    explicit frmMain(Engine &engine, QWidget *parent = nullptr);
    ~frmMain() override;

    // Starts a job from the URL box; the box then shows the URL as the job uses it.
    void ConnectNowNow();
    // Asks before stopping the job; on Yes stops it and shows the window afresh, wizard included.
    void AskStop();
    // Refreshes the counters of queued files, downloaded files and bytes.
    void UpdateStats();
    // Brings the window back to its state after start-up: rows made afresh, "3" connections,
    // counters and URL box cleared, and the wizard shown again once the window is active.
    void Refresh();
    // Shows the New Site Wizard as a modal dialog.
    void ShowWizard();
    // Places the window in the middle of its screen.
    void CentreOnScreen();
    // Puts url in the URL box and starts a job from it, as the wizard's "Download Website Now!"
    // does.
    // Starts a copy of url, or continues the one the download folder holds, if the user wishes.
    void StartJob(const QString &url);
    // Updates or continues the copy in the download folder.
    void TakeUp(tw::TakeUp how);

    // True while the window is being shown afresh after a user stop: closing then asks nothing.
    bool IsRefreshing() const { return justRefreshing; }
    // True from start-up until the wizard has been shown once on activation.
    bool IsWizardPending() const { return wizardPending; }
    // The wizard is not to come up by itself on activation.
    void CancelPendingWizard() { wizardPending = false; }

Q_SIGNALS:
    // The user confirmed leaving the program and the job has been cleaned up.
    void exitConfirmed();

protected:
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void CreateControls();
    void CreateMenus();
    void Load();
    void MakeRenderMenu();
    void MakeRows();
    void DeleteRows();
    void FillConnectionCounts();
    void ApplyResizeRules();
    // The window at the size its controls are laid out for.
    void ResizeToNormal();
    void ShowPendingWizard();
    void SetRunning(bool running);

    void txtMax_Click();
    void List1_DblClick(const QModelIndex &index);
    void mnunew_Click();
    void mnupause_Click();
    void mnuexplore_Click();
    void mnulogin_Click();
    void mnuabout_Click();
    // Writes the report of the job that ended and offers it in the Sites menu.
    void WriteReport();
    void OnSiteCompleted();
    void OnFetchFailed(const std::string &url, const Failure &failure);
    void OnSiteFailed(const Failure &failure);
    void OpenOutputDirectory();

    // The row of a slot (1 to 24), or nothing while the rows are being made afresh.
    ConnectionRow *Row(int slot);
    void OnSlotFailed(int slot, const Failure &failure);

    Engine &m_engine;
    CopyJournal m_journal {m_engine};
    QString m_reportPath;
    bool justRefreshing = false;
    bool wizardPending = false;
    bool m_wizardOpen = false;
    // The last URL that failed, with its reason, as shown.
    QString m_lastFailure;
    // The outer size the controls were last laid out for.
    QSize m_laidOutFrame;

    QWidget *m_client = nullptr;
    // The panel of the start and stop buttons.
    QWidget *Picture2 = nullptr;
    // Stop: asks, then ends the job.
    QPushButton *Command2 = nullptr;
    // Start: enabled exactly while no job runs.
    QPushButton *Command1 = nullptr;
    // The connection count, 1 to 24 ("Max").
    QListWidget *txtMax = nullptr;
    // The dark panel that holds the connection rows.
    QWidget *Picture1 = nullptr;
    // Its right-hand strip, where each row's size and percentage stand.
    QWidget *Picture3 = nullptr;
    // The hidden template row; rows 1 to 24 are made from it.
    std::optional<ConnectionRow> m_rowTemplate;
    std::array<std::optional<ConnectionRow>, kSlotCount> m_rows;
    // The download queue, newest on top.
    QListView *List1 = nullptr;
    // The URL box: the start URL as the job uses it.
    QLineEdit *Text1 = nullptr;
    // The caption "Queued Files" over the queue.
    QLabel *Label8 = nullptr;
    // The caption "Max" over the connection count.
    QLabel *Label7 = nullptr;
    // The status line.
    QLabel *Label6 = nullptr;
    // The "HTTP://" picture in front of the URL box.
    QLabel *Image1 = nullptr;
    // The number of queued files.
    QLabel *Label5 = nullptr;
    // The caption "Queued".
    QLabel *Label1 = nullptr;
    // The bytes downloaded.
    QLabel *Label4 = nullptr;
    // The files downloaded.
    QLabel *Label3 = nullptr;
    // The caption "Downloaded".
    QLabel *Label2 = nullptr;

    QMenu *mnufile = nullptr;
    QAction *mnunew = nullptr;
    QAction *mnuexit = nullptr;
    QMenu *mnusites = nullptr;
    QAction *mnupause = nullptr;
    QAction *mnuexplore = nullptr;
    // Asks again for every file of the copy in the download folder.
    QAction *mnuupdate = nullptr;
    // Opens the report of the last copy; enabled once there is one.
    QAction *mnureport = nullptr;
    // Opens the site in a browser window; the cookies set there are the next copy's.
    QAction *mnulogin = nullptr;
    // Page URLs with a query are followed too; remembered in the settings store.
    QAction *mnuquerypages = nullptr;
    // Style sheets, scripts, images and fonts that pages embed are fetched from any host;
    // remembered in the settings store, on unless turned off.
    QAction *mnuotherhosts = nullptr;
    // Requests ask for kept-alive connections, reused for the host's next fetch; remembered in
    // the settings store.
    QAction *mnukeepalive = nullptr;
    QAction *mnuhttp2 = nullptr;
    // Each host's robots.txt is read and obeyed; remembered, on unless turned off.
    QAction *mnurobots = nullptr;
    // Which pages a browser draws before they are stored; remembered, automatic unless changed.
    QMenu *mnurender = nullptr;
    QAction *mnupref = nullptr;
    QMenu *mnuhelp = nullptr;
    QAction *mnuabout = nullptr;
};

} // namespace tw
