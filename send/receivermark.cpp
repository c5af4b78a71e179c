#include "send/receivermark.h"

#include "records/knowndevices.h"
#include "security/fingerprint.h"

#include <QCoreApplication>

namespace {

QString translated(const char *source)
{
    return QCoreApplication::translate("ReceiverMark", source);
}

} // namespace

ReceiverMark::Kind ReceiverMark::of(bool extended, const Fingerprint &announced,
                                    const KnownDevices &known)
{
    if (!extended)
        return Unencrypted;
    return !announced.isNull() && known.find(announced) ? Verified : None;
}

QString ReceiverMark::text(Kind kind)
{
    switch (kind) {
    case Verified:
        return translated("  ✔ 已验证");
    case Unencrypted:
        return translated("  未加密");
    default:
        return QString();
    }
}

QString ReceiverMark::toolTip(Kind kind)
{
    switch (kind) {
    case Verified:
        return translated("对方宣告的指纹属于一台已配对的设备。");
    case Unencrypted:
        return translated("对方只支持普通传输：文件在网络上不加密。");
    default:
        return QString();
    }
}
