#pragma once

#include "error.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// What a send placed, as it was when placed: for each placed item, every entry of its tree with
// its identity, size and modification time. Written and read as a stream of lines, so a tree of
// any size is recorded and checked without holding it in memory. The same walk makes the
// record and checks it, in the same order: depth first, each folder's entries by their names'
// bytes.
//
// The file: "ambrevoli-undo 1", "label <text>", "destination <path>", then per item
// "item <path>" followed by one "e <type> <dev> <ino> <size> <mtime s> <mtime ns> <relative path>"
// per entry (the item itself first, as "."), or by "incomplete" when its entries could not all be
// recorded; "end" closes a whole record. Texts are escaped: "%", control bytes and DEL as %XX.

namespace ambrevoli {

struct PlacedEntry {
    enum class Type : char { file = 'f', folder = 'd', link = 'l', other = 'o' };

    std::string relativePath; // "." for the item itself
    Type type = Type::other;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeSeconds = 0;
    std::int64_t mtimeNanoseconds = 0;

    friend bool operator==(const PlacedEntry&, const PlacedEntry&) = default;
};

// Whether `now` is the entry `then` was: the same identity and type, and for anything but a
// folder the same size and modification time. A folder's own times and size change with what
// its file system does inside; its entries are compared one by one instead.
bool isUnchanged(const PlacedEntry& then, const PlacedEntry& now);

// Visits the entry `name` of the folder open as `parentFd`, then (for a folder, never through a
// link) everything inside it, depth first, each folder's entries in the byte order of their
// names. Stops early, successfully, when `visit` returns false. Fails with the errno of the
// first entry that could not be examined or folder that could not be read.
std::expected<void, SystemError>
walkPlaced(int parentFd, const std::string& name,
           const std::function<bool(const PlacedEntry&)>& visit);

// Writes a record, streaming, into a temporary file beside `path`; commit() puts it in place.
// Abandoned before commit, it removes the temporary file.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileOwner = std::unique_ptr<std::FILE, FileCloser>;

class PlacedRecordWriter {
public:
    // A record of at most `maxBytes`: the entries of items beyond are not recorded ("incomplete").
    static std::expected<PlacedRecordWriter, SystemError>
    create(std::string path, std::string_view label, std::string_view destination,
           std::size_t maxBytes);

    PlacedRecordWriter(PlacedRecordWriter&&) noexcept = default;
    PlacedRecordWriter& operator=(PlacedRecordWriter&&) = delete;
    ~PlacedRecordWriter();

    // Records the placed item at the absolute `path` by walking it. An item that can't be walked
    // whole is recorded as incomplete; only a failure to write the record fails.
    std::expected<void, SystemError> addItem(const std::string& path);

    std::expected<void, SystemError> commit();

private:
    PlacedRecordWriter() = default;
    std::expected<void, SystemError> put(std::string_view line);

    std::string m_path;
    std::string m_temporary;
    FileOwner m_file;
    std::size_t m_written = 0;
    std::size_t m_maxBytes = 0;
    bool m_full = false;
};

// Reads a record back, one item at a time; its entries follow as nextEntry() yields them.
class PlacedRecordReader {
public:
    // Fails with the errno, or EBADMSG for a file that doesn't start as a record does.
    static std::expected<PlacedRecordReader, SystemError> open(const std::string& path);

    const std::string& label() const { return m_label; }
    const std::string& destination() const { return m_destination; }

    // The next item's path, skipping what is left of the current one's entries; none at the
    // end of the record. A record cut short (a crash while it was written) ends there.
    std::optional<std::string> nextItem();
    // The current item's next entry; none after its last one, and for an incomplete item.
    std::optional<PlacedEntry> nextEntry();
    // Whether the current item was recorded whole (known once its entries were read).
    bool itemIncomplete() const { return m_incomplete; }

private:
    PlacedRecordReader() = default;
    bool readLine();

    FileOwner m_file;
    std::string m_line;
    bool m_lineHeld = false;
    bool m_incomplete = false;
    std::string m_label;
    std::string m_destination;
};

// What became of one placed item since it was recorded.
enum class PlacedState {
    unchanged, // everything as recorded: it may be taken back
    changed,   // the same item, but it (or something inside) changed
    replaced,  // another item now has its name
    gone,      // nothing has its name any more: renamed, moved or removed
    unchecked, // it was not recorded whole, or could not be examined now
};

// Compares the entry `name` of the folder open as `parentFd` with the item the reader is at,
// reading its entries as it goes. `error` gets the errno for unchecked, when there was one.
PlacedState checkPlaced(int parentFd, const std::string& name, PlacedRecordReader& reader,
                        int* error = nullptr);

} // namespace ambrevoli
