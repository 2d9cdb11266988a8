#include "sheets/LocalizeSheetModel.h"

#include <unistd.h>

#include "engine/core/EngineText.h"
#include "engine/files/PluginOwner.h"
#include "engine/templates/LocalizationGlossary.h"
#include "engine/operations/PluginModifier.h"
#include "sheets/SheetWork.h"

LocalizeSheetModel::LocalizeSheetModel(const Plugin& plugin, QObject* parent) : QObject(parent), m_plugin(plugin)
{
}

QList<LocalizeSheetModel::Entry> LocalizeSheetModel::readEntries(const Plugin& plugin, bool* hasBackup)
{
    // A translation backup whose copy has gone counts as none.
    const std::optional<QString> copy = PluginModifier::originalCopy(plugin);
    if (hasBackup)
        *hasBackup = copy.has_value();
    QList<Entry> entries;
    for (const auto& pair : TemplateInspector::namePairs(plugin.path, copy)) {
        Entry entry{pair.original, pair.current, pair.count, pair.isChinese(), std::nullopt};
        entry.suggestion = LocalizationGlossary::translate(pair.original);
        entries.append(std::move(entry));
    }
    return entries;
}

void LocalizeSheetModel::load()
{
    if (m_loadStarted)
        return;
    m_loadStarted = true;
    struct Result
    {
        QList<Entry> entries;
        bool hasBackup = false;
    };
    SheetWork::run(
        this,
        [plugin = m_plugin] {
            Result result;
            result.entries = readEntries(plugin, &result.hasBackup);
            return result;
        },
        [this](Result result) { setLoaded(std::move(result.entries), result.hasBackup); },
        [this](const QString& error) {
            m_isLoading = false;
            m_errorText = QStringLiteral("读取失败：") + error;
            emit stateChanged();
        });
}

void LocalizeSheetModel::setLoaded(QList<Entry> entries, bool hasBackup)
{
    m_hasBackup = hasBackup;
    m_entries = std::move(entries);
    m_targets.clear();
    m_targets.reserve(m_entries.size());
    bool allChinese = true;
    for (const Entry& entry : m_entries) {
        m_targets.append(entry.wasChinese ? entry.current : entry.suggestion.value_or(entry.original));
        allChinese = allChinese && entry.wasChinese;
    }
    m_filter = allChinese ? Filter::done : Filter::pending;
    m_isLoading = false;
    refilter();
    emit stateChanged();
}

void LocalizeSheetModel::setFilter(Filter filter)
{
    if (m_filter == filter)
        return;
    m_filter = filter;
    refilter();
    emit stateChanged();
}

void LocalizeSheetModel::setKeyword(const QString& keyword)
{
    if (m_keyword == keyword)
        return;
    m_keyword = keyword;
    refilter();
    emit stateChanged();
}

bool LocalizeSheetModel::matches(int entry, const QString& query) const
{
    const Entry& e = m_entries[entry];
    return e.original.contains(query, Qt::CaseInsensitive) || e.current.contains(query, Qt::CaseInsensitive)
        || m_targets[entry].contains(query, Qt::CaseInsensitive);
}

void LocalizeSheetModel::refilter()
{
    const QString query = m_keyword.trimmed();
    const bool done = m_filter == Filter::done;
    m_filtered.clear();
    for (int i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].wasChinese != done)
            continue;
        if (query.isEmpty() || matches(i, query))
            m_filtered.append(i);
    }
    emit listChanged();
}

QString LocalizeSheetModel::target(int entry) const
{
    return m_targets.value(entry);
}

void LocalizeSheetModel::setTarget(int entry, const QString& text)
{
    if (entry < 0 || entry >= m_targets.size() || m_targets[entry] == text)
        return;
    // The row stays listed while it is edited, even when the search no longer finds it:
    // taking it away would take the field from under the user's typing.
    m_targets[entry] = text;
    emit entryChanged(entry);
    emit stateChanged();
}

void LocalizeSheetModel::revert(int entry)
{
    if (entry >= 0 && entry < m_entries.size())
        setTarget(entry, m_entries[entry].original);
}

