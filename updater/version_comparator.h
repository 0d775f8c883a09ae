#pragma once

#include <QStringView>

#include <compare>

namespace ambrevoli {

// Orders two version texts the way update feeds are read: each is cut into parts — runs of
// digits, runs of other characters ("b", "rc"), and single separators ("." or white space) — and
// the parts are compared in turn: numbers by value, letters alphabetically. A number is newer than
// letters or a separator in its place. When one text runs out, the longer is newer unless what
// it has beyond is letters: "1.0.1" > "1.0" but "1.0" > "1.0b2" > "1.0a1", and "1.10" > "1.9".
std::strong_ordering compareVersions(QStringView a, QStringView b);

} // namespace ambrevoli
