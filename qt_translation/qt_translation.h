#pragma once

#include "translation.h"

#include <QString>

#include <cstdint>

// The Qt programs' side of the catalogs (translation.h): the same lookups, as QStrings. Qt's own
// translation files are not used: the file-manager modules, which must not load Qt, read the
// same catalogs, and one catalog per language serves every deliverable. Texts here take their
// arguments the Qt way ("%1", QString::arg()); the catalogs mark them so, and msgfmt checks that
// each translation keeps them.

namespace ambrevoli {

inline QString uiText(const char* text) { return QString::fromStdString(translate(text)); }

inline QString uiTextInContext(const char* context, const char* text)
{
    return QString::fromStdString(translateInContext(context, text));
}

// The form for `count` of a counted text.
inline QString uiTextPlural(const char* singular, const char* plural, std::int64_t count)
{
    return QString::fromStdString(translatePlural(singular, plural, count));
}

} // namespace ambrevoli
