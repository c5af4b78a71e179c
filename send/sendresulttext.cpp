#include "send/sendresulttext.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("UploadView", text);
}

} // namespace

QString SendResultText::of(const SendResult &result, const QString &receiver)
{
    const QString &item = result.item;
    const QString &reason = result.reason;
    switch (result.outcome) {
    case SendResult::Refused:
        return reason.isEmpty() ? tr("对方拒绝接收！") : tr("对方拒绝接收：%1").arg(reason);
    case SendResult::Unanswered:
        return tr("对方未应答！");
    case SendResult::ConnectFailed:
        return tr("连接失败！无法连接到 %1，请确认对方已打开“接收”，并与本机在同一网络中。")
            .arg(receiver);
    case SendResult::NotEncrypted:
        return tr("无法与对方建立加密连接：%1").arg(reason);
    case SendResult::IdentityChanged:
        return tr("「%1」的身份与上次不同，已停止发送").arg(item);
    case SendResult::PairingDeclined:
        return tr("配对码不一致，已停止发送，未发送任何文件。");
    case SendResult::NotStored:
        return reason.isEmpty() ? tr("对方未能保存全部文件！")
                                : tr("对方未能保存全部文件：%1").arg(reason);
    case SendResult::SourceFailed:
        return result.sourceError == StreamSender::SourceChanged
                   ? tr("文件在发送时发生了变化，发送中断：%1").arg(item)
                   : tr("文件无法读取，发送中断：%1").arg(item);
    case SendResult::ListFailed:
        return listFailure(result.listError, item);
    case SendResult::Cancelled:
        return tr("已取消发送！");
    default:
        return tr("发送中断！连接已断开。");
    }
}

QString SendResultText::listFailure(SendPacker::Error error, const QString &item)
{
    switch (error) {
    case SendPacker::NoItems:
        return tr("没有可发送的文件或文件夹！");
    case SendPacker::InvalidName:
        return tr("名称含有换行、空字符或首尾空白，无法发送：%1").arg(item);
    case SendPacker::TooLarge:
        return tr("文件不能超过4GB，无法发送：%1（对方需要使用 NuboTransmission 才能接收 4GB "
                  "以上的文件）")
            .arg(item);
    case SendPacker::Unlistable:
        return tr("无法读取文件夹的内容，无法发送：%1").arg(item);
    case SendPacker::DuplicateName:
        return tr("有多个同名项目，对方只能保存其中一个，无法发送：%1").arg(item);
    case SendPacker::SourceUnreadable:
    default:
        return tr("无法读取，无法发送：%1").arg(item);
    }
}
