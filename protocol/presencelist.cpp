#include "protocol/presencelist.h"

#include <algorithm>

bool PresenceList::take(const QByteArray &datagram, const QHostAddress &source, qint64 nowMs)
{
    if (datagram.size() > maxDatagramSize)
        return false;
    // The text ends at the first NUL, as a peer that sends a C string would mean it.
    const int nul = datagram.indexOf('\0');
    const QString text = QString::fromUtf8(nul >= 0 ? datagram.left(nul) : datagram);
    const QStringList fields = text.split(QLatin1Char(':'));
    if (fields.size() < 2)
        return false;
    const QString &address = fields.at(1);
    bool isIPv4 = false;
    const quint32 from = source.toIPv4Address(&isIPv4);
    if (!isIPv4 || !isHostIPv4(address) || QHostAddress(from).toString() != address)
        return false;

    const auto known = std::find_if(entries.begin(), entries.end(),
                                    [&](const Entry &entry) { return entry.address == address; });
    if (known != entries.end()) {
        known->lastHeard = nowMs;
        if (known->text == text)
            return false;
        known->text = text; // renamed
        return true;
    }
    // Full: the receivers already listed keep their places; a flood cannot push them out.
    if (entries.size() >= maxEntries)
        return false;
    entries.append({address, text, nowMs});
    return true;
}

bool PresenceList::expire(qint64 nowMs)
{
    const auto gone = std::remove_if(entries.begin(), entries.end(), [&](const Entry &entry) {
        return nowMs - entry.lastHeard >= expiryMs;
    });
    if (gone == entries.end())
        return false;
    entries.erase(gone, entries.end());
    return true;
}

void PresenceList::clear()
{
    entries.clear();
}

QStringList PresenceList::texts() const
{
    QStringList list;
    list.reserve(entries.size());
    for (const Entry &entry : entries)
        list.append(entry.text);
    return list;
}

bool PresenceList::isHostIPv4(const QString &text)
{
    QHostAddress address;
    if (!address.setAddress(text) || address.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    if (address.toString() != text)
        return false;
    return address != QHostAddress(QHostAddress::AnyIPv4) &&
           address != QHostAddress(QHostAddress::Broadcast) && !address.isMulticast();
}
