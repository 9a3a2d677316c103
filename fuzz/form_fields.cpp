// The service's form decoder: the URL query up to the first newline, the
// form body after it.
#include "FuzzSupport.h"
#include "service/FormFields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text = wk::fuzz::AsText(data, size);
    size_t split = text.find('\n');
    std::string_view query = text.substr(0, split);
    std::string_view body =
        split == std::string_view::npos ? std::string_view{} : text.substr(split + 1);
    wk::FormFields fields = wk::FormFields::Parse(query, body);
    (void)fields.Get("fileContent");
    std::string decoded = wk::FormFields::PercentDecode(text);
    if (decoded.size() > size) wk::fuzz::Fail("decoding made the text longer");
    return 0;
}
