#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ambrevoli::testing {

// The bytes slow_source_fs serves for a file: a fixed function of the file's name and the offset,
// the same on every read and in every run, and different between names and between offsets (a
// copy that swapped two files, dropped a block or repeated one does not match). Shared by the
// program and by the tests that check a copy of what it served.
class SlowSourceContent {
public:
    explicit SlowSourceContent(std::string_view name)
    {
        // FNV-1a: only the seed has to differ between names.
        m_seed = 14695981039346656037ull;
        for (const char c : name) {
            m_seed ^= static_cast<unsigned char>(c);
            m_seed *= 1099511628211ull;
        }
    }

    // Fills `out` with the bytes from `offset` on.
    void fill(std::uint64_t offset, std::span<char> out) const
    {
        std::uint64_t word = 0;
        std::uint64_t wordIndex = ~std::uint64_t{0};
        for (char& byte : out) {
            if (offset / 8 != wordIndex) {
                wordIndex = offset / 8;
                word = mix(m_seed + wordIndex);
            }
            byte = static_cast<char>(word >> (8 * (offset % 8)));
            ++offset;
        }
    }

private:
    // splitmix64's finaliser: neighbouring words share no visible pattern.
    static std::uint64_t mix(std::uint64_t x)
    {
        x += 0x9e3779b97f4a7c15ull;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
        return x ^ (x >> 31);
    }

    std::uint64_t m_seed;
};

} // namespace ambrevoli::testing
