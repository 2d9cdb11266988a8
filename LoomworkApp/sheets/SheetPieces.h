#pragma once

#include <functional>

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QWidget>

#include "ui/BaseButton.h"

class QPainter;
class QHBoxLayout;

// Small views and drawing rules the operation sheets share: tags on capsules, filled
// rounded panels, the icon box and the radio cards. Colours are read when painting, so
// they follow a change of appearance.
namespace SheetPieces {

// A plain-text label in `font`; wrapping ones break inside their width.
QLabel* label(const QString& text, const QFont& font, bool wrap = false);
// Sets the label's text colour.
void tone(QLabel* label, const QColor& color);
// A label holding one symbol glyph.
QLabel* symbolLabel(const QString& symbol, qreal points);

// One line of plain text, cut where it does not fit (at the end, or in the middle).
class LineLabel : public QLabel
{
public:
    explicit LineLabel(const QString& text = {}, Qt::TextElideMode mode = Qt::ElideRight, QWidget* parent = nullptr);
    QSize minimumSizeHint() const override;
    // The text as drawn, cut to the label's width.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Qt::TextElideMode m_mode;
};

// A rounded rectangle of radius 9 filled with a colour; content goes in its layout.
class Panel : public QWidget
{
public:
    static constexpr qreal kRadius = 9;
    explicit Panel(std::function<QColor()> fill, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<QColor()> m_fill;
};

// A rounded box of radius 9 filled with the colour at 0.13, the symbol centred on it in
// 17 points of the colour.
class IconBox : public QWidget
{
public:
    IconBox(const QString& symbol, std::function<QColor()> color, QSize size, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_symbol;
    std::function<QColor()> m_color;
};

// A card with a radio symbol, a title row and a second line: the whole rectangle is one
// plain button without focus. Selected: the filled radio in the brand colour on
// Theme::selectionBg; disabled: the text dimmed, the card at 0.75, never selected-looking.
class RadioCard : public BaseButton
{
    Q_OBJECT
public:
    enum class DetailStyle {
        path,    // 11-point monospaced, one line, cut in the middle
        wrapping // Theme::tinyFont, as many lines as it needs
    };

    static constexpr qreal kDisabledOpacity = 0.75;

    RadioCard(const QString& title, DetailStyle detailStyle, QWidget* parent = nullptr);

    // The row holding the title; add a tag after it.
    QHBoxLayout* titleRow() const { return m_titleRow; }
    void setDetail(const QString& text);
    QString detail() const;
    void setSelected(bool selected);
    bool isSelected() const { return m_selected; }
    // Re-reads the colours (after a change of state or appearance).
    void restyle();

protected:
    void paintEvent(QPaintEvent* event) override;
    void onStateChanged(State previous) override;

private:
    QLabel* m_radio;
    QLabel* m_title;
    QLabel* m_detail;
    QHBoxLayout* m_titleRow;
    bool m_selected = false;
};

} // namespace SheetPieces
