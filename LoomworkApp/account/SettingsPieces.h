#pragma once

#include <functional>

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

class QBoxLayout;

// Small views every settings pane uses: toned plain-text labels, the pane header, the
// info note and the two pane paddings. Colours are functions of the theme, read again
// whenever the appearance changes.
namespace SettingsPieces {

using ColorFn = std::function<QColor()>;

// Plain text (never markup) in `font` and the colour `tone` gives.
class ToneLabel : public QLabel
{
public:
    ToneLabel(const QString& text, std::function<QFont()> font, ColorFn tone, QWidget* parent = nullptr);
    void setTone(ColorFn tone);

protected:
    void changeEvent(QEvent* event) override;

private:
    void restyle();
    std::function<QFont()> m_font;
    ColorFn m_tone;
    bool m_restyling = false;
};

// A push button whose text takes the colour `tone` gives (a tinted or destructive
// button), again after every change of appearance.
class TintedButton : public QPushButton
{
public:
    TintedButton(const QString& text, ColorFn tone, QWidget* parent = nullptr);

protected:
    void changeEvent(QEvent* event) override;

private:
    void restyle();
    ColorFn m_tone;
    bool m_restyling = false;
};

// A symbol glyph drawn in `tone` at `points`.
class SymbolView : public QWidget
{
public:
    SymbolView(const QString& symbol, qreal points, ColorFn tone, QSize box, QWidget* parent = nullptr);
    void setSymbol(const QString& symbol);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_symbol;
    qreal m_points;
    ColorFn m_tone;
};

// A filled circle of `diameter`.
class DotView : public QWidget
{
public:
    DotView(int diameter, ColorFn fill, QWidget* parent = nullptr);
    void setFill(ColorFn fill);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ColorFn m_fill;
};

// Title in the heading font over a wrapping secondary subtitle.
QWidget* paneHeader(const QString& title, const QString& subtitle);
// The light bulb and a wrapping caption on a faint rounded panel.
QWidget* infoNote(const QString& text);
// Paddings of a pane: 24 at the sides, 20 at the top, 18 at the bottom.
void applyPaneMargins(QBoxLayout* layout);

} // namespace SettingsPieces
