#pragma once

#include <QString>
#include <QUrl>

#include <expected>
#include <string>
#include <vector>

namespace ambrevoli {

// One release in an update feed.
struct AppcastItem {
    QString title;
    QString pubDate;
    QString version;        // what versions are ordered by (the package's version)
    QString displayVersion; // what users are shown; the version when the feed gives none
    QUrl releaseNotesURL;   // empty when the feed gives none or one that isn't secure
    QString description;    // the release notes in the feed itself, as given (may be HTML)

    // The enclosure: the package to download.
    QUrl url;           // resolved against the feed's address
    qint64 length = -1; // -1 when not given
    QString type;
    QString edSignature; // base64, as given; empty when the item is unsigned
};

// The feed is not XML, or not an RSS feed.
struct AppcastError {
    std::string description;
};

// Reads an update feed: RSS 2.0 whose items carry their versions and enclosures in the
// `sparkle:` namespace prefix (sparkle:version and sparkle:shortVersionString as elements of the
// item or attributes of its enclosure, sparkle:releaseNotesLink, sparkle:edSignature). Relative
// addresses resolve against `feedURL`. An item without a version or an enclosure address is
// left out: there is nothing it could offer. Items keep the feed's order.
std::expected<std::vector<AppcastItem>, AppcastError> parseAppcast(const QByteArray& feed,
                                                                   const QUrl& feedURL);

// Whether updates may be fetched from `url`: https. Test programs, which serve feeds and packages
// on this computer, are built to take plain http to the loopback address as well
// (ambrevoli_updates_over_loopback_http() in CMake); a shipped program never does.
bool isSecureUpdateURL(const QUrl& url);

} // namespace ambrevoli
