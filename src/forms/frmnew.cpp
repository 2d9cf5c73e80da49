#include "forms/frmnew.h"

#include "common/pathform.h"
#include "common/stringops.h"
#include "common/textconversion.h"
#include "crawl/engine.h"
#include "forms/frmmain.h"
#include "forms/messagebox.h"
#include "forms/pictures.h"
#include "forms/twips.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/outputdirectory.h"
#include "output/placeholders.h"
#include "output/settings.h"
#include "report/failuretext.h"

#include <QCheckBox>
#include <QEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace tw {

namespace {

QLabel *Heading(QWidget *parent, const char *name, const QString &text)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(VerdanaFont(8.25, true));
    return label;
}

QLabel *Notice(QWidget *parent, const char *name, const QString &text)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(true);
    return label;
}

QPushButton *Button(QWidget *parent, const char *name, const QString &caption)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

} // namespace

namespace {

const QString kPagePartsKey = QStringLiteral("PageParts");

} // namespace

bool PagePartsChosen()
{
    return ReadSetting(kPagePartsKey, QStringLiteral("1")) == u'1';
}

frmNew::frmNew(Engine &engine, frmMain &main)
    : QDialog(&main,
        Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , m_engine(engine)
    , m_main(main)
{
    setObjectName(QStringLiteral("frmNew"));
    setWindowTitle(QStringLiteral("New Site Wizard"));
    setWindowIcon(ProgramIcon());
    setFont(VerdanaFont(8.25));
    setModal(true);
    CreateControls();

    connect(txtURL, &QLineEdit::textChanged, this,
        [](const QString &text) { WriteSetting(QStringLiteral("LastURL"), text); });
    connect(txtDir, &QLineEdit::textChanged, this,
        [](const QString &text) { WriteSetting(QStringLiteral("InDir"), text); });

    FillFileTypes();
    chkParts->setChecked(PagePartsChosen());
    connect(chkParts, &QCheckBox::toggled, this, [this](bool on) {
        WriteSetting(kPagePartsKey, QString::number(int(on)));
        m_engine.Job().pageParts = on;
    });
    txtURL->setText(ReadSetting(QStringLiteral("LastURL"), QStringLiteral("http://")));
    const QString defaultDir
        = FromLocalText(FileSystem::NativePath(FileSystem::DefaultDownloadDirectory()));
    txtDir->setText(ReadSetting(QStringLiteral("InDir"), defaultDir));

    const QString timeout = ReadSetting(QStringLiteral("Timeout"), QStringLiteral("20"));
    for (const char *seconds : {"5", "10", "20", "30", "45"})
        List2->addItem(QString::fromLatin1(seconds));
    const QList<QListWidgetItem *> matches = List2->findItems(timeout, Qt::MatchExactly);
    if (!matches.isEmpty())
        List2->setCurrentItem(matches.first());

    txtUser->setText(QString::fromStdString(m_engine.Job().user));
    txtPassword->setText(QString::fromStdString(m_engine.Job().password));
    cmdAdvanced->setChecked(!txtUser->text().isEmpty());
    ShowAdvanced(cmdAdvanced->isChecked());
    txtURL->setFocus();
}

void frmNew::CreateControls()
{
    auto *picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Image1"));
    picture->setPixmap(ProgramIcon().pixmap(48, 48));
    picture->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    picture->setFixedWidth(64);

    Label1 = Heading(this, "Label1", QStringLiteral("Website to Download"));
    txtURL = new QLineEdit(this);
    txtURL->setObjectName(QStringLiteral("txtURL"));
    txtURL->setText(QStringLiteral("http://"));
    Label4 = Heading(this, "Label4", QStringLiteral("Save to this Directory"));
    txtDir = new QLineEdit(this);
    txtDir->setObjectName(QStringLiteral("txtDir"));
    for (QLineEdit *box : {txtURL, txtDir})
        box->installEventFilter(this);

    auto *line = new QFrame(this);
    line->setObjectName(QStringLiteral("Line1"));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    Label3 = Heading(this, "Label3", QStringLiteral("Get These File Types"));
    List1 = new QListWidget(this);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    List1->setFixedSize(150, 132);
    Command3 = Button(this, "Command3", QStringLiteral("Add"));
    Command4 = Button(this, "Command4", QStringLiteral("Del"));
    Command5 = Button(this, "Command5", QStringLiteral("Set to Default"));
    chkParts = new QCheckBox(QStringLiteral("Get everything the pages need"), this);
    chkParts->setObjectName(QStringLiteral("chkParts"));

    Label5 = Heading(this, "Label5", QStringLiteral("Timeout"));
    List2 = new QListWidget(this);
    List2->setObjectName(QStringLiteral("List2"));
    List2->setSelectionMode(QAbstractItemView::SingleSelection);
    List2->setFixedSize(56, 92);
    Label6 = new QLabel(QStringLiteral("Seconds"), this);
    Label6->setObjectName(QStringLiteral("Label6"));

    Label8 = Notice(this, "Label8",
        QStringLiteral("If you have previously downloaded this website, make sure the "
                       "directory is different to last time, or the website may not be "
                       "downloaded correctly."));
    Label7 = Notice(this, "Label7",
        QStringLiteral("The number of multiple connections can be changed while the "
                       "website is downloading by clicking on a number in the 'Max' "
                       "list."));

    Command1 = Button(this, "Command1", QStringLiteral("Download Website Now!"));
    Command1->setFont(VerdanaFont(8.25, true));
    Command1->setDefault(true);
    Command2 = Button(this, "Command2", QStringLiteral("Close"));
    cmdAdvanced = Button(this, "cmdAdvanced", QStringLiteral("Advanced >>"));
    cmdAdvanced->setCheckable(true);

    fraAdvanced = new QWidget(this);
    fraAdvanced->setObjectName(QStringLiteral("fraAdvanced"));
    txtUser = new QLineEdit(fraAdvanced);
    txtUser->setObjectName(QStringLiteral("txtUser"));
    txtPassword = new QLineEdit(fraAdvanced);
    txtPassword->setObjectName(QStringLiteral("txtPassword"));
    txtPassword->setEchoMode(QLineEdit::Password);
    auto *login = new QGridLayout(fraAdvanced);
    login->setContentsMargins(0, 0, 0, 0);
    login->addWidget(
        Heading(fraAdvanced, "Label9", QStringLiteral("If the Website Asks for a Password")), 0, 0,
        1, 4);
    login->addWidget(new QLabel(QStringLiteral("User"), fraAdvanced), 1, 0);
    login->addWidget(txtUser, 1, 1);
    login->addWidget(new QLabel(QStringLiteral("Password"), fraAdvanced), 1, 2);
    login->addWidget(txtPassword, 1, 3);
    fraAdvanced->hide();

    auto *site = new QVBoxLayout;
    site->setSpacing(4);
    site->addWidget(Label1);
    site->addWidget(txtURL);
    site->addSpacing(6);
    site->addWidget(Label4);
    site->addWidget(txtDir);
    auto *top = new QHBoxLayout;
    top->addWidget(picture);
    top->addLayout(site, 1);

    auto *typeButtons = new QVBoxLayout;
    typeButtons->addWidget(Command3);
    typeButtons->addWidget(Command4);
    typeButtons->addWidget(Command5);
    typeButtons->addStretch(1);
    auto *timeoutRow = new QHBoxLayout;
    timeoutRow->addWidget(List2, 0, Qt::AlignTop);
    timeoutRow->addWidget(Label6, 0, Qt::AlignTop);
    timeoutRow->addStretch(1);

    auto *choices = new QGridLayout;
    choices->setHorizontalSpacing(8);
    choices->addWidget(Label3, 0, 0, 1, 2);
    choices->addWidget(List1, 1, 0);
    choices->addLayout(typeButtons, 1, 1);
    choices->addWidget(chkParts, 2, 0, 1, 2);
    choices->addWidget(Label5, 0, 3);
    choices->addLayout(timeoutRow, 1, 3);
    choices->setColumnMinimumWidth(2, 24);
    choices->setColumnStretch(2, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(cmdAdvanced);
    buttons->addStretch(1);
    buttons->addWidget(Command1);
    buttons->addWidget(Command2);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addLayout(top);
    layout->addSpacing(4);
    layout->addWidget(line);
    layout->addLayout(choices);
    layout->addSpacing(4);
    layout->addWidget(Label8);
    layout->addWidget(Label7);
    layout->addWidget(fraAdvanced);
    layout->addSpacing(4);
    layout->addLayout(buttons);

    connect(Command1, &QPushButton::clicked, this, &frmNew::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmNew::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &frmNew::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &frmNew::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &frmNew::Command5_Click);
    connect(cmdAdvanced, &QPushButton::toggled, this, &frmNew::ShowAdvanced);
}

void frmNew::KeepLogin()
{
    m_engine.Job().user = txtUser->text().toStdString();
    m_engine.Job().password = txtPassword->text().toStdString();
}

void frmNew::ShowAdvanced(bool shown)
{
    fraAdvanced->setVisible(shown);
    cmdAdvanced->setText(shown ? QStringLiteral("Advanced <<") : QStringLiteral("Advanced >>"));
    setFixedSize(Px(8070), sizeHint().height());
}

void frmNew::FillFileTypes()
{
    FileSystem::MakeDir(FileSystem::ProgramDirectory() + "/temp");
    if (!FileExists(FileTypeListPath())) {
        MakeFileTypesFile();
        return;
    }
    // A list file that exists but cannot be read leaves the defaults on screen, file untouched.
    const auto entries = ReadFileTypes();
    ShowFileTypes(entries ? *entries : DefaultFileTypes());
}

void frmNew::ShowFileTypes(const std::vector<std::string> &entries)
{
    List1->clear();
    for (const std::string &entry : entries)
        List1->addItem(FromLocalText(entry));
}

std::vector<std::string> frmNew::FileTypeEntries() const
{
    std::vector<std::string> entries;
    entries.reserve(static_cast<std::size_t>(List1->count()));
    for (int row = 0; row < List1->count(); ++row)
        entries.push_back(ToLocalText(List1->item(row)->text()));
    return entries;
}

void frmNew::SaveFileTypes()
{
    ::tw::SaveFileTypes(FileTypeEntries());
}

void frmNew::MakeFileTypesFile()
{
    std::vector<std::string> entries;
    ::tw::MakeFileTypesFile(entries);
    ShowFileTypes(entries);
}

std::string frmNew::TypedDirectory() const
{
    return OutputDirectoryOf(FileSystem::SystemPath(ToLocalText(txtDir->text())));
}

bool frmNew::SetToInDIR()
{
    const std::string dir = TypedDirectory();
    if (!SetOutputDirectory(dir, m_engine.Job(), m_engine.Writes()))
        return false;
    txtDir->setText(FromLocalText(FileSystem::NativePath(dir)));
    return true;
}

bool frmNew::LeaveWithDirectory()
{
    // An empty box would name the file system's root.
    if (txtDir->text().trimmed().isEmpty()) {
        ShowInvalidDirectory();
        return false;
    }
    if (!SetToInDIR()) {
        ShowUncleanDirectory();
        return false;
    }
    if (!DirectoryIsWritable(m_engine.Job().outputDir)) {
        ShowInvalidDirectory();
        return false;
    }
    SaveFileTypes();
    return true;
}

void frmNew::ShowInvalidDirectory()
{
    Answer(this, QStringLiteral("Eror"),
        QStringLiteral("That is an invalid directory. Check it has no invalid characters."),
        QMessageBox::Ok, QMessageBox::Critical);
}

void frmNew::ShowUncleanDirectory()
{
    Answer(this, QStringLiteral("Error"),
        QStringLiteral("That folder cannot be used as it is typed: %1. Choose another folder.")
            .arg(UncleanFolderText(TypedDirectory())),
        QMessageBox::Ok, QMessageBox::Critical);
}

void frmNew::Command1_Click()
{
    if (!AcceptStartUrl(this, txtURL->text()) || !LeaveWithDirectory())
        return;
    KeepLogin();
    m_main.StartJob(txtURL->text());
    accept();
}

void frmNew::Command2_Click()
{
    if (LeaveWithDirectory())
        accept();
}

void frmNew::Command3_Click()
{
    // Qt gives a window whose title is empty the program's name; a space shows nothing.
    const QString typed = QInputDialog::getText(
        this, QStringLiteral(" "), QStringLiteral("Enter a file extension (e.g. .html)"));
    const std::string extension = FileTypeEntry(ToLocalText(typed));
    if (extension.empty())
        return;
    const QString entry = FromLocalText(extension);
    if (entry.size() > 5) {
        Answer(this, QStringLiteral("Error"),
            QStringLiteral("That file extension is too long! (max 4 characters)"));
        return;
    }
    List1->addItem(entry);
}

void frmNew::Command4_Click()
{
    const QList<QListWidgetItem *> selected = List1->selectedItems();
    if (selected.isEmpty() || Trim(ToLocalText(selected.first()->text())).empty()) {
        Answer(this, QStringLiteral("Error"),
            QStringLiteral("You must select a list item to delete."));
        return;
    }
    QListWidgetItem *item = selected.first();
    const QString question
        = QStringLiteral("Are you sure you want to remove this list item?\r\n\r\n") + item->text();
    if (AnswerIsYes(this, QStringLiteral("Delete"), question))
        delete item;
}

void frmNew::Command5_Click()
{
    if (Answer(this, QStringLiteral("Default"),
            QStringLiteral("Are you sure you want to set the file types list to default?"),
            QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::No)
        MakeFileTypesFile();
}

void frmNew::done(int result)
{
    if (!m_closed) {
        m_closed = true;
        const QList<QListWidgetItem *> selected = List2->selectedItems();
        const QString timeout = selected.isEmpty()
            ? QString()
            : FromLocalText(Trim(ToLocalText(selected.first()->text())));
        WriteSetting(QStringLiteral("Timeout"), timeout);
        KeepLogin();
        if (!timeout.isEmpty()) {
            bool numeric = false;
            const int seconds = timeout.toInt(&numeric);
            m_engine.SetTimeoutInterval(
                numeric && seconds > 0 ? seconds * 1000 : kDefaultTimeoutMs);
        }
    }
    QDialog::done(result);
}

bool frmNew::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusIn) {
        if (auto *box = qobject_cast<QLineEdit *>(watched))
            QTimer::singleShot(0, box, &QLineEdit::selectAll);
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace tw
