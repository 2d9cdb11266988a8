#include "ui/SymbolIcon.h"

#include <algorithm>
#include <iterator>

#include <QApplication>
#include <QFontDatabase>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>

#include "ui/Theme.h"

namespace {

// Sorted by symbol name; see codepoint().
constexpr SymbolIcon::Entry kTable[] = {
    {"archivebox.fill", "archive", 0xe149},
    {"arrow.clockwise", "refresh", 0xe5d5},
    {"arrow.down.circle", "arrow_circle_down", 0xf181},
    {"arrow.down.circle.fill", "download_for_offline", 0xf000},
    {"arrow.down.to.line", "vertical_align_bottom", 0xe258},
    {"arrow.right", "arrow_forward", 0xe5c8},
    {"arrow.up.arrow.down.square", "swap_vert", 0xe8d5},
    {"arrow.up.right", "north_east", 0xf1e1},
    {"arrow.uturn.backward", "undo", 0xe166},
    {"bag", "shopping_bag", 0xf1cc},
    {"bag.fill", "shopping_bag", 0xf1cc},
    {"character.book.closed", "menu_book", 0xea19},
    {"character.book.closed.fill", "menu_book", 0xea19},
    {"character.textbox", "translate", 0xe8e2},
    {"checkmark.circle.fill", "check_circle", 0xe86c},
    {"checkmark.seal.fill", "verified", 0xef76},
    {"chevron.left", "chevron_left", 0xe5cb},
    {"chevron.right", "chevron_right", 0xe5cc},
    {"circle", "radio_button_unchecked", 0xe836},
    {"circle.lefthalf.filled", "contrast", 0xeb37},
    {"creditcard.fill", "credit_card", 0xe870},
    {"doc.zipper", "folder_zip", 0xeb2c},
    {"exclamationmark.circle.fill", "error", 0xe000},
    {"exclamationmark.triangle.fill", "warning", 0xe002},
    {"externaldrive.fill", "storage", 0xe1db},
    {"flame.fill", "local_fire_department", 0xef55},
    {"folder.fill", "folder", 0xe2c7},
    {"gearshape.fill", "settings", 0xe8b8},
    {"gift.fill", "card_giftcard", 0xe8f6},
    {"heart", "favorite_border", 0xe87e},
    {"heart.fill", "favorite", 0xe87d},
    {"heart.slash", "heart_broken", 0xeac2},
    {"info.circle", "info_outline", 0xe88f},
    {"internaldrive", "sd_storage", 0xe1c2},
    {"largecircle.fill.circle", "radio_button_checked", 0xe837},
    {"lightbulb.fill", "lightbulb", 0xe0f0},
    {"line.3.horizontal.decrease.circle", "filter_list", 0xe152},
    {"list.bullet", "format_list_bulleted", 0xe241},
    {"lock.fill", "lock", 0xe897},
    {"lock.shield", "security", 0xe32a},
    {"magnifyingglass", "search", 0xe8b6},
    {"megaphone.fill", "campaign", 0xef49},
    {"moon", "dark_mode", 0xe51c},
    {"paintpalette", "palette", 0xe40a},
    {"pause.fill", "pause", 0xe034},
    {"person.crop.circle", "account_circle", 0xe853},
    {"person.crop.circle.badge.exclamationmark", "no_accounts", 0xf03e},
    {"person.fill", "person", 0xe7fd},
    {"pin.fill", "push_pin", 0xf10d},
    {"play.fill", "play_arrow", 0xe037},
    {"shield.lefthalf.filled", "verified_user", 0xe8e8},
    {"shippingbox", "inventory_2", 0xe1a1},
    {"sparkles", "auto_awesome", 0xe65f},
    {"speaker.slash.fill", "volume_off", 0xe04f},
    {"speaker.wave.2.fill", "volume_up", 0xe050},
    {"square.and.arrow.down.fill", "system_update_alt", 0xe8d7},
    {"square.grid.2x2", "grid_view", 0xe9b0},
    {"square.grid.2x2.fill", "dashboard", 0xe871},
    {"square.stack.3d.down.right", "filter_none", 0xe3e0},
    {"square.stack.3d.up.fill", "layers", 0xe53b},
    {"sun.max", "light_mode", 0xe518},
    {"text.alignleft", "format_align_left", 0xe236},
    {"text.badge.checkmark", "fact_check", 0xf0c5},
    {"trash.fill", "delete", 0xe872},
    {"wifi.exclamationmark", "wifi_off", 0xe648},
    {"xmark", "close", 0xe5cd},
    {"xmark.circle.fill", "cancel", 0xe5c9},
    {"xmark.octagon.fill", "dangerous", 0xe99a},
};

class SymbolIconEngine final : public QIconEngine
{
public:
    SymbolIconEngine(QString symbol, QColor color) : m_symbol(std::move(symbol)), m_color(color)
    {
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        QColor color = m_color;
        const QPalette palette = QApplication::palette();
        if (!color.isValid())
            color = palette.color(QPalette::WindowText);
        if (mode == QIcon::Disabled)
            color.setAlphaF(color.alphaF() * 0.35f);
        SymbolIcon::paint(*painter, rect, m_symbol, color, rect.height() / SymbolIcon::kGlyphScale);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        paint(&p, QRect(QPoint(), size), mode, state);
        return pm;
    }

