#pragma once

#include <QObject>

// True while at least one dimming dialog is open; the root view dims the main window.
class DimState : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool active READ active NOTIFY activeChanged)
public:
    static DimState& shared();

    bool active() const { return m_active; }
    void setActive(bool active);

signals:
    void activeChanged(bool active);

private:
    DimState() = default;
    bool m_active = false;
};
