#pragma once

#include <QStringView>

#include <compare>

namespace ambrevoli {

// Orders two Debian package versions as dpkg does: [epoch:]upstream[-revision]. The epoch (digits
// before the first ':', 0 when absent) counts first, then the upstream version, then the revision
// (after the last '-', empty when absent). Upstream and revision are compared in turns of a
// non-digit run and a digit run: non-digits character by character, '~' before everything (even
// the end), letters before other characters; digit runs by value. So "1:0.1" > "9.9",
// "1.2.0-2" > "1.2.0", "1.0~rc1" < "1.0" and "1.10" > "1.9". An epoch that is not a number counts
// as 0 with the whole text as the upstream part, so odd feed texts still order the same way every
// time.
std::strong_ordering compareVersions(QStringView a, QStringView b);

} // namespace ambrevoli
