
#include <cmath>

#include <QPainter>
#include <QPainterPath>

#include "online/RemoteImageLoader.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "ui/UserAvatar.h"

UserAvatar::UserAvatar(const std::optional<QString>& nickName,
                       const std::optional<QString>& avatarUrl, qreal size, QWidget* parent)
    : QWidget(parent),
      m_size(size),
      m_model(std::nullopt, std::nullopt),
      m_loader(new RemoteImageLoader(this))
{
    const int side = int(std::ceil(size));
    setFixedSize(side, side);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(m_loader, &RemoteImageLoader::finished, this, &UserAvatar::pictureArrived);
    setMember(nickName, avatarUrl);
}

void UserAvatar::setMember(const std::optional<QString>& nickName,
                           const std::optional<QString>& avatarUrl)
{
    const QUrl previousUrl = m_model.pictureUrl();
    m_model = AvatarModel(nickName, avatarUrl);
    if (m_model.content() != AvatarModel::Content::picture) {
        m_loader->cancel();
        m_picture = QImage();
    } else if (m_model.pictureUrl() != previousUrl || (m_picture.isNull() && !m_loader->isLoading())) {
        m_picture = QImage();
        // Decoded no larger than the avatar is drawn, at up to three device pixels a point.
        RemoteImageLoader::Options options;
        const int side = int(std::ceil(m_size * 3));
        options.fitWithin = QSize(side, side);
        m_loader->load(m_model.pictureUrl(), options);
    }
    update();
}

bool UserAvatar::isShowingPicture() const
{
    return m_model.content() == AvatarModel::Content::picture && !m_picture.isNull();
}

QColor UserAvatar::tintAt(int index)
{
    return Theme::avatarBg(index);
}

QColor UserAvatar::tint(const std::optional<QString>& nickName)
{
    return tintAt(AvatarModel::tintIndex(nickName));
}

QSize UserAvatar::sizeHint() const
{
    return size();
}

void UserAvatar::pictureArrived(const QImage& image)
{
    // A failed picture leaves the placeholder in place.
    m_picture = image;
    update();
}

void UserAvatar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF frame(0, 0, m_size, m_size);
    QPainterPath circle;
    circle.addEllipse(frame);

    p.save();
    p.setClipPath(circle);
    if (m_model.content() == AvatarModel::Content::initial) {
        const QColor color = tintAt(m_model.tintIndex());
        p.fillPath(circle, Theme::alpha(color, 0.16));
        p.setFont(Theme::font(AvatarModel::initialPointSize(m_size), QFont::DemiBold));
        p.setPen(color);
        p.drawText(frame, Qt::AlignCenter | Qt::TextSingleLine, m_model.initial());
    } else if (isShowingPicture()) {
        // Fill the frame and let the circle crop what overflows.
        const QSizeF scaled = QSizeF(m_picture.size()).scaled(frame.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(frame.center().x() - scaled.width() / 2,
                            frame.center().y() - scaled.height() / 2, scaled.width(), scaled.height());
        p.drawImage(target, m_picture);
    } else {
        const QColor color = Theme::accent();
        p.fillPath(circle, Theme::alpha(color, 0.16));
        SymbolIcon::paint(p, frame, u"person.fill", color, AvatarModel::symbolPointSize(m_size));
    }
    p.restore();

    // The outline lies inside the edge.
    QPen pen(Theme::cardStroke(), 0.5);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(frame.adjusted(0.25, 0.25, -0.25, -0.25));
}
