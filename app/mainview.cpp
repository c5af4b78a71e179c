#include "app/mainview.h"
#include "ui_mainview.h"

MainView::MainView(QWidget *parent) : QWidget(parent), ui(new Ui::MainView)
{
    ui->setupUi(this);
    ui->toolButtonS->setDefaultAction(ui->SendAction);
    ui->toolButtonR->setDefaultAction(ui->RecvAction);
    ui->horizontalLayout->setContentsMargins(10, 10, 10, 10);
    ui->horizontalLayout->setSpacing(10);
    setStyleSheet(QStringLiteral(
        "QToolButton{color:rgb(100,100,100);background:white;border:none}\n"
        "QToolButton:hover{color:rgb(0,0,255);border: 5px solid rgb(0,0,255)}"));
}

MainView::~MainView() = default;

void MainView::on_RecvAction_triggered()
{
    emit changeView(QStringLiteral("recv"));
}

void MainView::on_SendAction_triggered()
{
    emit changeView(QStringLiteral("send"));
}
