#include "local_paths.h"

#include "log.h"
#include "network_shares.h"

// GIO names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

#include <memory>

namespace ambrevoli {

bool mayHaveLocalPath(const QUrl& url)
{
    return url.isLocalFile() || isNetworkShareScheme(url.scheme().toStdString());
}

std::optional<std::string> localPathOf(const QUrl& url)
{
    if (url.isLocalFile())
        return url.toLocalFile().toStdString();
    if (!isNetworkShareScheme(url.scheme().toStdString()))
        return std::nullopt;
    // GIO knows where the desktop's FUSE bridge shows each mounted share.
    const QByteArray uri = url.toEncoded();
    std::unique_ptr<GFile, decltype(&g_object_unref)> file(g_file_new_for_uri(uri.constData()),
                                                           g_object_unref);
    std::unique_ptr<char, decltype(&g_free)> path(g_file_get_path(file.get()), g_free);
    if (!path || path.get()[0] != '/') {
        logger("settings")
            .log(LogLevel::standard, "A folder on a ", url.scheme().toStdString(),
                 " share has no local path (not mounted, or the desktop's FUSE "
                 "bridge, gvfsd-fuse, is not running)");
        return std::nullopt;
    }
    return std::string(path.get());
}

} // namespace ambrevoli
