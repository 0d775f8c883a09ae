#include "placed_record.h"

#include "folder_descent.h"
#include "paths.h"
#include "percent_encoding.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ambrevoli {

namespace {

constexpr std::string_view magic = "ambrevoli-undo 1";

// Control characters and '%' escaped: a record's line holds any name on one line.
bool printable(unsigned char c) { return c >= 0x20 && c != 0x7F; }

std::string escaped(std::string_view text) { return percentEncoded(text, printable); }

PlacedEntry entryOf(const struct stat& info, std::string relativePath)
{
    PlacedEntry entry;
    entry.relativePath = std::move(relativePath);
    entry.type = S_ISREG(info.st_mode)   ? PlacedEntry::Type::file
                 : S_ISDIR(info.st_mode) ? PlacedEntry::Type::folder
                 : S_ISLNK(info.st_mode) ? PlacedEntry::Type::link
                                         : PlacedEntry::Type::other;
    entry.device = info.st_dev;
    entry.inode = info.st_ino;
    entry.size = info.st_size;
    entry.mtimeSeconds = info.st_mtim.tv_sec;
    entry.mtimeNanoseconds = info.st_mtim.tv_nsec;
    return entry;
}

std::string entryLine(const PlacedEntry& e)
{
    return "e " + std::string(1, static_cast<char>(e.type)) + " " + std::to_string(e.device) +
           " " + std::to_string(e.inode) + " " + std::to_string(e.size) + " " +
           std::to_string(e.mtimeSeconds) + " " + std::to_string(e.mtimeNanoseconds) + " " +
           escaped(e.relativePath) + "\n";
}

template <class T> bool number(std::string_view& text, T& value)
{
    const auto space = text.find(' ');
    if (space == std::string_view::npos)
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + space, value);
    if (error != std::errc() || end != text.data() + space)
        return false;
    text.remove_prefix(space + 1);
    return true;
}

std::optional<PlacedEntry> parseEntry(std::string_view line)
{
    if (line.size() < 4 || !line.starts_with("e ") || line[3] != ' ')
        return std::nullopt;
    PlacedEntry entry;
    switch (line[2]) {
    case 'f': entry.type = PlacedEntry::Type::file; break;
    case 'd': entry.type = PlacedEntry::Type::folder; break;
    case 'l': entry.type = PlacedEntry::Type::link; break;
    case 'o': entry.type = PlacedEntry::Type::other; break;
    default: return std::nullopt;
    }
    line.remove_prefix(4);
    if (!number(line, entry.device) || !number(line, entry.inode) || !number(line, entry.size) ||
        !number(line, entry.mtimeSeconds) || !number(line, entry.mtimeNanoseconds))
        return std::nullopt;
    auto path = percentDecoded(line);
    if (!path || path->empty())
        return std::nullopt;
    entry.relativePath = std::move(*path);
    return entry;
}

// A folder of the placed item: its entries, in the order of their names so that a record and a
// later walk meet entry by entry, and its path from the item.
struct PlacedLevel : DescentLevel {
    std::string prefix; // "" for the item itself
};

constexpr int folderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::expected<PlacedLevel, SystemError> listLevel(int fd, std::string prefix)
{
    PlacedLevel level;
    level.prefix = std::move(prefix);
    if (const int error = readEntries(fd, level.entries))
        return std::unexpected(SystemError::fromErrno(error));
    std::sort(level.entries.list.begin(), level.entries.list.end(),
              [&](const Entries::Entry& a, const Entries::Entry& b) {
                  return std::strcmp(level.entries.name(a), level.entries.name(b)) < 0;
              });
    return level;
}

} // namespace

bool isUnchanged(const PlacedEntry& then, const PlacedEntry& now)
{
    if (then.relativePath != now.relativePath || then.type != now.type ||
        then.device != now.device || then.inode != now.inode)
        return false;
    if (then.type == PlacedEntry::Type::folder)
        return true;
    return then.size == now.size && then.mtimeSeconds == now.mtimeSeconds &&
           then.mtimeNanoseconds == now.mtimeNanoseconds;
}

