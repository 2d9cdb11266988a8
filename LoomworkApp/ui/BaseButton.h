#pragma once

#include <QAbstractButton>

// The base of every button the views paint themselves. It owns the hover, press and
// disabled state and calls one hook, onStateChanged(), whenever any of them changes (the
// default repaints); concrete buttons only paint from state().
class BaseButton : public QAbstractButton
{
    Q_OBJECT
public:
    struct State {
        bool over = false;     // the pointer is on the button
        bool down = false;     // pressed and not yet released
        bool disabled = false;
        bool operator==(const State&) const = default;
    };

    explicit BaseButton(QWidget* parent = nullptr);

    State state() const;
    bool isOver() const { return m_over; }

protected:
    // After any change of state(); `previous` is the state before it.
    virtual void onStateChanged(State previous);

    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void setOver(bool over);
    void notify(State previous);

    bool m_over = false;
    State m_last;
};
