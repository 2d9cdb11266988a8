#pragma once

#include <functional>
#include <optional>

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "LoomworkKit/ZFCPluginType.h"
#include "engine/library/AppState.h"
#include "online/Member.h"

// What the sidebar shows and what its clicks do, without widgets: its rows in order with
// their titles, icons, counts, errors and selection, and the name of the user bar. It owns
// no data; selection and counts are read from the AppState each time.
class SidebarModel : public QObject
{
    Q_OBJECT
public:
    enum class RowId {
        allPlugins,
        userLibrary,
        systemLibrary,
        localized,
        market,
        allCategories,
        effect,
        subtitle,
        generator,
        transitions
    };

    enum class Section {
        library,
        categories
    };

    struct Row
    {
        RowId id = RowId::allPlugins;
        QString title;
        // A symbol name, or empty for a plug-in type's CategoryGlyph.
        QString symbol;
        qreal symbolSize = 19;
        std::optional<ZFCPluginType> category;
        std::optional<int> count;
        // Shown as a warning triangle in place of the count; the text is its tooltip.
        std::optional<QString> error;
        QString toolTip;
        bool selected = false;
    };

    explicit SidebarModel(AppState* state, QObject* parent = nullptr);

    static QString sectionTitle(Section section);
    static const QList<RowId>& rowIds(Section section);

    Row row(RowId id) const;
    QList<Row> rows(Section section) const;

    // A click on a row: a filter row sets its filter (keeping the other filter); the market
    // row only calls onOpenMarket.
    void activate(RowId id);
    std::function<void()> onOpenMarket;

    // The user bar's name: the trimmed nickname, "用户中心" without a member or a usable one.
    static QString displayName(const std::optional<Member>& member);

signals:
    // A row may show another count, error or selection.
    void changed();

private:
    QPointer<AppState> m_state;
};
