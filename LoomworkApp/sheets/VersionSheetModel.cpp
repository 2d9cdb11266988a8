#include "sheets/VersionSheetModel.h"

#include "engine/core/SystemError.h"
#include "engine/templates/TemplateInspector.h"
#include "engine/templates/VersionNum.h"
#include "sheets/SheetWork.h"

VersionSheetModel::VersionSheetModel(const Plugin& plugin, const CompatTable& table,
                                     const std::optional<QString>& installedFCP, QObject* parent)
    : QObject(parent)
    , m_plugin(plugin)
    , m_installedFCP(installedFCP)
    , m_rows(table.rowsDescending())
    , m_requirement(table.requirement(plugin.ozmlVersion, plugin.motionVersion))
{
    if (m_installedFCP)
        m_installedOzml = table.supportedOzml(*m_installedFCP);
    if (m_requirement) {
        const auto at = m_rows.indexOf(*m_requirement);
        if (at >= 0)
            m_requirementIndex = int(at);
    }
    // The plug-in's own release, else the newest one.
    if (m_requirementIndex)
        m_selected = m_requirementIndex;
    else if (!m_rows.isEmpty())
        m_selected = 0;
}

QString VersionSheetModel::selectedFCP() const
{
    return m_selected ? m_rows[*m_selected].fcp : QString();
}

void VersionSheetModel::select(int index)
{
    if (index < 0 || index >= m_rows.size() || m_selected == index)
        return;
    m_selected = index;
    emit stateChanged();
}

VersionSheetModel::Availability VersionSheetModel::availability(const CompatRow& row) const
{
    if (!m_installedFCP || !m_installedOzml)
        return Availability::undetermined;
    if (VersionNum::compare(row.ozml, *m_installedOzml) > 0)
        return Availability::beyondInstalled;
    if (!m_requirement)
        return Availability::available;
    if (VersionNum::compare(row.ozml, m_requirement->ozml) < 0)
        return Availability::downgrade;
    return Availability::available;
}

QString VersionSheetModel::availabilityText(Availability availability)
{
    switch (availability) {
    case Availability::available: return QStringLiteral("✓ 可用");
    case Availability::downgrade: return QStringLiteral("兼容 ↑");
    case Availability::beyondInstalled: return QStringLiteral("红叹号风险");
    case Availability::undetermined: return QStringLiteral("—");
    }
    return {};
}

QString VersionSheetModel::availabilityTooltip(Availability availability)
{
    switch (availability) {
    case Availability::downgrade:
        return QStringLiteral("降版本：提高对 FCPX 的兼容性，专门解决插件显示红叹号的问题（降太多时个别效果可能失效）");
    case Availability::beyondInstalled:
        return QStringLiteral("升到这个版本已超出本机 FCPX 能读的最大 ozml，改完在 FCPX 里会显示红色感叹号");
    case Availability::available:
    case Availability::undetermined:
        break;
    }
    return {};
}

std::optional<QString> VersionSheetModel::comparisonTag(const CompatRow& row) const
{
    if (!m_requirement)
        return std::nullopt;
    const auto order = VersionNum::compare(row.fcp, m_requirement->fcp);
    if (order == 0)
        return QStringLiteral("当前");
    return order > 0 ? QStringLiteral("升级") : QStringLiteral("降级");
}

VersionSheetModel::TagTone VersionSheetModel::tagTone(const CompatRow& row) const
{
    if (m_requirement && row.fcp == m_requirement->fcp)
        return TagTone::current;
    return comparisonTag(row) == QStringLiteral("升级") ? TagTone::upgrade : TagTone::other;
}

QList<VersionSheetModel::Chip> VersionSheetModel::infoChips() const
{
    QList<Chip> chips;
    chips.append({QStringLiteral("模板文件 %1 个").arg(m_plugin.templateFileCount), ChipTone::secondary});
    if (m_plugin.motionVersion)
        chips.append({QStringLiteral("Motion ") + *m_plugin.motionVersion, ChipTone::secondary});
    if (m_requirement)
        chips.append({QStringLiteral("兼容 FCPX ") + m_requirement->fcp + QStringLiteral("+"), ChipTone::green});
    if (m_installedFCP) {
        const QString required = m_requirement ? m_requirement->fcp : QStringLiteral("0");
        chips.append({QStringLiteral("本机 FCPX ") + *m_installedFCP,
                      VersionNum::compare(*m_installedFCP, required) < 0 ? ChipTone::orange : ChipTone::secondary});
    }
    return chips;
}

bool VersionSheetModel::changed() const
{
    if (!m_selected)
        return false;
    // Rows equal in every value write the same files.
    return !m_requirement || m_rows[*m_selected] != *m_requirement;
}

bool VersionSheetModel::canConfirm() const
{
    return !m_isWorking && (m_resultText || changed());
}

QString VersionSheetModel::confirmTitle() const
{
    return m_resultText ? QStringLiteral("完成") : QStringLiteral("应用");
}

QString VersionSheetModel::footerNote()
{
    return QStringLiteral(
        "「本机」列说明：✓ 可用 = 改完本机 FCPX 能直接打开；兼容 ↑ = 降版本，提高对 FCPX "
        "的兼容性，专门解决插件显示红叹号的问题（降得太多时个别效果可能失效）；红叹号风险 = 升到的版本已超出本机 "
        "FCPX 能读的范围，改完在 FCPX 里会显示红色感叹号。升降不自动备份插件，需要留底请先用「备份」功能。");
}

QString VersionSheetModel::workingText()
{
    return QStringLiteral("正在改写模板文件…");
}

QString VersionSheetModel::zeroFilesText()
{
    return QStringLiteral(
        "没有改写任何文件：插件里没找到可修改的模板文件（.motn/.moeff/.motr/.moef/.moti），或文件不可写。");
}

void VersionSheetModel::apply()
{
    if (!m_selected || m_isWorking || m_resultText)
        return;
    const CompatRow row = m_rows[*m_selected];
    m_isWorking = true;
    m_errorText.reset();
    emit stateChanged();

    struct Result
    {
        int filesChanged = 0;
        int writeError = 0;
        std::optional<QString> error;
    };
    SheetWork::run(
        this,
        [path = m_plugin.path, seen = m_plugin.identity, row] {
            Result result;
            try {
                // Refuses a version that is not digits and dots, or a plug-in other than the one
                // shown, before it writes anything.
                const auto summary = TemplateInspector::setVersion(path, row.ozml, row.dv, seen);
                result.filesChanged = summary.filesChanged;
                result.writeError = summary.writeError;
            } catch (...) {
                result.error = SheetWork::describe(std::current_exception());
            }
            return result;
        },
        [this](Result result) { finish(result.filesChanged, result.error, result.writeError); },
        [this](const QString& error) { finish(0, error, 0); });
}

void VersionSheetModel::showWaiting(const QString& text)
{
    if (!m_isWorking)
        return;
    m_waitingText = text;
    emit stateChanged();
}

void VersionSheetModel::finish(int filesChanged, const std::optional<QString>& error, int writeError)
{
    m_isWorking = false;
    m_waitingText.clear();
    if (error) {
        m_errorText = QStringLiteral("修改失败：") + *error;
        emit stateChanged();
        return;
    }
    if (filesChanged > 0 && writeError)
        m_resultText = SystemError::writeErrorText(QStringLiteral("已改写 %1 个模板文件的版本号").arg(filesChanged), writeError);
    else if (filesChanged > 0)
        m_resultText = QStringLiteral("已改写 %1 个模板文件的版本号").arg(filesChanged);
    else
        m_errorText = zeroFilesText();
    emit stateChanged();
    emit applied();
}
