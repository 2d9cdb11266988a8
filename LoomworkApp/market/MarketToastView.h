#pragma once

#include <optional>

#include <QWidget>

#include "market/MarketToast.h"

// The market window's toast: the kind's symbol and the text in white on a rounded plate of
// the kind's colour with a soft shadow. It never takes clicks.
class MarketToastView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kShadowMargin = 14;

    explicit MarketToastView(QWidget* parent = nullptr);

    void setToast(const std::optional<MarketToast>& toast);
    const std::optional<MarketToast>& toast() const { return m_toast; }
    // Width available for the plate; longer texts are cut.
    void setMaximumPlateWidth(int width);
    QSize sizeHint() const override;

    static QColor colorFor(MarketToast::Kind kind);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<MarketToast> m_toast;
    int m_maxPlate = 600;
};
