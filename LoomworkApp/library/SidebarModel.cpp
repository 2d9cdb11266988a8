#include "library/SidebarModel.h"

#include "engine/core/EngineText.h"

namespace {

std::optional<ZFCPluginType> typeOf(SidebarModel::RowId id)
{
    switch (id) {
    case SidebarModel::RowId::effect: return ZFCPluginType::effect;
    case SidebarModel::RowId::subtitle: return ZFCPluginType::subtitle;
    case SidebarModel::RowId::generator: return ZFCPluginType::generator;
    case SidebarModel::RowId::transitions: return ZFCPluginType::transitions;
    default: return std::nullopt;
    }
}

std::optional<PluginRoot> rootOf(SidebarModel::RowId id)
{
    switch (id) {
    case SidebarModel::RowId::userLibrary: return PluginRoot::user;
    case SidebarModel::RowId::systemLibrary: return PluginRoot::system;
    default: return std::nullopt;
    }
}

} // namespace

SidebarModel::SidebarModel(AppState* state, QObject* parent) : QObject(parent), m_state(state)
{
    if (!state)
        return;
    for (auto signal : {&AppState::libraryFilterChanged, &AppState::categoryFilterChanged,
                        &AppState::countsChanged, &AppState::scanErrorsChanged})
        connect(state, signal, this, &SidebarModel::changed);
}

QString SidebarModel::sectionTitle(Section section)
{
    return section == Section::library ? QStringLiteral("插件库") : QStringLiteral("分类");
}

const QList<SidebarModel::RowId>& SidebarModel::rowIds(Section section)
{
    static const QList<RowId> library{RowId::allPlugins, RowId::userLibrary, RowId::systemLibrary,
                                      RowId::localized, RowId::market};
    static const QList<RowId> categories{RowId::allCategories, RowId::effect, RowId::subtitle,
                                         RowId::generator, RowId::transitions};
    return section == Section::library ? library : categories;
}

QList<SidebarModel::Row> SidebarModel::rows(Section section) const
{
    QList<Row> result;
    for (RowId id : rowIds(section))
        result.append(row(id));
    return result;
}

SidebarModel::Row SidebarModel::row(RowId id) const
{
    Row r;
    r.id = id;
    const LibraryFilter library = m_state ? m_state->libraryFilter() : LibraryFilter::allLibraries();
    const std::optional<ZFCPluginType> category =
        m_state ? m_state->categoryFilter() : std::nullopt;

    if (const auto root = rootOf(id)) {
        r.title = root->title();
        r.symbol = *root == PluginRoot::user ? QStringLiteral("folder.fill")
                                             : QStringLiteral("externaldrive.fill");
        if (m_state) {
            const auto it = m_state->scanErrors().constFind(*root);
            if (it != m_state->scanErrors().constEnd())
                r.error = *it;
        }
        r.selected = library == LibraryFilter::onlyRoot(*root);
        return r;
    }
    if (const auto type = typeOf(id)) {
        r.title = EngineText::displayName(*type);
        r.category = *type;
        r.count = m_state ? m_state->count(*type) : 0;
        r.selected = category == *type;
        return r;
    }
    switch (id) {
    case RowId::allPlugins:
        r.title = QStringLiteral("全部插件");
        r.symbol = QStringLiteral("square.grid.2x2.fill");
        r.selected = library.kind() == LibraryFilter::all;
        break;
    case RowId::localized:
        r.title = QStringLiteral("汉化管理");
        r.symbol = QStringLiteral("character.book.closed.fill");
        r.selected = library.kind() == LibraryFilter::localized;
        break;
    case RowId::market:
        r.title = QStringLiteral("插件市场");
        r.symbol = QStringLiteral("bag.fill");
        r.toolTip = QStringLiteral("浏览并单独购买插件");
        break;
    case RowId::allCategories:
        r.title = QStringLiteral("全部");
        r.symbol = QStringLiteral("square.stack.3d.up.fill");
        r.symbolSize = 17;
        r.count = m_state ? m_state->count(std::nullopt) : 0;
        r.selected = !category.has_value();
        break;
    default:
        break;
    }
    return r;
}

void SidebarModel::activate(RowId id)
{
    if (id == RowId::market) {
        if (onOpenMarket)
            onOpenMarket();
        return;
    }
    if (!m_state)
        return;
    if (const auto root = rootOf(id))
        m_state->setLibraryFilter(LibraryFilter::onlyRoot(*root));
    else if (const auto type = typeOf(id))
        m_state->setCategoryFilter(*type);
    else if (id == RowId::allPlugins)
        m_state->setLibraryFilter(LibraryFilter::allLibraries());
    else if (id == RowId::localized)
        m_state->setLibraryFilter(LibraryFilter::onlyLocalized());
    else if (id == RowId::allCategories)
        m_state->setCategoryFilter(std::nullopt);
}

QString SidebarModel::displayName(const std::optional<Member>& member)
{
    const QString name = member && member->nickName ? member->nickName->trimmed() : QString();
    return name.isEmpty() ? QStringLiteral("用户中心") : name;
}
