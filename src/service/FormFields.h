#pragma once
// The fields of one request: the query of its URL and its form body.
//
// The client sends application/x-www-form-urlencoded forms, so:
// - fields are split at '&' and at the first '=' of each piece;
// - "%" followed by two hexadecimal digits is decoded, any other '%' stays;
//   '+' is a blank (a literal '+' arrives as %2B);
// - "fileContent=" swallows the rest of the body, '&' included, so a file
//   whose encoder left an '&' raw still arrives whole.
// Body fields replace query fields of the same name. Names are compared with
// case.

#include <map>
#include <string>
#include <string_view>

namespace wk {

class FormFields {
public:
    FormFields() = default;
    static FormFields Parse(std::string_view query, std::string_view body);

    void Set(const std::string& name, std::string value) { m_fields[name] = std::move(value); }
    bool Has(const std::string& name) const { return m_fields.count(name) != 0; }
    // Empty when absent.
    const std::string& Get(const std::string& name) const;

    static std::string PercentDecode(std::string_view text);

private:
    void AddPieces(std::string_view text);

    std::map<std::string, std::string> m_fields;
};

}  // namespace wk
