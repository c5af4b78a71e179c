#include "send/uploadview.h"

UploadView::UploadView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("UploadView"));
}

void UploadView::startSession()
{
    active = true;
}
