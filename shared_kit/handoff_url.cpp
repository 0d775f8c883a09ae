#include "handoff_url.h"

#include <uriparser/Uri.h>

#include <memory>

namespace ambrevoli {

namespace {

std::string_view range(const UriTextRangeA& text)
{
    if (text.first == nullptr || text.afterLast == nullptr)
        return {};
    return {text.first, static_cast<std::size_t>(text.afterLast - text.first)};
}

struct UriOwner {
    UriUriA uri{};
    ~UriOwner() { uriFreeUriMembersA(&uri); }
};

struct QueryListOwner {
    UriQueryListA* list = nullptr;
    ~QueryListOwner() { uriFreeQueryListA(list); }
};

// The candidate that the generic split of `text` names, before the canonical check.
std::optional<HandoffURL> candidate(std::string_view text)
{
    UriOwner owner;
    const char* error = nullptr;
    if (uriParseSingleUriExA(&owner.uri, text.data(), text.data() + text.size(), &error) !=
        URI_SUCCESS)
        return std::nullopt;
    const UriUriA& uri = owner.uri;

    if (range(uri.scheme) != HandoffURL::scheme)
        return std::nullopt;
    // uriparser marks "no host" with a null range; "scheme://" has an empty one.
    if (uri.hostText.first == nullptr)
        return std::nullopt;
    const std::string_view host = range(uri.hostText);

    if (host == "settings")
        return HandoffURL::settings();
    if (host != "send" && host != "undo")
        return std::nullopt;

    if (uri.query.first == nullptr)
        return std::nullopt;
    QueryListOwner items;
    int count = 0;
    if (uriDissectQueryMallocExA(&items.list, &count, uri.query.first, uri.query.afterLast,
                                 URI_FALSE, URI_BR_DONT_TOUCH) != URI_SUCCESS)
        return std::nullopt;
    for (const UriQueryListA* item = items.list; item != nullptr; item = item->next) {
        if (item->key == nullptr || std::string_view(item->key) != "request")
            continue;
        if (item->value == nullptr)
            return std::nullopt;
        if (host == "undo" && std::string_view(item->value) == "last")
            return HandoffURL::undo(std::nullopt);
        const auto id = Uuid::parse(item->value);
        if (!id)
            return std::nullopt;
        return host == "undo" ? HandoffURL::undo(*id) : HandoffURL::send(*id);
    }
    return std::nullopt;
}

} // namespace

std::optional<Uuid> HandoffURL::requestID() const
{
    if (m_kind != Kind::send)
        return std::nullopt;
    return m_requestID;
}

std::optional<Uuid> HandoffURL::undoneRequestID() const
{
    if (m_kind != Kind::undo)
        return std::nullopt;
    return m_requestID;
}

std::string HandoffURL::url() const
{
    std::string text(scheme);
    switch (m_kind) {
    case Kind::settings: return text + "://settings";
    case Kind::send: return text + "://send?request=" + m_requestID.text();
    case Kind::undo: return text + "://undo?request=" + m_requestID.text();
    case Kind::undoLast: return text + "://undo?request=last";
    }
    return text;
}

std::optional<HandoffURL> HandoffURL::parse(std::string_view url)
{
    auto value = candidate(url);
    // Whatever the split tolerates, only the exact texts that building produces are accepted.
    if (!value || value->url() != url)
        return std::nullopt;
    return value;
}

} // namespace ambrevoli
