#include "version_comparator.h"

#include <algorithm>

namespace ambrevoli {

namespace {

struct DebianVersion {
    QStringView epoch; // digits only; empty for 0
    QStringView upstream;
    QStringView revision;
};

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

bool isLetter(QChar c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

DebianVersion split(QStringView text)
{
    DebianVersion version;
    if (const qsizetype colon = text.indexOf(u':'); colon >= 0) {
        const QStringView epoch = text.left(colon);
        if (std::all_of(epoch.begin(), epoch.end(), isDigit)) {
            version.epoch = epoch;
            text = text.mid(colon + 1);
        }
    }
    if (const qsizetype dash = text.lastIndexOf(u'-'); dash >= 0) {
        version.revision = text.mid(dash + 1);
        text = text.left(dash);
    }
    version.upstream = text;
    return version;
}

// dpkg's weight of a character in a non-digit run; the end of the run weighs 0.
int weight(QChar c)
{
    if (isDigit(c))
        return 0;
    if (isLetter(c))
        return c.unicode();
    if (c == u'~')
        return -1;
    return c.unicode() + 256;
}

// By value, without a width limit: leading zeros are dropped and the longer run is larger.
std::strong_ordering compareNumbers(QStringView a, QStringView b)
{
    while (!a.isEmpty() && a.front() == u'0')
        a = a.mid(1);
    while (!b.isEmpty() && b.front() == u'0')
        b = b.mid(1);
    if (a.size() != b.size())
        return a.size() <=> b.size();
    return a.compare(b) <=> 0;
}

QStringView takeRun(QStringView& text, bool digits)
{
    qsizetype length = 0;
    while (length < text.size() && isDigit(text[length]) == digits)
        ++length;
    const QStringView run = text.left(length);
    text = text.mid(length);
    return run;
}

std::strong_ordering comparePart(QStringView a, QStringView b)
{
    while (!a.isEmpty() || !b.isEmpty()) {
        const QStringView lettersA = takeRun(a, false);
        const QStringView lettersB = takeRun(b, false);
        for (qsizetype i = 0; i < lettersA.size() || i < lettersB.size(); ++i) {
            const int x = i < lettersA.size() ? weight(lettersA[i]) : 0;
            const int y = i < lettersB.size() ? weight(lettersB[i]) : 0;
            if (x != y)
                return x <=> y;
        }
        if (const auto order = compareNumbers(takeRun(a, true), takeRun(b, true)); order != 0)
            return order;
    }
    return std::strong_ordering::equal;
}

} // namespace

std::strong_ordering compareVersions(QStringView a, QStringView b)
{
    const DebianVersion x = split(a);
    const DebianVersion y = split(b);
    if (const auto order = compareNumbers(x.epoch, y.epoch); order != 0)
        return order;
    if (const auto order = comparePart(x.upstream, y.upstream); order != 0)
        return order;
    return comparePart(x.revision, y.revision);
}

} // namespace ambrevoli
