#include "engine/templates/CompatTable.h"

#include <algorithm>

#include <QJsonArray>

#include "engine/core/JsonRead.h"
#include "engine/templates/VersionNum.h"

namespace {

bool stringField(const QJsonObject& object, const char* key, QString& out)
{
    const auto value = object.value(QLatin1String(key));
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

} // namespace

std::optional<CompatRow> CompatRow::fromJson(const QJsonObject& object)
{
    CompatRow row;
    if (!stringField(object, "fcp", row.fcp) || !stringField(object, "motion", row.motion)
        || !stringField(object, "ozml", row.ozml) || !stringField(object, "dv", row.dv))
        return std::nullopt;
    return row;
}

std::optional<QList<CompatRow>> CompatRow::listFromJson(const QJsonValue& value)
{
    if (!value.isArray())
        return std::nullopt;
    QList<CompatRow> rows;
    for (const QJsonValue& element : value.toArray()) {
        const auto row = element.isObject() ? fromJson(element.toObject()) : std::nullopt;
        if (!row)
            return std::nullopt;
        rows.append(*row);
    }
    return rows;
}

QJsonObject CompatRow::toJson() const
{
    return {{"fcp", fcp}, {"motion", motion}, {"ozml", ozml}, {"dv", dv}};
}

std::optional<CompatTable> CompatTable::fromJson(const QJsonObject& object)
{
    auto rows = CompatRow::listFromJson(object.value(QLatin1String("rows")));
    if (!rows)
        return std::nullopt;
    CompatTable table;
    table.rows = std::move(*rows);
    if (!JsonRead::optionalString(object.value(QLatin1String("updatedAt")), table.updatedAt))
        return std::nullopt;
    return table;
}

QJsonObject CompatTable::toJson() const
{
    QJsonArray array;
    for (const auto& row : rows)
        array.append(row.toJson());
    QJsonObject object{{"rows", array}};
    if (updatedAt)
        object.insert(QLatin1String("updatedAt"), *updatedAt);
    return object;
}

QList<CompatRow> CompatTable::sortedRows() const
{
    QList<CompatRow> sorted = rows;
    std::stable_sort(sorted.begin(), sorted.end(), [](const CompatRow& a, const CompatRow& b) {
        return VersionNum::isOlder(a.fcp, b.fcp);
    });
    return sorted;
}

QList<CompatRow> CompatTable::rowsDescending() const
{
    QList<CompatRow> sorted = sortedRows();
    std::reverse(sorted.begin(), sorted.end());
    return sorted;
}

std::optional<CompatRow> CompatTable::earliest() const
{
    const auto sorted = sortedRows();
    if (sorted.isEmpty())
        return std::nullopt;
    return sorted.first();
}

std::optional<CompatRow> CompatTable::latest() const
{
    const auto sorted = sortedRows();
    if (sorted.isEmpty())
        return std::nullopt;
    return sorted.last();
}

std::optional<CompatRow> CompatTable::rowForFCP(const QString& fcp) const
{
    for (const auto& row : sortedRows()) {
        if (VersionNum::compare(row.fcp, fcp) == 0)
            return row;
    }
    return std::nullopt;
}

std::optional<CompatRow> CompatTable::rowForOZML(const QString& ozml) const
{
    const auto sorted = sortedRows();
    for (const auto& row : sorted) {
        if (VersionNum::compare(row.ozml, ozml) == 0)
            return row;
    }
    for (const auto& row : sorted) {
        if (VersionNum::compare(row.ozml, ozml) > 0)
            return row;
    }
    return std::nullopt;
}

std::optional<CompatRow> CompatTable::rowForDisplayVersion(const QString& dv) const
{
    if (dv.isEmpty())
        return std::nullopt;
    const auto sorted = sortedRows();
    for (const auto& row : sorted) {
        if (!row.dv.isEmpty() && VersionNum::compare(row.dv, dv) == 0)
            return row;
    }
    for (const auto& row : sorted) {
        if (!row.dv.isEmpty() && VersionNum::compare(row.dv, dv) > 0)
            return row;
    }
    return latest();
}

std::optional<CompatRow> CompatTable::requirement(const std::optional<QString>& ozml,
                                                  const std::optional<QString>& dv) const
{
    if (ozml && !ozml->isEmpty()) {
        const auto first = earliest();
        if (first && VersionNum::isOlder(*ozml, first->ozml))
            return first;
        if (auto row = rowForOZML(*ozml))
            return row;
    }
    if (dv && !dv->isEmpty())
        return rowForDisplayVersion(*dv);
    return std::nullopt;
}

std::optional<QString> CompatTable::supportedOzml(const QString& fcp) const
{
    std::optional<QString> result;
    for (const auto& row : sortedRows()) {
        if (VersionNum::compare(row.fcp, fcp) > 0)
            break;
        result = row.ozml;
    }
    return result;
}