    QIconEngine* clone() const override { return new SymbolIconEngine(m_symbol, m_color); }

private:
    QString m_symbol;
    QColor m_color;
};

} // namespace

std::span<const SymbolIcon::Entry> SymbolIcon::table()
{
    return kTable;
}

std::optional<char32_t> SymbolIcon::codepoint(QStringView symbol)
{
    const QByteArray key = symbol.toLatin1();
    auto it = std::lower_bound(std::begin(kTable), std::end(kTable), key, [](const Entry& e, const QByteArray& k) {
        return qstrcmp(e.symbol, k.constData()) < 0;
    });
    if (it == std::end(kTable) || qstrcmp(it->symbol, key.constData()) != 0)
        return std::nullopt;
    return it->codepoint;
}

QString SymbolIcon::glyph(QStringView symbol)
{
    const auto cp = codepoint(symbol);
    if (!cp)
        return {};
    const char32_t c = *cp;
    return QString::fromUcs4(&c, 1);
}

QString SymbolIcon::fontFamily()
{
    static const QString family = [] {
        const int id = QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/MaterialIcons-Regular.ttf"));
        const QStringList families = id < 0 ? QStringList{} : QFontDatabase::applicationFontFamilies(id);
        if (families.isEmpty())
            qWarning("icon font could not be loaded from the resources");
        return families.value(0);
    }();
    return family;
}

QFont SymbolIcon::font(qreal points)
{
    QFont f(fontFamily());
    f.setPointSizeF(Theme::pointSizeForPixels(points * kGlyphScale));
    f.setStyleStrategy(QFont::NoFontMerging);
    return f;
}

void SymbolIcon::paint(QPainter& painter, const QRectF& rect, QStringView symbol,
                       const QColor& color, qreal points)
{
    const QString text = glyph(symbol);
    if (text.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(font(points));
    painter.setPen(color);
    painter.drawText(rect, Qt::AlignCenter, text);
    painter.restore();
}

QPixmap SymbolIcon::pixmap(QStringView symbol, qreal points, const QColor& color,
                           qreal devicePixelRatio)
{
    const int side = qCeil(points * kGlyphScale);
    QPixmap pm(QSize(side, side) * devicePixelRatio);
    pm.setDevicePixelRatio(devicePixelRatio);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    paint(p, QRectF(0, 0, side, side), symbol, color, points);
    return pm;
}

QIcon SymbolIcon::icon(const QString& symbol, const QColor& color)
{
    return QIcon(new SymbolIconEngine(symbol, color));
}
