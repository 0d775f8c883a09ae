#include "appcast.h"

#include <QXmlStreamReader>

namespace ambrevoli {

namespace {

// The feed's own namespace is known by its prefix: feeds bind it to differing URIs.
constexpr QLatin1StringView prefix("sparkle");

bool isFeedName(const QXmlStreamReader& xml, QLatin1StringView name)
{
    return xml.prefix() == prefix && xml.name() == name;
}

QString feedAttribute(const QXmlStreamAttributes& attributes, QLatin1StringView name)
{
    for (const QXmlStreamAttribute& attribute : attributes)
        if (attribute.prefix() == prefix && attribute.name() == name)
            return attribute.value().toString().trimmed();
    return {};
}

void readItem(QXmlStreamReader& xml, const QUrl& feedURL, std::vector<AppcastItem>& items)
{
    AppcastItem item;
    QString enclosureVersion, enclosureDisplayVersion;
    bool hasEnclosure = false;
    while (xml.readNextStartElement()) {
        const bool plain = xml.prefix().isEmpty();
        if (plain && xml.name() == u"title") {
            item.title = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (plain && xml.name() == u"pubDate") {
            item.pubDate = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (plain && xml.name() == u"description") {
            item.description =
                xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (isFeedName(xml, QLatin1StringView("version"))) {
            item.version = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (isFeedName(xml, QLatin1StringView("shortVersionString"))) {
            item.displayVersion =
                xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (isFeedName(xml, QLatin1StringView("releaseNotesLink"))) {
            const QUrl link = feedURL.resolved(
                QUrl(xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed()));
            if (isSecureUpdateURL(link))
                item.releaseNotesURL = link;
        } else if (plain && xml.name() == u"enclosure" && !hasEnclosure) {
            hasEnclosure = true;
            const QXmlStreamAttributes attributes = xml.attributes();
            const QString url = attributes.value(QLatin1StringView("url")).toString().trimmed();
            if (!url.isEmpty())
                item.url = feedURL.resolved(QUrl(url));
            bool ok = false;
            const qint64 length = attributes.value(QLatin1StringView("length")).toLongLong(&ok);
            item.length = ok && length >= 0 ? length : -1;
            item.type = attributes.value(QLatin1StringView("type")).toString();
            item.edSignature = feedAttribute(attributes, QLatin1StringView("edSignature"));
            enclosureVersion = feedAttribute(attributes, QLatin1StringView("version"));
            enclosureDisplayVersion =
                feedAttribute(attributes, QLatin1StringView("shortVersionString"));
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    if (item.version.isEmpty())
        item.version = enclosureVersion;
    if (item.displayVersion.isEmpty())
        item.displayVersion = enclosureDisplayVersion;
    if (item.displayVersion.isEmpty())
        item.displayVersion = item.version;
    if (!item.version.isEmpty() && item.url.isValid() && !item.url.isEmpty())
        items.push_back(std::move(item));
}

} // namespace

std::expected<std::vector<AppcastItem>, AppcastError> parseAppcast(const QByteArray& feed,
                                                                   const QUrl& feedURL)
{
    QXmlStreamReader xml(feed);
    if (!xml.readNextStartElement())
        return std::unexpected(
            AppcastError{xml.hasError() ? xml.errorString().toStdString() : "empty document"});
    if (xml.name() != u"rss")
        return std::unexpected(AppcastError{"not an RSS feed"});
    std::vector<AppcastItem> items;
    bool hasChannel = false;
    while (xml.readNextStartElement()) {
        if (xml.name() != u"channel") {
            xml.skipCurrentElement();
            continue;
        }
        hasChannel = true;
        while (xml.readNextStartElement()) {
            if (xml.name() == u"item")
                readItem(xml, feedURL, items);
            else
                xml.skipCurrentElement();
        }
    }
    // A feed cut off halfway is damaged, not merely short.
    if (xml.hasError())
        return std::unexpected(AppcastError{xml.errorString().toStdString()});
    if (!hasChannel)
        return std::unexpected(AppcastError{"no channel"});
    return items;
}

} // namespace ambrevoli
