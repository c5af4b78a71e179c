#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

#include <memory>

class DownloadView;
class MainView;
class SettingDialog;
class UploadView;

namespace Ui {
class MainWindow;
}

// The one top-level window: owns the three views and the settings dialog and shows one view at a
// time as its central widget.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    // A transfer that still runs is given up only when the user says so.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void changeView(QString viewName);
    void on_SettingAction_triggered();
    void on_action_QT_triggered();
    void on_action_triggered();

private:
    void detachViews();

    std::unique_ptr<Ui::MainWindow> ui;
    // The views are made without parent and live as long as the window; the one that is central
    // is also the window's child, so each is owned here and detached before the window goes.
    std::unique_ptr<MainView> mainView;
    std::unique_ptr<UploadView> uploadView;
    std::unique_ptr<DownloadView> downloadView;
    std::unique_ptr<SettingDialog> settingDialog;
};

#endif // MAINWINDOW_H
