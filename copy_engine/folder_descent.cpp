#include "folder_descent.h"

#include "dir_listing.h"

namespace ambrevoli {

int readEntries(int fd, Entries& entries)
{
    auto listing = DirListing::open(fd);
    if (!listing)
        return listing.error().code;
    while (const dirent* entry = listing->next())
        entries.add(entry->d_name, entry->d_type);
    return listing->error() ? listing->error()->code : 0;
}

} // namespace ambrevoli
