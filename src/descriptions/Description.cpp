#include "descriptions/Description.h"

#include <algorithm>
#include <charconv>

namespace wk {
namespace {

constexpr char kFieldSeparator = '\t';
constexpr size_t kRequiredFields = 9;
constexpr size_t kFlagField = 9;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t begin = 0;
    while (true) {
        const size_t tab = line.find(kFieldSeparator, begin);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(begin));
            return fields;
        }
        fields.push_back(line.substr(begin, tab - begin));
        begin = tab + 1;
    }
}

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// Like atoi, but a value beyond the int32 range is clamped instead of being
// undefined behaviour.
int32_t ParseGenre(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) break;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// The whole text must be a decimal int64; anything else counts as 0.
int64_t ParseOffset(std::string_view text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end) return 0;
    return value;
}

// Times read from a file can be anything; wrapping keeps garbage from
// becoming undefined behaviour.
StreamTime WrappingSub(StreamTime a, StreamTime b) {
    return static_cast<StreamTime>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

// The format has no quoting, so a TAB, CR or LF inside a text would split
// the record: each is written as a blank.
void AppendText(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const size_t bad = text.find_first_of("\t\r\n");
        out.append(text.substr(0, bad));
        if (bad == std::string_view::npos) return;
        out += ' ';
        text.remove_prefix(bad + 1);
    }
}

int AlphabetIndex(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Appends the whole bytes that `count` sextets (2 to 4) carry.
void AppendGroup(std::vector<uint8_t>& out, const int (&sextets)[4], int count) {
    if (count < 2) return;
    const uint32_t bits = (static_cast<uint32_t>(sextets[0]) << 18) |
                          (static_cast<uint32_t>(sextets[1]) << 12) |
                          (static_cast<uint32_t>(sextets[2]) << 6) |
                          static_cast<uint32_t>(sextets[3]);
    out.push_back(static_cast<uint8_t>(bits >> 16));
    if (count >= 3) out.push_back(static_cast<uint8_t>(bits >> 8));
    if (count >= 4) out.push_back(static_cast<uint8_t>(bits));
}

}  // namespace

// Out-of-range fields roll over ("99:99:00" is the next day's 04:39), and
// at the end of 31/12/9999 into a five-digit year that could not be written
// back as read: such a time is held at the last moment a line can carry.
static StreamTime ReadTime(std::string_view field) {
    static const StreamTime last = DateTime(9999, 12, 31, 23, 59, 59, 999).ToStreamTime();
    return std::min(DateTime::ParseLongText(field).ToStreamTime(), last);
}

void Description::FromLine(std::string_view line) {
    // The reader accepts CR LF and LF line ends.
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    artist.clear();
    title.clear();
    album.clear();
    year.clear();
    comment.clear();
    genre = -1;
    fingerprint.clear();
    fingerprintTime = 0;
    notIdentified = false;
    start = 0;
    end = 0;

    const std::vector<std::string_view> fields = SplitFields(line);
    if (fields.size() < kRequiredFields) return;

    start = ReadTime(fields[0]);
    end = ReadTime(fields[1]);
    artist.assign(fields[2]);
    title.assign(fields[3]);
    album.assign(fields[4]);
    year.assign(fields[5]);
    comment.assign(fields[6]);
    genre = fields[7].empty() ? -1 : ParseGenre(fields[7]);

    const std::string_view print = fields[8];
    const size_t colon = print.find(':');
    if (colon != std::string_view::npos && colon + 1 < print.size()) {
        fingerprint.assign(print.substr(colon + 1));
        fingerprintTime = WrappingSub(start, ParseOffset(print.substr(0, colon)));
    }

    if (fields.size() > kFlagField) notIdentified = Trim(fields[kFlagField]) == "1";
}

std::string Description::ToLine() const {
    std::string line;
    line.reserve(64 + artist.size() + title.size() + album.size() + year.size() + comment.size() +
                 fingerprint.size());
    line += DateTime::FromStreamTime(start).LongText();
    line += kFieldSeparator;
    line += DateTime::FromStreamTime(end).LongText();
    for (const std::string* text : {&artist, &title, &album, &year, &comment}) {
        line += kFieldSeparator;
        AppendText(line, *text);
    }
    line += kFieldSeparator;
    if (genre != -1) line += std::to_string(genre);
    line += kFieldSeparator;
    if (!fingerprint.empty()) {
        line += std::to_string(WrappingSub(start, fingerprintTime));
        line += ':';
        AppendText(line, fingerprint);
    }
    line += kFieldSeparator;
    line += notIdentified ? '1' : '0';
    return line;
}

bool Description::SameContent(const Description& other) const {
    return artist == other.artist && title == other.title && album == other.album &&
           year == other.year && comment == other.comment && genre == other.genre &&
           fingerprint == other.fingerprint && fingerprintTime == other.fingerprintTime &&
           start == other.start && end == other.end && notIdentified == other.notIdentified;
}

std::vector<uint8_t> Description::FingerprintBytes() const { return Base64Decode(fingerprint); }

std::string Base64Encode(std::span<const uint8_t> bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t bits = (static_cast<uint32_t>(bytes[i]) << 16) |
                              (static_cast<uint32_t>(bytes[i + 1]) << 8) | bytes[i + 2];
        text += kAlphabet[(bits >> 18) & 63];
        text += kAlphabet[(bits >> 12) & 63];
        text += kAlphabet[(bits >> 6) & 63];
        text += kAlphabet[bits & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t bits = static_cast<uint32_t>(bytes[i]) << 16;
        if (rest == 2) bits |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        text += kAlphabet[(bits >> 18) & 63];
        text += kAlphabet[(bits >> 12) & 63];
        text += rest == 2 ? kAlphabet[(bits >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

std::vector<uint8_t> Base64Decode(std::string_view text) {
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    int sextets[4] = {0, 0, 0, 0};
    int count = 0;
    for (const char c : text) {
        if (c == '=') {
            // Padding ends the group and the data.
            for (int k = count; k < 4; ++k) sextets[k] = 0;
            AppendGroup(bytes, sextets, count);
            return bytes;
        }
        const int index = AlphabetIndex(static_cast<unsigned char>(c));
        if (index < 0) continue;
        sextets[count++] = index;
        if (count == 4) {
            AppendGroup(bytes, sextets, 4);
            count = 0;
        }
    }
    for (int k = count; k < 4; ++k) sextets[k] = 0;
    AppendGroup(bytes, sextets, count);
    return bytes;
}

}  // namespace wk
