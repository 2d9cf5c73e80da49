// The main window's controls, menus and rows, and the rules that lay them out for the window's
// outer size.

#include "forms/frmmain.h"

#include "crawl/engine.h"
#include "forms/pictures.h"
#include "forms/twips.h"
#include "output/settings.h"
#include "render/renderers.h"

#include <QAction>
#include <QActionGroup>
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

} // namespace

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
    auto action = [](QMenu *menu, const char *name, const QString &caption,
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
    separator(mnufile, "ksjdfn");
    mnuexit = action(mnufile, "mnuexit", QStringLiteral("&Exit Tidewell"));

    mnusites = menuBar()->addMenu(QStringLiteral("&Sites"));
    mnusites->setObjectName(QStringLiteral("mnusites"));
    mnupause
        = action(mnusites, "mnupause", QStringLiteral("Pause Download"), QKeySequence(Qt::Key_F4));
    mnupause->setEnabled(false);
    separator(mnusites, "jksdf");
    mnuexplore = action(
        mnusites, "mnuexplore", QStringLiteral("&Explore..."), QKeySequence(Qt::CTRL | Qt::Key_E));
    mnuupdate = action(mnusites, "mnuupdate", QStringLiteral("&Update Website"));
    mnureport = action(mnusites, "mnureport", QStringLiteral("View Copy &Report"));
    mnureport->setEnabled(false);
    mnulogin = action(mnusites, "mnulogin", QStringLiteral("&Log In to Website..."));
    separator(mnusites, "dfgdg");
    // A checkable entry for a choice of the job that the settings store keeps under key.
    auto remembered = [&](const char *name, const QString &caption, const QString &key,
                          bool byDefault, bool SiteJob::*choice) {
        QAction *item = action(mnusites, name, caption);
        item->setCheckable(true);
        item->setChecked(ReadSetting(key, QString::number(int(byDefault))) == u'1');
        m_engine.Job().*choice = item->isChecked();
        connect(item, &QAction::toggled, this, [this, key, choice](bool on) {
            m_engine.Job().*choice = on;
            WriteSetting(key, QString::number(int(on)));
        });
        return item;
    };
    mnuquerypages = remembered("mnuquerypages", QStringLiteral("Follow Pages with a &Query"),
        QStringLiteral("QueryPages"), false, &SiteJob::queryPages);
    mnuotherhosts
        = remembered("mnuotherhosts", QStringLiteral("Copy Embedded Files from &Other Hosts"),
            QStringLiteral("OtherHosts"), true, &SiteJob::otherHosts);
    mnukeepalive = remembered("mnukeepalive", QStringLiteral("&Keep Connections Alive"),
        QStringLiteral("KeepAlive"), false, &SiteJob::keepAlive);
    mnuhttp2 = remembered("mnuhttp2", QStringLiteral("Ask Secure Sites for &HTTP/2"),
        QStringLiteral("Http2"), true, &SiteJob::http2);
    mnurobots = remembered("mnurobots", QStringLiteral("Obey &robots.txt"),
        QStringLiteral("Robots"), true, &SiteJob::robots);
    MakeRenderMenu();
    mnupref = action(mnusites, "mnupref", QStringLiteral("&Preferences..."));

    mnuhelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuhelp->setObjectName(QStringLiteral("mnuhelp"));
    mnuabout = action(mnuhelp, "mnuabout", QStringLiteral("&About"), QKeySequence(Qt::Key_F1));

    connect(mnunew, &QAction::triggered, this, &frmMain::mnunew_Click);
    connect(mnuexit, &QAction::triggered, this, &QWidget::close);
    connect(mnupause, &QAction::triggered, this, &frmMain::mnupause_Click);
    connect(mnuexplore, &QAction::triggered, this, &frmMain::mnuexplore_Click);
    connect(mnuupdate, &QAction::triggered, this, [this] { TakeUp(TakeUp::Update); });
    connect(mnureport, &QAction::triggered, this,
        [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(m_reportPath)); });
    connect(mnupref, &QAction::triggered, this, &frmMain::mnunew_Click);
    connect(mnulogin, &QAction::triggered, this, &frmMain::mnulogin_Click);
    connect(mnuabout, &QAction::triggered, this, &frmMain::mnuabout_Click);
}

void frmMain::MakeRenderMenu()
{
    mnurender = mnusites->addMenu(QStringLiteral("Render Pages Drawn by &Scripts"));
    mnurender->setObjectName(QStringLiteral("mnurender"));
    auto *choices = new QActionGroup(mnurender);
    const QString key = QStringLiteral("Render");
    const JobSettings::Render chosen
        = RenderNamed(ReadSetting(key, NameOfRender(JobSettings::Render::Auto)))
              .value_or(JobSettings::Render::Auto);
    m_engine.Job().render = chosen;
    m_engine.SetRendererProgram(RendererProgram());
    const std::pair<QString, JobSettings::Render> entries[]
        = {{QStringLiteral("&When a Page Is Drawn by Its Scripts"), JobSettings::Render::Auto},
            {QStringLiteral("&Always"), JobSettings::Render::Always},
            {QStringLiteral("&Never"), JobSettings::Render::Never}};
    for (const auto &entry : entries) {
        const JobSettings::Render render = entry.second;
        QAction *item = mnurender->addAction(entry.first);
        item->setObjectName(QStringLiteral("mnurender") + NameOfRender(render));
        item->setCheckable(true);
        item->setChecked(render == chosen);
        choices->addAction(item);
        connect(item, &QAction::triggered, this, [this, key, render] {
            m_engine.Job().render = render;
            WriteSetting(key, NameOfRender(render));
        });
    }
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

void frmMain::ResizeToNormal()
{
    resize(Px(kClientWidth), Px(kClientHeight) + menuBar()->sizeHint().height());
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

} // namespace tw
