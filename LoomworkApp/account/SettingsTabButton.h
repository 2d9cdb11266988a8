#pragma once

#include "ui/BaseButton.h"
#include "account/SettingsTab.h"

// One tab of the settings window's bar: the tab's symbol over its title on a rounded
// highlight, brand-coloured when selected.
class SettingsTabButton : public BaseButton
{
    Q_OBJECT
public:
    static constexpr int kMinWidth = 58;
    static constexpr int kPadX = 8;
    static constexpr int kPadY = 4;
    static constexpr qreal kRadius = 8;
    static constexpr qreal kSymbolPoints = 17;
    static constexpr int kSymbolHeight = 19;
    static constexpr int kSpacing = 2;
    static constexpr qreal kTitlePoints = 11;

    explicit SettingsTabButton(SettingsTab tab, QWidget* parent = nullptr);

    SettingsTab tab() const { return m_tab; }
    bool isSelected() const { return m_selected; }
    void setSelected(bool selected);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QFont titleFont() const;

    SettingsTab m_tab;
    bool m_selected = false;
};
