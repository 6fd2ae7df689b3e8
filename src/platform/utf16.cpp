#include "platform/utf16.hpp"

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

} // namespace launcher
