#include "forms/messagebox.h"

#include "common/textconversion.h"
#include "transport/siteaddress.h"

namespace tw {

int Answer(QWidget *parent, const QString &title, const QString &text,
    QMessageBox::StandardButtons buttons, QMessageBox::Icon icon)
{
    QMessageBox box(icon, title, text, buttons, parent);
    return box.exec();
}

bool AcceptStartUrl(QWidget *parent, const QString &url)
{
    if (NamesAHost(ToNetworkText(url)))
        return true;
    Answer(parent, QStringLiteral("Error"),
        QStringLiteral("Enter the address of the website to download, such as http://example.com/"),
        QMessageBox::Ok, QMessageBox::Critical);
    return false;
}

bool AnswerIsYes(QWidget *parent, const QString &title, const QString &text)
{
    return Answer(parent, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

} // namespace tw
