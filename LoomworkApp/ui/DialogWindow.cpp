#include "ui/DialogWindow.h"

#include <QCloseEvent>
#include <QKeyEvent>

DialogWindow::DialogWindow(QWidget* parent) : QWidget(parent, Qt::Window) {}

void DialogWindow::followHost(QWidget* host)
{
    if (m_host)
        m_host->removeEventFilter(this);
    m_host = host;
    if (!host)
        return;
    m_hostPos = host->pos();
    host->installEventFilter(this);
}

void DialogWindow::cancelOperation()
{
    if (cancelHandler && cancelHandler())
        return;
    // A window-modal dialog is this platform's sheet: ending it is closing it.
    close();
}

void DialogWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cancelOperation();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void DialogWindow::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    if (event->isAccepted()) {
        if (m_host)
            m_host->removeEventFilter(this);
        emit aboutToClose(this);
    }
}

bool DialogWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_host && event->type() == QEvent::Move) {
        const QPoint now = m_host->pos();
        move(pos() + (now - m_hostPos));
        m_hostPos = now;
    }
    return QWidget::eventFilter(watched, event);
}
