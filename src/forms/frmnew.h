#pragma once

// The New Site Wizard: start URL, download directory, wanted file types and the timeout of one
// fetch. The URL, the directory and the timeout are kept in the settings store as they change;
// the file types are written to the list file when the wizard is left through its buttons.

#include <QDialog>

#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace tw {

class Engine;
class frmMain;

class frmNew final : public QDialog
{
    Q_OBJECT

public:
    frmNew(Engine &engine, frmMain &main);

    // Cleans the directory box into the form "...\" (native separators on screen), makes it the
    // job's output directory and creates it.
    void SetToInDIR();
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

    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();

    Engine &m_engine;
    frmMain &m_main;
    bool m_closed = false;

    QLabel *Label1 = nullptr;
    QLineEdit *txtURL = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *txtDir = nullptr;
    QLabel *Label3 = nullptr;
    QListWidget *List1 = nullptr;
    QPushButton *Command3 = nullptr;
    QPushButton *Command4 = nullptr;
    QPushButton *Command5 = nullptr;
    QLabel *Label5 = nullptr;
    QListWidget *List2 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label8 = nullptr;
    QLabel *Label7 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
};

} // namespace tw
