#include "host_settings.h"

namespace ambrevoli {

QSettings hostSettings()
{
    // The names earlier versions took from the application object: users' stored settings are
    // filed under them.
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("ambrevoli"),
                     QStringLiteral("Ambrevoli"));
}

} // namespace ambrevoli
