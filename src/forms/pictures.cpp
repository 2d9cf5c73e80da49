#include "forms/pictures.h"

#include <QPainter>
#include <QSvgRenderer>

namespace tw {

namespace {

QPixmap Render(const QString &resource, QSize size)
{
    QSvgRenderer renderer(resource);
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    renderer.render(&painter);
    return pixmap;
}

} // namespace

QPixmap StartPicture()
{
    return Render(QStringLiteral(":/forms/start.svg"), QSize(48, 42));
}

QPixmap StopPicture()
{
    return Render(QStringLiteral(":/forms/stop.svg"), QSize(48, 42));
}

QPixmap HttpPicture()
{
    return Render(QStringLiteral(":/forms/http.svg"), QSize(79, 24));
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (const int side : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(Render(QStringLiteral(":/forms/tidewell.svg"), QSize(side, side)));
    return icon;
}

} // namespace tw