void LocalizeSheetModel::fillSuggestion(int entry)
{
    if (entry >= 0 && entry < m_entries.size() && m_entries[entry].suggestion)
        setTarget(entry, *m_entries[entry].suggestion);
}

bool LocalizeSheetModel::isOriginal(int entry) const
{
    return m_targets[entry].trimmed() == m_entries[entry].original.trimmed();
}

bool LocalizeSheetModel::hasEdits(int entry) const
{
    const QString t = m_targets[entry].trimmed();
    return !t.isEmpty() && t != m_entries[entry].original.trimmed();
}

bool LocalizeSheetModel::isUnlisted(int entry) const
{
    return !m_entries[entry].wasChinese && !m_entries[entry].suggestion;
}

bool LocalizeSheetModel::willRevert(int entry) const
{
    return m_entries[entry].current != m_entries[entry].original && isOriginal(entry);
}

LocalizeSheetModel::Trailing LocalizeSheetModel::trailing(int entry) const
{
    if (hasEdits(entry))
        return Trailing::revert;
    const auto& suggestion = m_entries[entry].suggestion;
    if (suggestion && suggestion->trimmed() != m_targets[entry].trimmed())
        return Trailing::suggestion;
    return Trailing::none;
}

int LocalizeSheetModel::pendingCount() const
{
    int n = 0;
    for (const Entry& e : m_entries)
        n += e.wasChinese ? 0 : 1;
    return n;
}

int LocalizeSheetModel::doneCount() const
{
    return int(m_entries.size()) - pendingCount();
}

QHash<QString, QString> LocalizeSheetModel::changes() const
{
    QHash<QString, QString> map;
    for (int i = 0; i < m_entries.size(); ++i) {
        const QString name = m_targets[i].trimmed();
        if (name.isEmpty() || name == m_entries[i].current)
            continue;
        // Of entries sharing one current name, the last decides.
        map.insert(m_entries[i].current, name);
    }
    return map;
}

int LocalizeSheetModel::revertCount() const
{
    int n = 0;
    for (int i = 0; i < m_entries.size(); ++i)
        n += m_entries[i].current != m_entries[i].original && isOriginal(i) ? 1 : 0;
    return n;
}

int LocalizeSheetModel::remainingChinese() const
{
    int n = 0;
    for (const QString& t : m_targets)
        n += EngineText::containsChinese(t) ? 1 : 0;
    return n;
}

QString LocalizeSheetModel::footerNote() const
{
    return QStringLiteral("确认后会把 %1 项写回该插件的 %2 个模板文件；首次汉化会存一份原文备份，之后一直复用它来还原。")
        .arg(changes().size())
        .arg(m_plugin.templateFileCount);
}

QList<LocalizeSheetModel::Chip> LocalizeSheetModel::chips() const
{
    const int pending = pendingCount();
    const int done = doneCount();
    const int all = int(m_entries.size());
    return {
        {QStringLiteral("已发布参数 %1 项").arg(all), ChipTone::secondary},
        {QStringLiteral("未汉化 %1").arg(pending), pending >= 1 ? ChipTone::orange : ChipTone::secondary},
        {QStringLiteral("已汉化 %1").arg(done), done >= 1 ? ChipTone::green : ChipTone::secondary},
        {QStringLiteral("模板文件 %1 个").arg(m_plugin.templateFileCount), ChipTone::secondary},
        m_hasBackup ? Chip{QStringLiteral("原文备份 %1 项").arg(all), ChipTone::teal}
                    : Chip{QStringLiteral("暂无原文备份"), ChipTone::orange},
    };
}

LocalizeSheetModel::Content LocalizeSheetModel::content() const
{
    if (m_isLoading)
        return Content::loading;
    if (m_entries.isEmpty())
        return Content::empty;
    if (m_filtered.isEmpty())
        return Content::noMatches;
    return Content::list;
}

QString LocalizeSheetModel::noMatchesText() const
{
    return m_filter == Filter::done ? QStringLiteral("还没有汉化过的参数") : QStringLiteral("没有未汉化的参数了");
}

