#include "wire_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace ambrevoli {
namespace {

using namespace std::string_literals;
using State = FrameReader::State;

// However the bytes are cut into pieces, the reader finds the same message and the same rest.
TEST(FrameReaderTest, ReadsTheMessageInPiecesOfAnySize)
{
    const std::string message = "AMBV1\0a0\0"s + std::string(300, 'u') + '\0';
    const std::string bytes = framed(message) + "c";
    for (std::size_t piece = 1; piece <= bytes.size(); ++piece) {
        FrameReader reader(1 << 20);
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            const bool whole = std::min(at + piece, bytes.size()) >= framed(message).size();
            EXPECT_EQ(reader.feed(std::string_view(bytes).substr(at, piece)),
                      whole ? State::complete : State::incomplete)
                << "pieces of " << piece << " at " << at;
        }
        EXPECT_EQ(reader.message(), message) << "pieces of " << piece;
        EXPECT_EQ(reader.rest(), "c") << "pieces of " << piece;
    }
}

TEST(FrameReaderTest, KeepsToItsLimit)
{
    const struct {
        const char* name;
        std::string bytes;
        std::size_t maxSize;
        State state;
        std::string message, rest;
    } cases[] = {
        {"nothing yet", "", 8, State::incomplete, "", ""},
        {"part of the length", "\0\0"s, 8, State::incomplete, "", ""},
        {"an empty message", "\0\0\0\0"s, 8, State::complete, "", ""},
        {"as large as allowed", "\0\0\0\x08" "12345678c"s, 8, State::complete, "12345678", "c"},
        // Refused on the length alone, before the rest arrives.
        {"one byte too large", "\0\0\0\x09"s, 8, State::oversized, "", ""},
        {"the length's high byte", "\x01\0\0\0"s, 8, State::oversized, "", ""},
        {"the largest length", "\xff\xff\xff\xff"s, 1 << 20, State::oversized, "", ""},
    };
    for (const auto& c : cases) {
        FrameReader reader(c.maxSize);
        EXPECT_EQ(reader.feed(c.bytes), c.state) << c.name;
        EXPECT_EQ(reader.state(), c.state) << c.name;
        EXPECT_EQ(reader.message(), c.message) << c.name;
        EXPECT_EQ(reader.rest(), c.rest) << c.name;
    }
}

TEST(FrameReaderTest, WhatComesAfterTheEndStaysOutOfTheMessage)
{
    FrameReader complete(8);
    EXPECT_EQ(complete.feed("\0\0\0\x02" "ab"s), State::complete);
    EXPECT_EQ(complete.feed("\0\0\0\x01x"s), State::complete);
    EXPECT_EQ(complete.message(), "ab");
    EXPECT_EQ(complete.rest(), "\0\0\0\x01x"s);

    FrameReader oversized(8);
    EXPECT_EQ(oversized.feed("\0\0\1\0"s), State::oversized);
    EXPECT_EQ(oversized.feed("\0\0\0\x02" "ab"s), State::oversized);
    EXPECT_EQ(oversized.message(), "");
}

} // namespace
} // namespace ambrevoli
