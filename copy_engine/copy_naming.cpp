#include "copy_naming.h"

#include "json_text.h"
#include "log.h"
#include "paths.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace ambrevoli {

namespace {

constexpr std::size_t maxNameBytes = 255;
constexpr int attemptLimit = 10000;

// The name's length as the file systems that store names decomposed count it, and never less
// than the bytes stored here: a few characters (U+2126 OHM SIGN) get shorter when decomposed.
std::size_t nameLength(const std::string& name)
{
    if (!isValidUtf8(name))
        return name.size();
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status))
        return name.size();
    std::string decomposed;
    icu::StringByteSink<std::string> sink(&decomposed);
    nfd->normalizeUTF8(0, icu::StringPiece(name.data(), static_cast<int32_t>(name.size())), sink,
                       nullptr, status);
    if (U_FAILURE(status))
        return name.size();
    return std::max(decomposed.size(), name.size());
}

// Byte offsets at which the characters of `text` begin, and its end: 0, …, text.size().
// Characters are grapheme clusters; bytes that are not UTF-8 count one each.
std::vector<std::size_t> characterBoundaries(const std::string& text)
{
    std::vector<std::size_t> bounds;
    UErrorCode status = U_ZERO_ERROR;
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_SUCCESS(status)) {
        it->setText(utext, status);
        for (int32_t at = it->first(); U_SUCCESS(status) && at != icu::BreakIterator::DONE;
             at = it->next())
            bounds.push_back(static_cast<std::size_t>(at));
    }
    utext_close(utext);
    if (U_SUCCESS(status) && !bounds.empty() && bounds.back() == text.size())
        return bounds;

    // Without the break iterator, fall back to code points.
    bounds.clear();
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            bounds.push_back(i);
    if (bounds.empty() || bounds.front() != 0)
        bounds.insert(bounds.begin(), 0);
    bounds.push_back(text.size());
    return bounds;
}

} // namespace

CopyNamer::CopyNamer(std::string name, bool keepWhole) : m_original(std::move(name))
{
    const auto dot = m_original.rfind('.');
    const bool split =
        !keepWhole && dot != std::string::npos && dot > 0 && dot + 1 < m_original.size();
    if (split) {
        m_base = m_original.substr(0, dot);
        m_suffix = m_original.substr(dot);
    } else {
        m_base = m_original;
    }
}

std::string CopyNamer::candidateName(int attempt) const
{
    if (attempt < 1)
        return m_original;
    const std::string tail = " " + std::to_string(attempt + 1) + m_suffix;
    std::string base = m_base;
    if (nameLength(base + tail) > maxNameBytes) {
        const auto bounds = characterBoundaries(base);
        std::size_t keep = bounds.size() - 1;
        while (keep > 0 && nameLength(base.substr(0, bounds[keep]) + tail) > maxNameBytes)
            --keep;
        base.resize(bounds[keep]);
    }
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    return base + tail;
}

std::expected<void, SystemError> plainRename(const std::string& from, const std::string& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0)
        return std::unexpected(SystemError::last());
    return {};
}

std::expected<void, SystemError> placeCopy(const std::string& from, const std::string& to,
                                           ExclusiveRename rename, PlainRename plain)
{
    auto renamed = rename(from, to);
    if (renamed || !exclusiveRenameUnsupported(renamed.error()))
        return renamed;

    // No exclusive rename on this volume: claim the name with an empty placeholder, which only
    // an exclusive create can make, then let the plain rename replace it.
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0)
        return std::unexpected(SystemError{errno});
    const bool folder = S_ISDIR(info.st_mode);
    if (folder) {
        if (::mkdir(to.c_str(), 0700) != 0)
            return std::unexpected(SystemError{errno});
    } else {
        UniqueFd placeholder(
            ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!placeholder)
            return std::unexpected(SystemError{errno});
    }
    auto moved = plain(from, to);
    if (moved)
        return {};
    if ((folder ? ::rmdir(to.c_str()) : ::unlink(to.c_str())) != 0) {
        logger("copy").log(LogLevel::error, "Couldn't remove a name placeholder: errno ", errno);
        return moved;
    }
    // rename(2) replaces a file, and an empty folder, wherever it may: EEXIST over the
    // placeholder just made says this volume's rename never replaces, which makes it the
    // exclusive rename the volume lacked. Nothing has the name now unless another took it since,
    // and then this rename fails too.
    if (moved.error().code == EEXIST)
        return plain(from, to);
    return moved;
}

std::expected<std::string, SystemError> placeUnderFreeName(const std::string& temporary,
                                                           const std::string& destination,
                                                           const CopyNamer& namer,
                                                           ExclusiveRename rename,
                                                           PlainRename plain)
{
    for (int attempt = 0; attempt < attemptLimit; ++attempt) {
        std::string candidate = joinPath(destination, namer.candidateName(attempt));
        auto placed = placeCopy(temporary, candidate, rename, plain);
        if (placed)
            return candidate;
        if (placed.error().code != EEXIST)
            return std::unexpected(placed.error());
    }
    return std::unexpected(SystemError{EEXIST});
}

} // namespace ambrevoli
