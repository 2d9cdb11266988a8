#pragma once

#include <QImage>
#include <QSize>
#include <QWidget>

#include "online/PromoCard.h"

class BusySpinner;
class QLabel;
class QVBoxLayout;

// The content of the "promo-qr" dialog: a card's title and subtitle over its picture on a
// white plate, with a spinner until the picture has loaded; then the dialog is resized to
// fit the picture within the limit box.
class QRSheet : public QWidget
{
    Q_OBJECT
public:
    static inline const QString kDialogId = QStringLiteral("promo-qr");

    QRSheet(const PromoCard& card, QSize limit, QSize imageSize, QWidget* parent = nullptr);

    QSize imageSize() const { return m_imageSize; }
    bool hasImage() const { return !m_image.isNull(); }
    const PromoCard& card() const { return m_card; }

signals:
    void imageLoaded();

protected:
    void showEvent(QShowEvent* event) override;

private:
    class Plate;

    void applySize();
    void pictureArrived(const QImage& image, const QSize& naturalSize);

    PromoCard m_card;
    QSize m_limit;
    QSize m_imageSize;
    QImage m_image;
    bool m_loadStarted = false;
    QVBoxLayout* m_layout = nullptr;
    QLabel* m_subtitle = nullptr;
    Plate* m_plate = nullptr;
};
