#include "forms/frmmain.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "common/version.h"
#include "connections/engine.h"
#include "forms/frmnew.h"
#include "forms/frmpause.h"
#include "forms/messagebox.h"
#include "forms/pictures.h"
#include "forms/twips.h"
#include "output/filesystem.h"
#include "output/localpath.h"
#include "output/placeholders.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenuBar>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>

namespace tw {

namespace {

// The client area at its normal size, in twips.
constexpr int kClientWidth = 11865;
constexpr int kClientHeight = 8385;

const QColor kOrange(255, 128, 0);
const QColor kGreen(0, 255, 0);

QLabel *MakeLabel(QWidget *parent, const char *name, const QString &text, const QFont &font,
    const QColor &colour = Qt::black, Qt::Alignment alignment = Qt::AlignLeft)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(font);
    SetForeground(label, colour);
    label->setAlignment(alignment | Qt::AlignTop);
    return label;
}

// White or green on black for the lists; the scroll bars keep the system's colours.
void SetListColours(QWidget *view, const QColor &text, const QColor &ground)
{
    QPalette palette = view->palette();
    palette.setColor(QPalette::Base, ground);
    palette.setColor(QPalette::Text, text);
    view->setPalette(palette);
}

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

int LeftOf(const QWidget *w)
{
    return Twips(w->x());
}
int TopOf(const QWidget *w)
{
    return Twips(w->y());
}
int WidthOf(const QWidget *w)
{
    return Twips(w->width());
}
int HeightOf(const QWidget *w)
{
    return Twips(w->height());
}

// Sizes the toolkit refuses (negative ones) are skipped; the other assignments still apply.
void SetWidth(QWidget *w, int twips)
{
    if (twips >= 0)
        w->resize(Px(twips), w->height());
}
void SetHeight(QWidget *w, int twips)
{
    if (twips >= 0)
        w->resize(w->width(), Px(twips));
}
void SetLeft(QWidget *w, int twips)
{
    w->move(Px(twips), w->y());
}
void SetTop(QWidget *w, int twips)
{
    w->move(w->x(), Px(twips));
}

QString FailureCount(std::int64_t failures)
{
    return failures == 1 ? QStringLiteral("1 file failed")
                         : QString::number(failures) + QStringLiteral(" files failed");
}

} // namespace

std::string FormatThousands(std::string_view text)
{
    const std::string plain = LowerTrim(text);
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

    resize(Px(kClientWidth), Px(kClientHeight) + menuBar()->sizeHint().height());
    Load();
    SetRunning(m_engine.IsRunning());
    Text1->setFocus();
}

frmMain::~frmMain() = default;

