#pragma once

#include <functional>

#include <QColor>
#include <QFont>
#include <QSizeF>
#include <QString>
#include <QWidget>

class QPainter;

// A short text on a filled capsule (a tag). The widget reads its colours when painting, so
// it follows the appearance; paint() draws the same capsule inside delegates.
class Chip : public QWidget
{
public:
    using ColorFn = std::function<QColor()>;
    static constexpr qreal kPadX = 5;
    static constexpr qreal kPadY = 1;

    Chip(const QString& text, const QFont& font, ColorFn textColor, ColorFn fill, QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const { return m_text; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    static QSizeF sizeFor(const QString& text, const QFont& font);
    static void paint(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
                      const QColor& textColor, const QColor& fill);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    QFont m_font;
    ColorFn m_textColor;
    ColorFn m_fill;
};
