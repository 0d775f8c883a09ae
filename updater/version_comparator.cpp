#include "version_comparator.h"

#include <vector>

namespace ambrevoli {

namespace {

enum class PartType { number, letters, separator };

PartType typeOf(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return PartType::number;
    if (c == u'.' || c.isSpace())
        return PartType::separator;
    return PartType::letters;
}

struct Part {
    PartType type;
    QStringView text;
};

std::vector<Part> split(QStringView version)
{
    std::vector<Part> parts;
    qsizetype start = 0;
    for (qsizetype i = 1; i <= version.size(); ++i) {
        const PartType type = typeOf(version[start]);
        // Each separator stands alone, so "1..2" is not "1.2".
        if (i == version.size() || typeOf(version[i]) != type || type == PartType::separator) {
            parts.push_back({type, version.mid(start, i - start)});
            start = i;
        }
    }
    return parts;
}

// By value, without a width limit: leading zeros are dropped and the longer run is larger.
std::strong_ordering compareNumbers(QStringView a, QStringView b)
{
    while (a.size() > 1 && a.front() == u'0')
        a = a.mid(1);
    while (b.size() > 1 && b.front() == u'0')
        b = b.mid(1);
    if (a.size() != b.size())
        return a.size() <=> b.size();
    return a.compare(b) <=> 0;
}

} // namespace

std::strong_ordering compareVersions(QStringView a, QStringView b)
{
    const std::vector<Part> partsA = split(a);
    const std::vector<Part> partsB = split(b);
    const std::size_t common = std::min(partsA.size(), partsB.size());
    for (std::size_t i = 0; i < common; ++i) {
        const Part& x = partsA[i];
        const Part& y = partsB[i];
        if (x.type == y.type) {
            std::strong_ordering order = std::strong_ordering::equal;
            if (x.type == PartType::number)
                order = compareNumbers(x.text, y.text);
            else if (x.type == PartType::letters)
                order = x.text.compare(y.text) <=> 0;
            if (order != 0)
                return order;
            continue;
        }
        // Letters mark a pre-release: anything else in their place is newer. Between a number and
        // a separator, the number is newer.
        if (y.type == PartType::letters)
            return std::strong_ordering::greater;
        if (x.type == PartType::letters)
            return std::strong_ordering::less;
        return x.type == PartType::number ? std::strong_ordering::greater
                                          : std::strong_ordering::less;
    }
    if (partsA.size() == partsB.size())
        return std::strong_ordering::equal;
    const bool aLonger = partsA.size() > partsB.size();
    const Part& beyond = aLonger ? partsA[common] : partsB[common];
    const bool longerIsNewer = beyond.type != PartType::letters;
    return aLonger == longerIsNewer ? std::strong_ordering::greater : std::strong_ordering::less;
}

} // namespace ambrevoli