void frmMain::CreateControls()
{
    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("client"));
    m_client->setFont(VerdanaFont(8.25));
    setCentralWidget(m_client);

    const QFont regular = VerdanaFont(8.25);
    const QFont bold = VerdanaFont(8.25, true);

    Picture2 = new QWidget(m_client);
    Picture2->setObjectName(QStringLiteral("Picture2"));
    SetTwipsGeometry(Picture2, 8760, 120, 2175, 855);

    Command2 = new QPushButton(Picture2);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setIcon(StopPicture());
    Command2->setIconSize(QSize(48, 42));
    Command2->setAccessibleName(QStringLiteral("Stop"));
    SetTwipsGeometry(Command2, 1080, 0, 1095, 855);
    Command2->setEnabled(false);
    connect(Command2, &QPushButton::clicked, this, &frmMain::AskStop);

    Command1 = new QPushButton(Picture2);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setIcon(StartPicture());
    Command1->setIconSize(QSize(48, 42));
    Command1->setAccessibleName(QStringLiteral("Start"));
    SetTwipsGeometry(Command1, 0, 0, 1095, 855);
    connect(Command1, &QPushButton::clicked, this, &frmMain::ConnectNowNow);

    txtMax = new QListWidget(m_client);
    txtMax->setObjectName(QStringLiteral("txtMax"));
    txtMax->setFont(bold);
    SetListColours(txtMax, Qt::white, Qt::black);
    txtMax->setSelectionMode(QAbstractItemView::SingleSelection);
    txtMax->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtMax->setUniformItemSizes(true);
    SetTwipsGeometry(txtMax, 11400, 1440, 375, 4905);
    connect(txtMax, &QListWidget::itemSelectionChanged, this, &frmMain::txtMax_Click);

    Picture1 = new QWidget(m_client);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    SetBackground(Picture1, QColor(34, 34, 34));
    SetTwipsGeometry(Picture1, 120, 1440, 11175, 4935);

    Picture3 = new QWidget(Picture1);
    Picture3->setObjectName(QStringLiteral("Picture3"));
    SetBackground(Picture3, Qt::black);
    SetTwipsGeometry(Picture3, 9480, 0, 1695, 4935);

    QLabel *k2 = MakeLabel(Picture3, "k2(0)", QStringLiteral("0%"), bold, Qt::white);
    SetTwipsGeometry(k2, 1080, -120, 735, 255);
    QLabel *k = MakeLabel(Picture3, "k(0)", QStringLiteral("0 KB"), bold, kGreen, Qt::AlignRight);
    SetTwipsGeometry(k, 0, -120, 975, 255);
    QLabel *x = MakeLabel(Picture1, "x(0)", QStringLiteral("00"), bold, kOrange, Qt::AlignRight);
    SetTwipsGeometry(x, 0, -120, 360, 195);
    QLabel *l = MakeLabel(Picture1, "l(0)", QStringLiteral("Connections"), bold, Qt::white);
    SetTwipsGeometry(l, 480, -120, 1185, 195);
    for (QLabel *element0 : {k2, k, x, l})
        element0->hide();
    m_rowTemplate.emplace(l, x, k, k2);

    List1 = new QListView(m_client);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setFont(bold);
    SetListColours(List1, Qt::white, Qt::black);
    // The queue can hold a very large number of URLs; equal rows keep the view fast.
    List1->setUniformItemSizes(true);
    List1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setModel(&m_engine.Queue());
    SetTwipsGeometry(List1, 120, 6720, 11655, 1200);
    connect(List1, &QListView::doubleClicked, this, &frmMain::List1_DblClick);

    Text1 = new QLineEdit(m_client);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setFont(VerdanaFont(9.75));
    SetTwipsGeometry(Text1, 1080, 120, 7575, 360);
    Text1->installEventFilter(this);
    connect(Text1, &QLineEdit::returnPressed, this, &frmMain::ConnectNowNow);

    Label8 = MakeLabel(m_client, "Label8", QStringLiteral("Queued Files"), bold);
    SetTwipsGeometry(Label8, 120, 6480, 2415, 255);
    Label7 = MakeLabel(m_client, "Label7", QStringLiteral("Max"), bold);
    SetTwipsGeometry(Label7, 11400, 1200, 375, 255);
    Label6
        = MakeLabel(m_client, "Label6", QStringLiteral("Not Connected."), VerdanaFont(9.75, true));
    SetTwipsGeometry(Label6, 120, 8100, 11175, 255);

    Image1 = new QLabel(m_client);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(HttpPicture());
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetTwipsGeometry(Image1, 120, 120, 1185, 360);
    // The picture is wider than the gap before the URL box; the box covers its right-hand end.
    Image1->stackUnder(Text1);

    Label5 = MakeLabel(m_client, "Label5", QStringLiteral("0 Files"), regular);
    SetTwipsGeometry(Label5, 2400, 840, 3135, 255);
    Label1 = MakeLabel(m_client, "Label1", QStringLiteral("Queued"), bold);
    SetTwipsGeometry(Label1, 2400, 600, 975, 255);
    Label4 = MakeLabel(m_client, "Label4", QStringLiteral("0 Bytes"), regular);
    SetTwipsGeometry(Label4, 120, 1080, 2295, 255);
    Label3 = MakeLabel(m_client, "Label3", QStringLiteral("0 Files"), regular);
    SetTwipsGeometry(Label3, 120, 840, 1695, 255);
    Label2 = MakeLabel(m_client, "Label2", QStringLiteral("Downloaded"), bold);
    SetTwipsGeometry(Label2, 120, 600, 1935, 255);

    setTabOrder(Text1, Command1);
    setTabOrder(Command1, Command2);
    setTabOrder(Command2, txtMax);
    setTabOrder(txtMax, List1);
}

void frmMain::CreateMenus()
{
    auto action = [this](QMenu *menu, const char *name, const QString &caption,
                      const QKeySequence &shortcut = {}) {
        QAction *item = menu->addAction(caption);
        item->setObjectName(QString::fromLatin1(name));
        item->setShortcut(shortcut);
        return item;
    };
    auto separator = [](QMenu *menu, const char *name) {
        QAction *item = menu->addSeparator();
        item->setObjectName(QString::fromLatin1(name));
        return item;
    };

    mnufile = menuBar()->addMenu(QStringLiteral("&File"));
    mnufile->setObjectName(QStringLiteral("mnufile"));
    mnunew = action(
        mnufile, "mnunew", QStringLiteral("&New Site"), QKeySequence(Qt::CTRL | Qt::Key_N));
    ksjdfn = separator(mnufile, "ksjdfn");
    mnuexit = action(mnufile, "mnuexit", QStringLiteral("&Exit Tidewell"));

    mnusites = menuBar()->addMenu(QStringLiteral("&Sites"));
    mnusites->setObjectName(QStringLiteral("mnusites"));
    mnupause
        = action(mnusites, "mnupause", QStringLiteral("Pause Download"), QKeySequence(Qt::Key_F4));
    mnupause->setEnabled(false);
    jksdf = separator(mnusites, "jksdf");
    mnuexplore = action(
        mnusites, "mnuexplore", QStringLiteral("&Explore..."), QKeySequence(Qt::CTRL | Qt::Key_E));
    dfgdg = separator(mnusites, "dfgdg");
    mnupref = action(mnusites, "mnupref", QStringLiteral("&Preferences..."));

    mnuhelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuhelp->setObjectName(QStringLiteral("mnuhelp"));
    mnuabout = action(mnuhelp, "mnuabout", QStringLiteral("&About"), QKeySequence(Qt::Key_F1));

    connect(mnunew, &QAction::triggered, this, &frmMain::mnunew_Click);
    connect(mnuexit, &QAction::triggered, this, &QWidget::close);
    connect(mnupause, &QAction::triggered, this, &frmMain::mnupause_Click);
    connect(mnuexplore, &QAction::triggered, this, &frmMain::mnuexplore_Click);
    connect(mnupref, &QAction::triggered, this, &frmMain::mnunew_Click);
    connect(mnuabout, &QAction::triggered, this, &frmMain::mnuabout_Click);
}

