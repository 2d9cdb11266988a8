#pragma once

#include <optional>

#include <QString>
#include <QStringList>

// The update prompt the configuration service builds for the update sheet. Its identity
// is the version: two alerts for one version with different notes are different values.
struct UpdateAlert
{
    QString version;
    QStringList changelog;
    std::optional<QString> url;
    bool forced = false;

    const QString& id() const { return version; }
    bool operator==(const UpdateAlert&) const = default;
};
