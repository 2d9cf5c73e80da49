#pragma once

// The New Site Wizard: start URL, download directory, wanted file types and the timeout of one
// fetch. The URL, the directory and the timeout are kept in the settings store as they change;
// the file types are written to the list file when the wizard is left through its buttons.

#include <QDialog>

#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace tw {

class Engine;
class frmMain;

// Whether a copy fetches everything its pages need whatever the file types, as last chosen in the
// wizard (at first it does).
bool PagePartsChosen();

class frmNew final : public QDialog
{
    Q_OBJECT

public:
    frmNew(Engine &engine, frmMain &main);

    // Makes the folder in the directory box, in the form ".../" (native separators on screen), the
    // job's output directory and creates it; false, with the box as typed and nothing created,
    // when the cleaning of stored names would change the folder.
    bool SetToInDIR();
    // Writes the list as shown to the file-type list file.
    void SaveFileTypes();
    // Resets the list to the default file types and writes the file at once.
    void MakeFileTypesFile();

    // Every way out of the wizard ends here: the chosen timeout is stored and given to all slots.
    void done(int result) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void CreateControls();
    void FillFileTypes();
    void ShowFileTypes(const std::vector<std::string> &entries);
    std::vector<std::string> FileTypeEntries() const;
    bool LeaveWithDirectory();
    void ShowInvalidDirectory();
    void ShowUncleanDirectory();
    // The folder in the directory box, in the form ".../".
    std::string TypedDirectory() const;

    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();
    void ShowAdvanced(bool shown);
    // Hands the name and password of the advanced part to the job.
    void KeepLogin();

    Engine &m_engine;
    frmMain &m_main;
    bool m_closed = false;

    QLabel *Label1 = nullptr; // "Website to Download"
    QLineEdit *txtURL = nullptr; // the start URL
    QLabel *Label4 = nullptr; // "Save to this Directory"
    QLineEdit *txtDir = nullptr; // the download folder, in the system's own form
    QLabel *Label3 = nullptr; // "Get These File Types"
    QListWidget *List1 = nullptr; // the wanted extensions
    QPushButton *Command3 = nullptr; // Add an extension
    QPushButton *Command4 = nullptr; // Del the selected one
    QPushButton *Command5 = nullptr; // Set to Default
    QCheckBox *chkParts = nullptr; // fetch each page's own parts whatever the file types
    QLabel *Label5 = nullptr; // "Timeout"
    QListWidget *List2 = nullptr; // the timeout of one fetch, in seconds
    QLabel *Label6 = nullptr; // "Seconds"
    QLabel *Label8 = nullptr; // the advice on a folder used before
    QLabel *Label7 = nullptr; // the advice on the connection count
    QPushButton *Command1 = nullptr; // "Download Website Now!": starts the job
    QPushButton *Command2 = nullptr; // Close
    QPushButton *cmdAdvanced = nullptr; // shows or hides the advanced part
    QWidget *fraAdvanced = nullptr; // the advanced part: a name and password for the site
    QLineEdit *txtUser = nullptr;
    QLineEdit *txtPassword = nullptr; // kept in memory for the copy alone
};

} // namespace tw