void frmMain::Load()
{
    MakeRows();
    FillConnectionCounts();
    MakeDirectory(FileSystem::ProgramDirectory() + "\\dldata", m_engine.Job());
    wizardPending = true;
}

void frmMain::MakeRows()
{
    const ConnectionRow *above = &*m_rowTemplate;
    for (std::optional<ConnectionRow> &row : m_rows) {
        row = m_rowTemplate->CopyFor(static_cast<int>(&row - m_rows.data()) + 1, *above);
        row->Show();
        above = &*row;
    }
    // The status texts are wider than the template row: they run on to the right-hand strip.
    for (std::optional<ConnectionRow> &row : m_rows)
        row->FitStatus(*m_rowTemplate, Picture3->x());
    Picture3->raise();
}

void frmMain::DeleteRows()
{
    for (std::optional<ConnectionRow> &row : m_rows) {
        if (row)
            row->Delete();
        row.reset();
    }
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
    mnupause->setEnabled(false);
    SetRunning(m_engine.IsRunning());
    if (isMaximized() || isMinimized())
        showNormal();
    resize(Px(kClientWidth), Px(kClientHeight) + menuBar()->sizeHint().height());
    if (isVisible())
        CentreOnScreen();
    Load();
    ApplyResizeRules();
}

void frmMain::CentreOnScreen()
{
    const QScreen *target = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!target)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(target->availableGeometry().center());
    move(frame.topLeft());
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
    mnupause->setEnabled(true);
}

void frmMain::StartJob(const QString &url)
{
    Text1->setText(url);
    ConnectNowNow();
}

void frmMain::AskStop()
{
    if (!AnswerIsYes(this, QStringLiteral("Stop Download"),
            QStringLiteral("Are you sure you want to cancel downloading the current website?")))
        return;
    m_engine.StopNOW();
    justRefreshing = true;
    // The wizard comes back only once the stop has been reported, so that a job started from it
    // keeps its own status line and pause item.
    m_wizardOpen = true;
    Refresh();
    QCoreApplication::processEvents();
    Label6->setText(QStringLiteral("Operation Cancelled."));
    mnupause->setEnabled(false);
    m_wizardOpen = false;
    QMetaObject::invokeMethod(this, &frmMain::ShowPendingWizard, Qt::QueuedConnection);
}

void frmMain::UpdateStats()
{
    const SiteJob &job = m_engine.Job();
    Label5->setText(QString::number(m_engine.Queue().Count()) + QStringLiteral(" Files"));
    Label3->setText(
        FromLocalText(FormatThousands(std::to_string(job.aFiles))) + QStringLiteral(" Files"));
    Label4->setText(
        FromLocalText(FormatThousands(std::to_string(job.aBytes))) + QStringLiteral(" Bytes"));
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

void frmMain::ApplyResizeRules()
{
    const QRect frame = frameGeometry();
    m_laidOutFrame = frame.size();
    const int W = Twips(frame.width());
    const int H = Twips(frame.height());

    SetWidth(Picture1, W - 360 - WidthOf(txtMax) - 120);
    SetWidth(List1, W - 360);
    SetLeft(txtMax, LeftOf(Picture1) + WidthOf(Picture1) + 120);
    SetLeft(Label7, LeftOf(txtMax));
    SetHeight(List1, H - 2280 - HeightOf(Picture1) - 480);
    SetWidth(Text1, W - WidthOf(Picture2) - 1440);
    SetLeft(Picture2, LeftOf(Text1) + WidthOf(Text1) + 120);
    SetTop(Label6, TopOf(List1) + HeightOf(List1) + 40);
    SetLeft(Picture3, WidthOf(Picture1) - WidthOf(Picture3));

    for (std::optional<ConnectionRow> &row : m_rows) {
        if (row)
            row->FitStatus(*m_rowTemplate, Picture3->x());
    }
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

void frmMain::OnSiteCompleted()
{
    // The scheduler, whose ticks refresh the counters, has stopped: show the final figures.
    UpdateStats();
    const std::int64_t failures = m_engine.Job().aFailures;
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
    Label6->setText(
        FailureCount(m_engine.Job().aFailures) + QStringLiteral(", the last: ") + m_lastFailure);
}

void frmMain::OnSiteFailed(const Failure &failure)
{
    const QString reason = FailureText(failure);
    Label6->setText(QStringLiteral("Site not downloaded: ") + reason);
    UpdateStats();
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
