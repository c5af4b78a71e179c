#include "receive/receivedlinks.h"

#include "receive/receivehtml.h"

#include <QBrush>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

QString ReceivedLinks::marker()
{
    return QStringLiteral("nubo-item:");
}

void ReceivedLinks::clear()
{
    firstOfBlock.clear();
    paths.clear();
}

void ReceivedLinks::append(QTextCursor *cursor, const QList<StoredEntry> &links,
                           const QBrush &colour)
{
    if (!cursor->document()->isEmpty())
        cursor->insertBlock(QTextBlockFormat(), QTextCharFormat());
    firstOfBlock.insert(cursor->blockNumber(), paths.size());
    QTextCharFormat link;
    link.setAnchor(true);
    link.setAnchorHref(marker());
    link.setForeground(colour);
    link.setFontUnderline(true);
    for (int i = 0; i < links.size(); ++i) {
        if (i > 0)
            cursor->insertText(QString(QChar::LineSeparator), QTextCharFormat());
        cursor->insertText(links.at(i).name, link);
        cursor->insertText(ReceiveHtml::clashText(links.at(i)), QTextCharFormat());
        paths << links.at(i).storedPath;
    }
}

QString ReceivedLinks::pathAt(const QTextDocument *document, int position) const
{
    const QTextBlock block = document->findBlock(position);
    const auto first = firstOfBlock.constFind(block.blockNumber());
    if (!block.isValid() || first == firstOfBlock.cend())
        return QString();
    // The links of a paragraph are its lines, in order.
    const int line =
        int(block.text().left(position - block.position()).count(QChar::LineSeparator));
    return paths.value(*first + line);
}
