#ifndef UPLOADVIEW_H
#define UPLOADVIEW_H

#include <QWidget>

// The send view. For now it only takes part in the window's view switching.
class UploadView : public QWidget
{
    Q_OBJECT

public:
    explicit UploadView(QWidget *parent = nullptr);

    void startSession();
    bool sessionActive() const { return active; }

signals:
    void changeView(QString viewName);

private:
    bool active = false;
};

#endif // UPLOADVIEW_H