std::expected<void, SystemError>
walkPlaced(int parentFd, const std::string& name,
           const std::function<bool(const PlacedEntry&)>& visit)
{
    struct stat info {};
    if (::fstatat(parentFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return std::unexpected(SystemError::last());
    if (!visit(entryOf(info, ".")))
        return {};
    if (!S_ISDIR(info.st_mode))
        return {};
    UniqueFd top(::openat(parentFd, name.c_str(), folderOpenFlags));
    if (!top)
        return std::unexpected(SystemError::last());
    auto first = listLevel(top.get(), "");
    if (!first)
        return std::unexpected(first.error());
    // Bounded descriptors however deep the item goes, as when it was copied.
    FolderDescent<PlacedLevel> descent({std::move(top)}, std::move(*first), folderOpenFlags);
    while (!descent.finished()) {
        PlacedLevel& level = descent.deepest();
        const Entries::Entry* entry = level.take();
        if (!entry) {
            descent.up();
            continue;
        }
        const int folder = descent.folder();
        if (folder < 0)
            return std::unexpected(SystemError::last());
        const std::string child = level.entries.name(*entry);
        const std::string relative = level.prefix.empty() ? child : level.prefix + "/" + child;
        if (::fstatat(folder, child.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return std::unexpected(SystemError::last());
        if (!visit(entryOf(info, relative)))
            return {};
        if (S_ISDIR(info.st_mode)) {
            UniqueFd inner(::openat(folder, child.c_str(), folderOpenFlags));
            if (!inner)
                return std::unexpected(SystemError::last());
            auto innerLevel = listLevel(inner.get(), relative);
            if (!innerLevel)
                return std::unexpected(innerLevel.error());
            if (const int error = descent.down({std::move(inner)}, child, std::move(*innerLevel)))
                return std::unexpected(SystemError::fromErrno(error));
        }
    }
    return {};
}

// --- writing

std::expected<PlacedRecordWriter, SystemError>
PlacedRecordWriter::create(std::string path, std::string_view label,
                           std::string_view destination, std::size_t maxBytes)
{
    PlacedRecordWriter writer;
    writer.m_temporary = joinPath(parentPath(path), "." + lastComponent(path) + ".partial");
    writer.m_path = std::move(path);
    writer.m_maxBytes = maxBytes;
    UniqueFd fd(::open(writer.m_temporary.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return std::unexpected(SystemError::last());
    writer.m_file.reset(::fdopen(fd.get(), "w"));
    if (!writer.m_file)
        return std::unexpected(SystemError::last());
    fd.release();
    if (auto put = writer.put(std::string(magic) + "\nlabel " + escaped(label) +
                              "\ndestination " + escaped(destination) + "\n");
        !put)
        return std::unexpected(put.error());
    return writer;
}

PlacedRecordWriter::~PlacedRecordWriter()
{
    // Never committed: what was written is no record.
    if (m_file) {
        m_file.reset();
        ::unlink(m_temporary.c_str());
    }
}

std::expected<void, SystemError> PlacedRecordWriter::put(std::string_view line)
{
    if (std::fwrite(line.data(), 1, line.size(), m_file.get()) != line.size())
        return std::unexpected(SystemError::last());
    m_written += line.size();
    return {};
}

std::expected<void, SystemError> PlacedRecordWriter::addItem(const std::string& path)
{
    if (auto put = this->put("item " + escaped(path) + "\n"); !put)
        return put;
    if (m_full)
        return put("incomplete\n");
    const UniqueFd parent(
        ::open(parentPath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent)
        return put("incomplete\n");
    std::expected<void, SystemError> written;
    const auto walked = walkPlaced(parent.get(), lastComponent(path), [&](const PlacedEntry& e) {
        const std::string line = entryLine(e);
        if (m_written + line.size() > m_maxBytes) {
            m_full = true;
            return false;
        }
        written = put(line);
        return written.has_value();
    });
    if (!written)
        return written;
    if (!walked || m_full)
        return put("incomplete\n");
    return {};
}

std::expected<void, SystemError> PlacedRecordWriter::commit()
{
    if (auto put = this->put("end\n"); !put)
        return put;
    std::FILE* file = m_file.release();
    const bool flushed = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    const int e = errno;
    if (std::fclose(file) != 0 || !flushed) {
        ::unlink(m_temporary.c_str());
        return std::unexpected(SystemError::fromErrno(flushed ? errno : e));
    }
    if (::rename(m_temporary.c_str(), m_path.c_str()) != 0) {
        const SystemError error = SystemError::last();
        ::unlink(m_temporary.c_str());
        return std::unexpected(error);
    }
    return {};
}

// --- reading

std::expected<PlacedRecordReader, SystemError> PlacedRecordReader::open(const std::string& path)
{
    PlacedRecordReader reader;
    reader.m_file.reset(std::fopen(path.c_str(), "re"));
    if (!reader.m_file)
        return std::unexpected(SystemError::last());
    if (!reader.readLine() || reader.m_line != magic)
        return std::unexpected(SystemError{EBADMSG});
    for (auto [key, field] : {std::pair{"label ", &reader.m_label},
                              std::pair{"destination ", &reader.m_destination}}) {
        if (!reader.readLine() || !reader.m_line.starts_with(key))
            return std::unexpected(SystemError{EBADMSG});
        auto text = percentDecoded(std::string_view(reader.m_line).substr(std::strlen(key)));
        if (!text)
            return std::unexpected(SystemError{EBADMSG});
        *field = std::move(*text);
    }
    return reader;
}

bool PlacedRecordReader::readLine()
{
    if (m_lineHeld) {
        m_lineHeld = false;
        return true;
    }
    char* buffer = nullptr;
    std::size_t capacity = 0;
    const ssize_t length = ::getline(&buffer, &capacity, m_file.get());
    const std::unique_ptr<char, decltype(&std::free)> owner(buffer, &std::free);
    // A line without its newline was cut short by a crash: the record ends before it.
    if (length <= 0 || buffer[length - 1] != '\n')
        return false;
    m_line.assign(buffer, static_cast<std::size_t>(length - 1));
    return true;
}

std::optional<std::string> PlacedRecordReader::nextItem()
{
    while (readLine()) {
        if (m_line.starts_with("item ")) {
            m_incomplete = false;
            return percentDecoded(std::string_view(m_line).substr(5));
        }
        if (m_line == "end")
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<PlacedEntry> PlacedRecordReader::nextEntry()
{
    if (!readLine())
        return std::nullopt;
    if (m_line == "incomplete") {
        m_incomplete = true;
        return std::nullopt;
    }
    auto entry = parseEntry(m_line);
    if (!entry) {
        // An item line or the end: it belongs to whoever reads next.
        m_lineHeld = true;
        return std::nullopt;
    }
    return entry;
}

PlacedState checkPlaced(int parentFd, const std::string& name, PlacedRecordReader& reader,
                        int* error)
{
    const auto first = reader.nextEntry();
    if (!first)
        return PlacedState::unchecked;
    struct stat info {};
    if (::fstatat(parentFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return PlacedState::gone;
        if (error)
            *error = errno;
        return PlacedState::unchecked;
    }
    if (info.st_dev != first->device || info.st_ino != first->inode)
        return PlacedState::replaced;

    bool same = true;
    bool started = false;
    const auto walked = walkPlaced(parentFd, name, [&](const PlacedEntry& now) {
        const auto then = started ? reader.nextEntry() : first;
        started = true;
        same = then && isUnchanged(*then, now);
        return same;
    });
    if (!walked) {
        // Something inside vanished while it was looked at: that is a change too.
        if (walked.error().code == ENOENT)
            return PlacedState::changed;
        if (error)
            *error = walked.error().code;
        return PlacedState::unchecked;
    }
    if (!same)
        return reader.itemIncomplete() ? PlacedState::unchecked : PlacedState::changed;
    // Anything recorded beyond what is there now was removed since.
    if (reader.nextEntry())
        return PlacedState::changed;
    return reader.itemIncomplete() ? PlacedState::unchecked : PlacedState::unchanged;
}

} // namespace ambrevoli
