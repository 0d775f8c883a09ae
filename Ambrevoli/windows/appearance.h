#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>

class QWidget;

// The looks the host's windows share: the named colours, the text styles the windows are
// described in, and the symbols, each a freedesktop icon-theme name with a bundled fallback so a
// bare system still shows it.

namespace ambrevoli {

// The named colours, chosen from the desktop's palette family so they read on a light and on a
// dark background alike.
QColor namedOrange();
QColor namedRed();

// The secondary text colour: the palette's placeholder text colour.
QColor secondaryColor(const QWidget& widget);

// Draws `widget`'s text in `color`, on a window background and on a list's alike.
void setTextColor(QWidget& widget, const QColor& color);

enum class TextStyle {
    title2,   // larger than body, for a content-unavailable title and row symbols
    headline, // body size, bold
    callout,  // a little smaller than body
    caption,  // small print under a name or beside the toolbar
};

// `widget`'s font in `style`, sized relative to the application's body font.
QFont textStyleFont(const QWidget& widget, TextStyle style);

enum class Symbol {
    plus,
    minus,
    chevronUp,
    chevronDown,
    folder,
    questionmarkFolder, // the folder with an orange "?" badge: a folder that can't be found
    bellSlash,
    exclamationmarkTriangle,
    folderBadgePlus,
    checkmarkCircleFill, // a check on a filled green circle: something is done
};

// The symbol from the icon theme, or the bundled one when the theme lacks it.
QIcon symbolIcon(Symbol symbol);

// `number` in a circle, both drawn in `color`: the badge of something still to do.
QIcon numberedCircleIcon(int number, const QColor& color);

} // namespace ambrevoli
