#include "destination_library.h"

#include "date_time.h"
#include "file_util.h"
#include "paths.h"

#include <algorithm>

namespace ambrevoli {

DestinationLibrary::DestinationLibrary(std::string file) : m_file(std::move(file)) { reload(); }

void DestinationLibrary::reload()
{
    auto loaded = DestinationStore::load(m_file);
    if (loaded) {
        m_store = std::move(*loaded);
        m_loadError.reset();
    } else {
        m_store = DestinationStore();
        m_loadError = loaded.error();
    }
}

std::expected<bool, DestinationStore::SaveFailure> DestinationLibrary::update(const Edit& edit)
{
    if (m_loadError)
        return false;
    DestinationStore edited = m_store;
    edit(edited);
    if (edited == m_store)
        return false;
    if (auto saved = edited.save(m_file); !saved)
        return std::unexpected(saved.error());
    m_store = std::move(edited);
    return true;
}

std::optional<std::string> DestinationLibrary::setAsideName(double now)
{
    auto stamp = internetDateTime(now);
    if (!stamp)
        return std::nullopt;
    std::ranges::replace(*stamp, ':', '-');
    return "destinations-unreadable-" + *stamp + ".json";
}

std::expected<std::optional<std::string>, SystemError> DestinationLibrary::startFresh(double now)
{
    if (!m_loadError)
        return std::nullopt;

    std::expected<void, SystemError> moved;
    std::string target;
    if (const auto name = setAsideName(now)) {
        target = joinPath(parentPath(m_file), *name);
        moved = renameWithoutReplacing(m_file, target);
    } else {
        moved = std::unexpected(SystemError{EINVAL});
    }

    reload();
    if (!moved)
        return std::unexpected(moved.error());
    return target;
}

} // namespace ambrevoli
