#pragma once

#include <QPointer>
#include <QWidget>

class OperationsCenter;
class QLabel;
class QProgressBar;

// Covers its parent (the whole window) while the operations runner is busy: a dark veil
// that takes every click, key and shortcut, and a card with the runner's status text, a
// progress bar and the percentage. Hidden (and taking nothing) while the runner is idle.
class ProgressOverlay : public QWidget
{
    Q_OBJECT
public:
    ProgressOverlay(OperationsCenter* ops, QWidget* parent);

    // progress × 100 truncated, followed by "%".
    static QString percentText(double progress);

    QProgressBar* bar() const { return m_bar; }
    QLabel* statusLabel() const { return m_status; }
    QLabel* percentLabel() const { return m_percent; }

    static constexpr int kBarWidth = 240;
    static constexpr int kTextWidth = 260;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void changeEvent(QEvent* event) override;

private:
    class Card;
    void sync();
    void restyle();

    QPointer<OperationsCenter> m_ops;
    Card* m_card;
    QProgressBar* m_bar;
    QLabel* m_status;
    QLabel* m_percent;
};
