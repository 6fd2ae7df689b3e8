#include "text/utf16.hpp"

#include <boost/locale/encoding_utf.hpp>

namespace launcher {
namespace {

constexpr bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// utf_to_utf drops a high surrogate together with whatever unit follows it,
// which would swallow a blank or a double quote of a command line. Removing
// the unpaired surrogates first leaves it only valid pairs to decode.
std::u16string without_unpaired_surrogates(std::u16string_view text)
{
    std::u16string kept;
    kept.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t const unit = text[i];
        if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            kept += unit;
            kept += text[++i];
        } else if (!is_high_surrogate(unit) && !is_low_surrogate(unit)) {
            kept += unit;
        }
    }
    return kept;
}

} // namespace

std::string to_utf8(std::u16string_view text)
{
    std::u16string const valid = without_unpaired_surrogates(text);
    return boost::locale::conv::utf_to_utf<char>(valid.data(), valid.data() + valid.size());
}

std::u16string to_utf16(std::string_view text)
{
    return boost::locale::conv::utf_to_utf<char16_t>(text.data(), text.data() + text.size());
}

// Everything but the unpaired surrogates goes through the conversions above.
std::string path_to_utf8(std::u16string_view path)
{
    std::string text;
    std::size_t run = 0; // where the text not yet converted begins
    for (std::size_t i = 0; i < path.size(); ++i) {
        char16_t const unit = path[i];
        if (is_high_surrogate(unit) && i + 1 < path.size() && is_low_surrogate(path[i + 1])) {
            ++i;
        } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            text += to_utf8(path.substr(run, i - run));
            text += static_cast<char>(0xE0 | (unit >> 12));
            text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
            run = i + 1;
        }
    }
    return text + to_utf8(path.substr(run));
}

std::u16string path_to_utf16(std::string_view path)
{
    std::u16string units;
    std::size_t run = 0;
    // A surrogate's three bytes: ED, then A0 to BF, then a continuation byte.
    // UTF-8 has no such sequence, so nothing valid is taken for one.
    for (std::size_t i = 0; i + 2 < path.size(); ++i) {
        auto const byte = [&](std::size_t at) { return static_cast<unsigned char>(path[at]); };
        if (byte(i) == 0xED && byte(i + 1) >= 0xA0 && byte(i + 1) <= 0xBF &&
            (byte(i + 2) & 0xC0) == 0x80) {
            units += to_utf16(path.substr(run, i - run));
            units += static_cast<char16_t>(0xD000 | ((byte(i + 1) & 0x3F) << 6) |
                                           (byte(i + 2) & 0x3F));
            i += 2;
            run = i + 1;
        }
    }
    return units + to_utf16(path.substr(run));
}

} // namespace launcher
