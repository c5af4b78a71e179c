#ifndef MAINVIEW_H
#define MAINVIEW_H

#include <QWidget>

#include <memory>

namespace Ui {
class MainView;
}

// The home view: two picture buttons that ask the window for the send or the receive view.
class MainView : public QWidget
{
    Q_OBJECT

public:
    explicit MainView(QWidget *parent = nullptr);
    ~MainView() override;

signals:
    void changeView(QString viewName);

private slots:
    void on_RecvAction_triggered();
    void on_SendAction_triggered();

private:
    std::unique_ptr<Ui::MainView> ui;
};

#endif // MAINVIEW_H
