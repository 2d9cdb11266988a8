#pragma once

#include <QString>

#include "ui/BaseButton.h"

class BusySpinner;

// Small pieces shared by the purchase and favourite rows.

// A plug-in's name as a button: one line, brand-coloured while the pointer is over it.
class MarketRowTitle : public BaseButton
{
    Q_OBJECT
public:
    explicit MarketRowTitle(QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool isHovered() const { return isOver(); }

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The rows' bordered small button: a symbol, or a spinner while busy, and a short text.
class MarketSmallButton : public BaseButton
{
    Q_OBJECT
public:
    MarketSmallButton(const QString& symbol, const QString& text, QWidget* parent = nullptr);
    void setSymbol(const QString& symbol);
    void setBusy(bool busy);
    bool isBusy() const { return m_busy; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_symbol;
    bool m_busy = false;
    BusySpinner* m_spinner;
};
