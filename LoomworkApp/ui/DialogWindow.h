#pragma once

#include <functional>

#include <QPoint>
#include <QPointer>
#include <QWidget>

// An auxiliary window of the application (the market window, the QR dialog). Escape
// asks its cancel handler first, then closes.
class DialogWindow : public QWidget
{
    Q_OBJECT
public:
    explicit DialogWindow(QWidget* parent = nullptr);

    // Returns true when it handled Escape.
    std::function<bool()> cancelHandler;

    // Keeps this window over `host` as the host moves.
    void followHost(QWidget* host);

    // The Escape action.
    void cancelOperation();

signals:
    void aboutToClose(DialogWindow* window);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> m_host;
    QPoint m_hostPos;
};
