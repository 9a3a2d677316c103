#pragma once
// Text from strangers (a server's answer, the tags of a description or a
// music file) made safe to print on a terminal: an escape sequence inside it
// could clear the screen, retitle the window or fake other output.

#include <cstddef>
#include <string>
#include <string_view>

namespace wk {

// `text` with every control character replaced by '?': the C0 range (TAB and
// line ends included), DEL, and C1 (U+0080..U+009F as UTF-8, or as a lone
// byte, which some terminals take for CSI). Other bytes, UTF-8 and Latin-1
// letters alike, stay as they are.
std::string PrintableText(std::string_view text);

// What a terminal line may show of a server's answer: its first line,
// printable, cut to `maxChars` with "..." when longer.
inline constexpr size_t kScreenLineChars = 72;
std::string ScreenLine(std::string_view text, size_t maxChars = kScreenLineChars);

}  // namespace wk
