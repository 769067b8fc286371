// The currencies some markets quote in a hundredth of: London in pence ("GBp", also written "GBX"),
// Johannesburg in cents ("ZAc"), Tel Aviv in agorot ("ILA"). A price stays in the unit its service
// quotes, as the price cache has always held it, and a stock quoted so keeps that unit as its
// currency ("GBp.FOREX"); the currency conversion alone knows that such a unit is a hundredth of its
// main currency, so that old caches, new downloads and every service agree.
#pragma once

#include "pyclass.hpp"

#include <optional>

namespace velmora::minorunits {

struct MinorUnit {
    const char *code, *currency;
};

inline constexpr MinorUnit units[] = {{"GBp", "GBP"}, {"GBX", "GBP"}, {"ZAc", "ZAR"}, {"ILA", "ILS"}};

// The units of a minor unit in one of its main currency.
inline constexpr double perMainUnit = 100.0;

// The minor unit a bare code ("GBp") names, if it names one.
inline std::optional<MinorUnit> ofCode(py::handle code) {
    for (const MinorUnit &unit : units)
        if (py::str(unit.code).equal(code)) return unit;
    return std::nullopt;
}

// The currency symbol ("GBP.FOREX") whose rates a minor unit's symbol ("GBp.FOREX") is converted
// with, if the symbol names a minor unit.
inline std::optional<py::str> mainCurrencySymbol(py::handle symbol) {
    for (const MinorUnit &unit : units)
        if ((py::str(unit.code) + py::str(".FOREX")).equal(symbol))
            return py::str(py::str(unit.currency) + py::str(".FOREX"));
    return std::nullopt;
}

}  // namespace velmora::minorunits
