#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "LoomworkKit/ZFCPackageError.h"

// How a package operation ended: no kind for success, else the error's kind and what it names.
struct Outcome
{
    std::optional<ZFCPackageError::Kind> kind{};
    std::string subject{};
    bool operator==(const Outcome&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Outcome& o)
{
    return out << (o.kind ? std::to_string(static_cast<int>(*o.kind)) + " " + o.subject : std::string("success"));
}

template <typename Run>
Outcome outcomeOf(Run run)
{
    try {
        run();
        return {};
    } catch (const ZFCPackageError& e) {
        return {e.kind(), e.subject()};
    }
}
