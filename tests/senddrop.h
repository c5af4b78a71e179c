#ifndef SENDDROP_H
#define SENDDROP_H

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QTextBrowser>
#include <QUrl>

// Helpers for the send view's tests: files to drop, synthetic drags and drops, what it shows.
namespace SendDrop {

inline bool makeFile(const QString &path, const QByteArray &data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QList<QUrl> fileUrls(const QStringList &paths)
{
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls << QUrl::fromLocalFile(path);
    return urls;
}

inline QMimeData *mimeWithUrls(const QList<QUrl> &urls)
{
    auto *mime = new QMimeData;
    if (urls.isEmpty())
        mime->setText("just text");
    else
        mime->setUrls(urls);
    return mime;
}

// True when the widget accepted the drag.
inline bool dragEnter(QWidget &target, const QList<QUrl> &urls)
{
    const std::unique_ptr<QMimeData> mime(mimeWithUrls(urls));
    QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, mime.get(),
                          Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &event);
    return event.isAccepted();
}

// Drags the entries onto the widget and, if it takes the drag, drops them; returns when the drop
// handler has returned. Qt delivers a drop only to the widget that accepted the drag.
inline bool drop(QWidget &target, const QList<QUrl> &urls)
{
    if (!dragEnter(target, urls))
        return false;
    const std::unique_ptr<QMimeData> mime(mimeWithUrls(urls));
    QDropEvent event(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, mime.get(), Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&target, &event);
    return true;
}

inline QString shownText(QWidget &view)
{
    return view.findChild<QTextBrowser *>("textBrowser")->toPlainText();
}

} // namespace SendDrop

#endif // SENDDROP_H
