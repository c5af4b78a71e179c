#include "protocol/transferplan.h"

#include "protocol/decimal.h"
#include "protocol/extendedprotocol.h"

QByteArray TransferPlan::toBytes() const
{
    QByteArray bytes;
    for (int i = 0; i < steps.size(); ++i) {
        const Step &step = steps.at(i);
        if (step.action == Skip)
            bytes += "S " + QByteArray::number(i) + '\n';
        else if (step.action == Resume)
            bytes += "R " + QByteArray::number(i) + ' ' + QByteArray::number(step.offset) + '\n';
    }
    return bytes;
}

bool TransferPlan::parse(const QByteArray &bytes, const Manifest &manifest, TransferPlan *plan)
{
    TransferPlan parsed(manifest.items.size());
    if (!bytes.isEmpty() && !bytes.endsWith('\n'))
        return false;
    qint64 previous = -1;
    int start = 0;
    while (start < bytes.size()) {
        const int end = bytes.indexOf('\n', start);
        if (end - start > maxLineBytes || end == start)
            return false;
        const QList<QByteArray> fields = bytes.mid(start, end - start).split(' ');
        start = end + 1;
        qint64 index = -1;
        if (fields.size() < 2 || !Decimal::parse(fields.at(1), &index) || index <= previous ||
            index >= manifest.items.size() || !manifest.items.at(int(index)).isFile)
            return false;
        previous = index;
        Step &step = parsed.steps[int(index)];
        if (fields.at(0) == "S" && fields.size() == 2) {
            step.action = Skip;
        } else if (fields.at(0) == "R" && fields.size() == 3) {
            step.action = Resume;
            if (!Decimal::parse(fields.at(2), &step.offset) || step.offset <= 0 ||
                step.offset >= manifest.items.at(int(index)).size ||
                step.offset % ExtendedProtocol::resumeStep != 0)
                return false;
        } else {
            return false;
        }
    }
    *plan = parsed;
    return true;
}

int TransferPlan::skippedFiles() const
{
    int count = 0;
    for (const Step &step : steps)
        count += step.action == Skip ? 1 : 0;
    return count;
}

qint64 TransferPlan::skippedBytes(const Manifest &manifest) const
{
    qint64 bytes = 0;
    for (int i = 0; i < steps.size() && i < manifest.items.size(); ++i) {
        if (steps.at(i).action == Skip)
            bytes += manifest.items.at(i).size;
    }
    return bytes;
}

qint64 TransferPlan::bytesToSend(const Manifest &manifest) const
{
    qint64 bytes = 0;
    for (int i = 0; i < steps.size() && i < manifest.items.size(); ++i) {
        const Manifest::Item &item = manifest.items.at(i);
        if (!item.isFile || steps.at(i).action == Skip)
            continue;
        bytes += item.size - (steps.at(i).action == Resume ? steps.at(i).offset : 0);
    }
    return bytes;
}
