#pragma once

#include <optional>

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

#include "ui/AvatarModel.h"

class RemoteImageLoader;

// The round picture of a user, `size` by `size`: the first character of the nickname on a
// colour of the name, else the server's picture scaled to fill the circle, else a person
// symbol (also while the picture loads and when it fails). Hidden from accessibility.
class UserAvatar : public QWidget
{
    Q_OBJECT
public:
    UserAvatar(const std::optional<QString>& nickName, const std::optional<QString>& avatarUrl,
               qreal size, QWidget* parent = nullptr);

    // Shows another member (or none); the picture is fetched again only for a new address.
    void setMember(const std::optional<QString>& nickName, const std::optional<QString>& avatarUrl);

    const AvatarModel& model() const { return m_model; }
    // The loaded picture; null until it has arrived (and whenever it is not to be shown).
    const QImage& picture() const { return m_picture; }
    bool isShowingPicture() const;

    // The colour of a name: brand, brandDeep, brandBright, teal or purple.
    static QColor tint(const std::optional<QString>& nickName);
    static QColor tintAt(int index);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void pictureArrived(const QImage& image);

    qreal m_size;
    AvatarModel m_model;
    RemoteImageLoader* m_loader;
    QImage m_picture;
};
