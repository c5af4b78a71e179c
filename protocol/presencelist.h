#ifndef PRESENCELIST_H
#define PRESENCELIST_H

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>

// The receivers a listener has heard, one per address, in the order first heard. Anyone on the
// network can send to the presence port, so a text counts only when the address it carries is
// the one it came from, the list is bounded, and a receiver that stops announcing goes.
// Not thread-safe; times are milliseconds of any steady clock.
class PresenceList
{
public:
    static constexpr int maxDatagramSize = 1024;
    static constexpr int maxEntries = 256;
    // Receivers announce once a second; five missed announcements mean it has gone.
    static constexpr qint64 expiryMs = 5000;

    // Takes in one datagram from `source`; true when the list changed.
    bool take(const QByteArray &datagram, const QHostAddress &source, qint64 nowMs);
    // Forgets the entries not heard for expiryMs; true when the list changed.
    bool expire(qint64 nowMs);
    void clear();

    // The presence texts ("name:address:receive"), in the order first heard.
    QStringList texts() const;

    // Dotted-decimal IPv4 in the form QHostAddress writes it, of a host that can be connected
    // to: no host names, no short or zero-padded forms, no wildcard, broadcast or multicast.
    static bool isHostIPv4(const QString &text);

private:
    struct Entry
    {
        QString address;
        QString text;
        qint64 lastHeard;
    };
    QVector<Entry> entries;
};

#endif // PRESENCELIST_H
