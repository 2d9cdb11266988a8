#include "account/SettingsPieces.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

namespace SettingsPieces {

namespace {

constexpr int kPaneSide = 24;
constexpr int kPaneTop = 20;
constexpr int kPaneBottom = 18;
constexpr qreal kNoteRadius = 8;
constexpr qreal kNoteOpacity = 0.045;
constexpr qreal kBulbPoints = 11;

class NotePanel final : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), kNoteRadius, kNoteRadius);
        p.fillPath(path, Theme::ink(kNoteOpacity));
    }
};

} // namespace

ToneLabel::ToneLabel(const QString& text, std::function<QFont()> font, ColorFn tone, QWidget* parent)
    : QLabel(parent)
    , m_font(std::move(font))
    , m_tone(std::move(tone))
{
    setTextFormat(Qt::PlainText);
    setText(text);
    restyle();
}

void ToneLabel::setTone(ColorFn tone)
{
    m_tone = std::move(tone);
    restyle();
}

void ToneLabel::restyle()
{
    m_restyling = true;
    setFont(m_font());
    QPalette p = palette();
    p.setColor(QPalette::WindowText, m_tone());
    setPalette(p);
    m_restyling = false;
}

void ToneLabel::changeEvent(QEvent* event)
{
    // The application palette changed (light/dark): the theme colours are read again.
    const auto type = event->type();
    if ((type == QEvent::PaletteChange || type == QEvent::ApplicationPaletteChange) && !m_restyling)
        restyle();
    QLabel::changeEvent(event);
}

TintedButton::TintedButton(const QString& text, ColorFn tone, QWidget* parent)
    : QPushButton(text, parent)
    , m_tone(std::move(tone))
{
    setAutoDefault(false);
    restyle();
}

void TintedButton::restyle()
{
    m_restyling = true;
    QPalette p = palette();
    p.setColor(QPalette::ButtonText, m_tone());
    p.setColor(QPalette::Disabled, QPalette::ButtonText, Theme::alpha(m_tone(), 0.4));
    setPalette(p);
    m_restyling = false;
}

void TintedButton::changeEvent(QEvent* event)
{
    const auto type = event->type();
    if ((type == QEvent::PaletteChange || type == QEvent::ApplicationPaletteChange) && !m_restyling)
        restyle();
    QPushButton::changeEvent(event);
}

SymbolView::SymbolView(const QString& symbol, qreal points, ColorFn tone, QSize box, QWidget* parent)
    : QWidget(parent)
    , m_symbol(symbol)
    , m_points(points)
    , m_tone(std::move(tone))
{
    setFixedSize(box);
}

void SymbolView::setSymbol(const QString& symbol)
{
    m_symbol = symbol;
    update();
}

void SymbolView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    SymbolIcon::paint(p, QRectF(rect()), m_symbol, m_tone(), m_points);
}

DotView::DotView(int diameter, ColorFn fill, QWidget* parent)
    : QWidget(parent)
    , m_fill(std::move(fill))
{
    setFixedSize(diameter, diameter);
}

void DotView::setFill(ColorFn fill)
{
    m_fill = std::move(fill);
    update();
}

void DotView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(m_fill());
    p.drawEllipse(QRectF(rect()));
}

QWidget* paneHeader(const QString& title, const QString& subtitle)
{
    auto* header = new QWidget;
    auto* column = new QVBoxLayout(header);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new ToneLabel(title, &Theme::headingFont, &Theme::textPrimary));
    auto* sub = new ToneLabel(subtitle, &Theme::captionFont, &Theme::textSecondary);
    sub->setWordWrap(true);
    column->addWidget(sub);
    return header;
}

QWidget* infoNote(const QString& text)
{
    auto* note = new NotePanel;
    auto* row = new QHBoxLayout(note);
    row->setContentsMargins(11, 9, 11, 9);
    row->setSpacing(7);
    auto* bulb = new SymbolView(QStringLiteral("lightbulb.fill"), kBulbPoints, &Theme::accent, QSize(14, 14));
    bulb->setContentsMargins(0, 1, 0, 0);
    auto* bulbColumn = new QVBoxLayout;
    bulbColumn->setContentsMargins(0, 1, 0, 0);
    bulbColumn->addWidget(bulb);
    bulbColumn->addStretch(1);
    row->addLayout(bulbColumn);
    auto* label = new ToneLabel(text, &Theme::captionFont, &Theme::textSecondary);
    label->setWordWrap(true);
    row->addWidget(label, 1);
    return note;
}

void applyPaneMargins(QBoxLayout* layout)
{
    layout->setContentsMargins(kPaneSide, kPaneTop, kPaneSide, kPaneBottom);
}

} // namespace SettingsPieces
