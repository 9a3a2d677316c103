#include "service/FormFields.h"

namespace wk {

namespace {

constexpr std::string_view kFileContent = "fileContent=";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Where "fileContent=" starts a field, or npos.
size_t FindFileContent(std::string_view body) {
    if (body.substr(0, kFileContent.size()) == kFileContent) return 0;
    const size_t at = body.find(std::string("&").append(kFileContent));
    return at == std::string_view::npos ? at : at + 1;
}

}  // namespace

std::string FormFields::PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        // Clients encode forms as form servers decode them: a literal "+" comes
        // as %2B, a blank as "+".
        out.push_back(text[i] == '+' ? ' ' : text[i]);
    }
    return out;
}

void FormFields::AddPieces(std::string_view text) {
    while (!text.empty()) {
        const size_t amp = text.find('&');
        const std::string_view piece = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (piece.empty()) continue;
        const size_t eq = piece.find('=');
        const std::string name = PercentDecode(piece.substr(0, eq));
        if (name.empty()) continue;
        m_fields[name] =
            eq == std::string_view::npos ? std::string() : PercentDecode(piece.substr(eq + 1));
    }
}

FormFields FormFields::Parse(std::string_view query, std::string_view body) {
    FormFields fields;
    fields.AddPieces(query);
    const size_t content = FindFileContent(body);
    if (content == std::string_view::npos) {
        fields.AddPieces(body);
    } else {
        fields.AddPieces(body.substr(0, content));
        fields.m_fields["fileContent"] = PercentDecode(body.substr(content + kFileContent.size()));
    }
    return fields;
}

const std::string& FormFields::Get(const std::string& name) const {
    static const std::string kEmpty;
    const auto it = m_fields.find(name);
    return it == m_fields.end() ? kEmpty : it->second;
}

}  // namespace wk
