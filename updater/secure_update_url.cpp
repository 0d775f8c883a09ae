#include "appcast.h"

#include <QHostAddress>

namespace ambrevoli {

bool isSecureUpdateURL(const QUrl& url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == u"https")
        return true;
#ifdef AMBREVOLI_UPDATES_OVER_LOOPBACK_HTTP
    return scheme == u"http" && QHostAddress(url.host()).isLoopback();
#else
    return false;
#endif
}

} // namespace ambrevoli
