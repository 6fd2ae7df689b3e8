#include "windows/grow_buffer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Behaves like GetModuleFileName on Wine or XP: a text that does not fit is
// cut to the buffer with no NUL after it, and the count equals the buffer size.
struct fake_module_name {
    std::u16string text;
    std::vector<std::size_t> sizes_seen;

    std::size_t operator()(char16_t* buffer, std::size_t size)
    {
        sizes_seen.push_back(size);
        std::fill(buffer, buffer + size, u'#');
        std::size_t const copied = std::min(text.size(), size);
        std::copy_n(text.begin(), copied, buffer);
        if (copied < size)
            buffer[copied] = u'\0';
        return copied;
    }
};

TEST(GrowBuffer, RetriesUntilTheWholeTextFits)
{
    const struct {
        std::size_t length;
        std::vector<std::size_t> sizes;
    } cases[] = {
        {0, {4}},                 // an empty answer is a failure, not an empty text
        {3, {4}},    {4, {4, 8}}, // as long as the buffer: possibly cut, so retried
        {5, {4, 8}}, {17, {4, 8, 16, 32}}, {300, {4, 8, 16, 32, 64, 128, 256, 512}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::u16string text;
        for (std::size_t i = 0; i < c.length; ++i)
            text += static_cast<char16_t>(u'a' + i % 26);
        fake_module_name fake{text, {}};

        auto const result = launcher::windows::read_growing<char16_t>(std::ref(fake), 4);

        EXPECT_EQ(fake.sizes_seen, c.sizes);
        if (c.length == 0)
            EXPECT_FALSE(result);
        else
            EXPECT_EQ(result, text);
    }
}

TEST(GrowBuffer, GivesUpOnATextThatNeverFits)
{
    std::size_t calls = 0;
    auto const result = launcher::windows::read_growing<char>(
        [&](char*, std::size_t size) {
            ++calls;
            return size;
        },
        4);
    EXPECT_FALSE(result);
    EXPECT_EQ(calls, 15u); // 4 .. 65536
}

} // namespace
