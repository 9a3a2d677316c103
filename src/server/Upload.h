#pragma once
// The description upload: the stream's desc.des, shifted to the service's
// clock, posted with the account to "UploadURL".

#include <string>

namespace wk {

class HttpClient;
struct HttpForm;

// Results, as the upload has always numbered them (0: not started, no account).
inline constexpr int kUploadNoAccount = 0;
inline constexpr int kUploadDone = 16;
inline constexpr int kUploadNoFile = 17;
inline constexpr int kUploadBadResponse = 18;
inline constexpr int kUploadRefused = 20;
inline constexpr int kUploadNotTimeChecked = 24;
inline constexpr int kUploadNoConnection = 25;
inline constexpr int kUploadTooBig = 50;
inline constexpr size_t kUploadMaxBytes = 20000;

// Uploads `descriptionFile` (the stream's desc.des) for `stream` with the
// clock difference of a time check made before. `answer` receives the
// service's first answer line as a terminal may show it (ScreenLine). Without an account nothing is sent
// (kUploadNoAccount).
int UploadDescriptionFile(HttpClient& http, const std::string& stream,
                          const std::string& descriptionFile, double difference,
                          std::string* answer);

// The post itself: `prefix` (a=uploadfp ... userfile) followed by the
// description file shifted by `difference` as fileContent, to `url`.
int UploadShiftedDescription(HttpClient& http, const std::string& url, const HttpForm& prefix,
                             const std::string& descriptionFile, double difference,
                             std::string* answer);

// The message shown for a result ("" for results that show nothing).
std::string UploadResultText(int result, const std::string& answer);

}  // namespace wk
