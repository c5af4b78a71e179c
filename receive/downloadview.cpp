#include "receive/downloadview.h"

DownloadView::DownloadView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("DownloadView"));
}

void DownloadView::startSession()
{
    active = true;
}