bool LocalizeSheetModel::showsTryAnotherKeyword() const
{
    return !m_keyword.trimmed().isEmpty();
}

QString LocalizeSheetModel::originalColumnTitle() const
{
    return m_hasBackup ? QStringLiteral("原文（最初备份）") : QStringLiteral("原文");
}

QString LocalizeSheetModel::confirmTitle() const
{
    const auto n = changes().size();
    return n > 0 && revertCount() >= n ? QStringLiteral("确认还原原文") : QStringLiteral("确认汉化");
}

bool LocalizeSheetModel::canRestore() const
{
    if (m_isWorking || !m_hasBackup)
        return false;
    for (const Entry& e : m_entries) {
        if (e.current != e.original)
            return true;
    }
    return false;
}

QString LocalizeSheetModel::restoreTooltip() const
{
    for (const Entry& e : m_entries) {
        if (e.current != e.original)
            return QStringLiteral("用最初原件备份覆盖整个插件");
    }
    return QStringLiteral("当前已经是最初原文，无需还原");
}

void LocalizeSheetModel::apply()
{
    if (m_isWorking || m_isLoading)
        return;
    const QHash<QString, QString> map = changes();
    if (map.isEmpty())
        return;
    m_isWorking = true;
    m_errorText.reset();
    const int remaining = remainingChinese();
    emit stateChanged();

    struct Result
    {
        int changed = 0;
        int writeError = 0;
        std::optional<QString> error;
    };
    SheetWork::run(
        this,
        [plugin = m_plugin, map] {
            Result result;
            try {
                const auto summary = PluginModifier::localize(plugin, map).summary;
                result.changed = summary.namesChanged;
                result.writeError = summary.writeError;
            } catch (...) {
                result.error = SheetWork::describe(std::current_exception());
            }
            return result;
        },
        [this, remaining](Result result) {
            m_isWorking = false;
            m_waitingText.clear();
            if (result.error) {
                m_errorText = QStringLiteral("写入失败：") + *result.error;
                emit stateChanged();
                return;
            }
            emit stateChanged();
            emit applied({result.changed, remaining, result.writeError});
        },
        [this](const QString& error) { failWork(QStringLiteral("写入失败："), error); });
}

void LocalizeSheetModel::failWork(const QString& heading, const QString& error)
{
    m_isWorking = false;
    m_waitingText.clear();
    m_errorText = heading + error;
    emit stateChanged();
}

void LocalizeSheetModel::showWaiting(const QString& text)
{
    if (!m_isWorking)
        return;
    m_waitingText = text;
    emit stateChanged();
}

QString LocalizeSheetModel::restoreQuestion()
{
    m_toldOwner.reset();
    if (m_plugin.root == PluginRoot::system)
        m_toldOwner = PluginOwner::at(m_plugin.path, m_plugin.identity);
    QString text = QStringLiteral("会用最初原件备份覆盖整个插件文件夹：这个插件之后的所有改动都会丢失，还原后列表里的「已汉化」标记也会撤掉。"
                                  "原文备份本身会保留下来，随时可以再对照原文。");
    if (m_toldOwner)
        text += PluginOwner::note({{m_plugin.name, *m_toldOwner}});
    return text;
}

void LocalizeSheetModel::restore()
{
    if (m_isWorking || m_isLoading)
        return;
    m_isWorking = true;
    m_errorText.reset();
    emit stateChanged();
    SheetWork::run(
        this,
        [plugin = m_plugin, told = m_toldOwner.value_or(::geteuid())] {
            std::pair<std::optional<QString>, QStringList> result;
            try {
                PluginModifier::restoreOriginal(plugin, &result.second, told);
            } catch (...) {
                result.first = SheetWork::describe(std::current_exception());
            }
            return result;
        },
        [this](const std::pair<std::optional<QString>, QStringList>& result) {
            m_isWorking = false;
            m_waitingText.clear();
            if (result.first) {
                m_errorText = QStringLiteral("还原失败：") + *result.first;
                emit stateChanged();
                return;
            }
            emit stateChanged();
            emit restored(result.second);
        },
        [this](const QString& error) { failWork(QStringLiteral("还原失败："), error); });
}
