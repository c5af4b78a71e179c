#ifndef DOWNLOADVIEW_H
#define DOWNLOADVIEW_H

#include <QWidget>

// The receive view. For now it only takes part in the window's view switching.
class DownloadView : public QWidget
{
    Q_OBJECT

public:
    explicit DownloadView(QWidget *parent = nullptr);

    void startSession();
    bool sessionActive() const { return active; }

signals:
    void changeView(QString viewName);

private:
    bool active = false;
};

#endif // DOWNLOADVIEW_H
