#pragma once

#include <QString>
#include <QUuid>

// A transient message of the market window; the detail panel reports with the same kinds.
struct MarketToast
{
    enum class Kind {
        ok,
        warn,
        error
    };

    QUuid id;
    QString text;
    Kind kind = Kind::ok;

    bool operator==(const MarketToast&) const = default;

    // The symbol of the toast row for a kind.
    static QString symbol(Kind kind);
};
