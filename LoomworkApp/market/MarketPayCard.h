#pragma once

#include <QWidget>

#include "market/MarketPayModel.h"

class QButtonGroup;
class QLabel;
class QPushButton;
class QStackedWidget;
class QHBoxLayout;

// The card that sells one plug-in through a payment QR code (380 by 470).
class MarketPayCard : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 380;
    static constexpr int kHeight = 470;

    MarketPayCard(const MarketPlugin& plugin, MarketPayModel::Service service, QWidget* parent = nullptr);

    MarketPayModel& model() { return *m_model; }

signals:
    void cancelled();
    void paid();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();
    void rebuildPicker();

    MarketPayModel* m_model;
    QLabel* m_price;
    QStackedWidget* m_faces;
    QWidget* m_picker;
    QHBoxLayout* m_pickerRow;
    QButtonGroup* m_pickerGroup;
    QLabel* m_creating;
    QLabel* m_qr;
    QLabel* m_scan;
    QLabel* m_expiry;
    QLabel* m_failure;
    QPushButton* m_retry;
    QString m_pickerKeys;
};
