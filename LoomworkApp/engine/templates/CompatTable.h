#pragma once

#include <optional>

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

// One Final Cut Pro release: its Motion version and the ozml and display versions its
// templates carry. Identified by `fcp`.
struct CompatRow
{
    QString fcp;
    QString motion;
    QString ozml;
    QString dv;

    const QString& id() const { return fcp; }
    bool operator==(const CompatRow&) const = default;

    // All four keys are required; a wrong type fails the row.
    static std::optional<CompatRow> fromJson(const QJsonObject& object);
    // An array of rows; one bad element fails the whole list.
    static std::optional<QList<CompatRow>> listFromJson(const QJsonValue& value);
    QJsonObject toJson() const;
};

// The table relating Final Cut Pro releases to template versions. Rows may be stored in
// any order; every lookup works on them sorted by `fcp` ascending (stable).
struct CompatTable
{
    std::optional<QString> updatedAt;
    QList<CompatRow> rows;

    // "rows" is required; "updatedAt" is optional.
    static std::optional<CompatTable> fromJson(const QJsonObject& object);
    QJsonObject toJson() const;

    QList<CompatRow> sortedRows() const;
    QList<CompatRow> rowsDescending() const;
    std::optional<CompatRow> earliest() const;
    std::optional<CompatRow> latest() const;

    std::optional<CompatRow> rowForFCP(const QString& fcp) const;
    std::optional<CompatRow> rowForOZML(const QString& ozml) const;
    std::optional<CompatRow> rowForDisplayVersion(const QString& dv) const;

    // The release a template with these versions needs, if any can be told.
    std::optional<CompatRow> requirement(const std::optional<QString>& ozml,
                                         const std::optional<QString>& dv) const;
    // The ozml written by the newest release not above `fcp`.
    std::optional<QString> supportedOzml(const QString& fcp) const;
};
