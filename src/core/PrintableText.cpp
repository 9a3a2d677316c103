#include "core/PrintableText.h"

namespace wk {
namespace {

// Length of the well-formed UTF-8 sequence at `at` (2..4), or 0.
size_t Utf8Length(std::string_view s, size_t at) {
    const auto lead = static_cast<unsigned char>(s[at]);
    size_t n = 0;
    if (lead >= 0xC2 && lead <= 0xDF) n = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) n = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) n = 4;
    if (n == 0 || at + n > s.size()) return 0;
    for (size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(s[at + i]) & 0xC0) != 0x80) return 0;
    return n;
}

}  // namespace

std::string PrintableText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            out += '?';
            ++i;
            continue;
        }
        if (byte < 0x80) {
            out += text[i++];
            continue;
        }
        const size_t n = Utf8Length(text, i);
        if (n == 0) {
            out += byte < 0xA0 ? '?' : text[i];  // Latin-1 letters stay
            ++i;
            continue;
        }
        const bool c1 = byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (c1) {
            out += '?';
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

std::string ScreenLine(std::string_view text, size_t maxChars) {
    const size_t end = text.find_first_of("\r\n");
    std::string_view first = text.substr(0, end);
    const bool cut = first.size() > maxChars;
    if (cut) first = first.substr(0, maxChars > 3 ? maxChars - 3 : 0);
    std::string line = PrintableText(first);
    if (cut) line += "...";
    return line;
}

}  // namespace wk
