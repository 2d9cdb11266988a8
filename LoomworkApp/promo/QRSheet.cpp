#include "promo/QRSheet.h"

#include <algorithm>

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "online/PromoImageCache.h"
#include "ui/BusySpinner.h"
#include "ui/DialogWindow.h"
#include "ui/DialogWindowController.h"
#include "ui/Appearance.h"
#include "ui/Theme.h"
#include "promo/PromoImageLayout.h"
#include "promo/PromoStyle.h"

namespace {

constexpr qreal kPlateRadius = 12;

QLabel* plainLabel(const QString& text, const QFont& font, QColor (*color)(), QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter);
    label->setWordWrap(true);
    followColour(label, QPalette::WindowText, color);
    return label;
}

} // namespace

// The white rounded plate with the picture, or a spinner until it is there.
class QRSheet::Plate : public QWidget
{
public:
    explicit Plate(QWidget* parent) : QWidget(parent), m_spinner(new BusySpinner(BusySpinner::Size::regular, this)) {}

    void setImage(const QImage& image)
    {
        m_image = image;
        m_spinner->setVisible(image.isNull());
        update();
    }

protected:
    void resizeEvent(QResizeEvent*) override
    {
        m_spinner->move((width() - m_spinner->width()) / 2, (height() - m_spinner->height()) / 2);
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        const QRectF r(rect());
        p.setPen(Qt::NoPen);
        p.setBrush(PromoStyle::picturePlate());
        p.drawRoundedRect(r, kPlateRadius, kPlateRadius);
        if (!m_image.isNull()) {
            const QSizeF fitted = QSizeF(m_image.size()).scaled(r.size(), Qt::KeepAspectRatio);
            p.drawImage(QRectF(r.center() - QPointF(fitted.width() / 2, fitted.height() / 2), fitted), m_image);
        }
        p.setPen(QPen(Theme::cardStroke(), 0.5));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(0.25, 0.25, -0.25, -0.25), kPlateRadius, kPlateRadius);
    }

private:
    BusySpinner* m_spinner;
    QImage m_image;
};

QRSheet::QRSheet(const PromoCard& card, QSize limit, QSize imageSize, QWidget* parent)
    : QWidget(parent), m_card(card), m_limit(limit), m_imageSize(imageSize)
{
    m_layout = new QVBoxLayout(this);
    m_layout->setSpacing(12);
    auto* text = new QVBoxLayout;
    text->setSpacing(3);
    auto* title = plainLabel(PromoStyle::displayCut(card.title, 300), Theme::headingFont(), &Theme::textPrimary, this);
    text->addWidget(title);
    if (card.subtitle && !card.subtitle->isEmpty()) {
        m_subtitle = plainLabel(PromoStyle::displayCut(*card.subtitle, 1000), Theme::captionFont(), &Theme::textSecondary, this);
        text->addWidget(m_subtitle, 0, Qt::AlignHCenter);
    }
    m_layout->addLayout(text);
    m_plate = new Plate(this);
    m_layout->addWidget(m_plate, 0, Qt::AlignHCenter);
    m_layout->addStretch(1);
    applySize();
}

void QRSheet::applySize()
{
    const int width = PromoImageLayout::dialogWidth(m_imageSize, m_limit);
    m_layout->setContentsMargins(PromoImageLayout::kSidePadding, PromoImageLayout::kTopPadding,
                                 PromoImageLayout::kSidePadding, PromoImageLayout::bottomPad(m_imageSize, m_limit));
    m_plate->setFixedSize(m_imageSize);
    if (m_subtitle)
        m_subtitle->setMaximumWidth(width - 2 * PromoImageLayout::kSidePadding);
    setFixedWidth(width);
}

void QRSheet::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_loadStarted)
        return;
    m_loadStarted = true;
    const auto address = m_card.imageAddress();
    if (!address || address->isEmpty())
        return;
    PromoImageCache::shared().load(*address, this, [this](const PromoImage& picture) {
        if (!picture.isNull())
            pictureArrived(picture.image, picture.size);
    });
}

void QRSheet::pictureArrived(const QImage& image, const QSize& naturalSize)
{
    m_image = image;
    m_imageSize = PromoImageLayout::imageSize(naturalSize, m_limit);
    m_plate->setImage(image);
    applySize();
    const int width = PromoImageLayout::dialogWidth(m_imageSize, m_limit);
    const int height = PromoImageLayout::dialogHeight(m_imageSize, m_limit);
    // Only this sheet's own dialog is resized, never a later one under the same id.
    DialogWindowController& dialogs = DialogWindowController::shared();
    if (QWidget* own = window(); own && dialogs.window(kDialogId) == own)
        dialogs.resize(kDialogId, QSize(width, std::min(height, m_limit.height())), false, m_limit);
    emit imageLoaded();
}
