#include "server/Upload.h"

#include "core/ConfigStore.h"
#include "core/PrintableText.h"
#include "core/Trace.h"
#include "descriptions/Timeshift.h"
#include "platform/HttpClient.h"
#include "server/Credentials.h"
#include "streamstore/StreamNameFile.h"

namespace wk {

int UploadShiftedDescription(HttpClient& http, const std::string& url, const HttpForm& prefix,
                             const std::string& descriptionFile, double difference,
                             std::string* answer) {
    const std::string text = ShiftedDescriptionText(descriptionFile, difference);
    if (text.empty()) return kUploadNoFile;
    if (text.size() > kUploadMaxBytes) return kUploadTooBig;
    HttpForm form = prefix;
    form.Add("fileContent", text);
    Trace(kTraceDebug, "Uploading description file %s", descriptionFile.c_str());
    const HttpResult result = http.PostForm(url, form);
    if (result.outcome != HttpResult::Outcome::kOk) return kUploadNoConnection;
    if (result.status != 200) return kUploadBadResponse;
    const std::string first = result.lines.empty() ? std::string() : result.lines.front();
    // Shown to the user: a hostile answer must not reach the terminal raw.
    if (answer) *answer = ScreenLine(first);
    return first == "OK" ? kUploadDone : kUploadRefused;
}

int UploadDescriptionFile(HttpClient& http, const std::string& stream,
                          const std::string& descriptionFile, double difference,
                          std::string* answer) {
    Credentials credentials;
    if (!ReadCredentials(credentials)) return kUploadNoAccount;
    StreamNameFile streams;
    streams.load();
    const StreamRecord* record = streams.Find(stream);
    const int sourceType = record ? record->sourceType : kSourceRadio;
    const auto slash = descriptionFile.find_last_of('/');
    const std::string userfile =
        slash == std::string::npos ? descriptionFile : descriptionFile.substr(slash + 1);

    HttpForm prefix;
    prefix.Add("a", "uploadfp")
        .Add("login", credentials.login)
        .Add("passwd", credentials.password)
        .Add("srcname", stream)
        .Add("srctype", std::to_string(sourceType))
        .Add("MAX_FILE_SIZE", std::to_string(kUploadMaxBytes))
        .Add("userfile", userfile);
    ConfigStore config;
    config.Load();
    return UploadShiftedDescription(http, config.GetString("UploadURL"), prefix, descriptionFile,
                                    difference, answer);
}

std::string UploadResultText(int result, const std::string& answer) {
    switch (result) {
    case kUploadDone: return "File is successfully uploaded";
    case kUploadNoFile: return "Des file is missing or being corrupted";
    case kUploadBadResponse: return "File upload failed - bad response from server";
    case kUploadRefused: return "File upload failed - " + answer;
    case kUploadNotTimeChecked: return "Timecheck in progress. Upload skiped. Please try again later.";
    case kUploadNoConnection: return "Unable to make HTTP connection. Try again.";
    case kUploadTooBig: return "The playlist is too big. max: ~30 tracks [20KB]";
    default: return {};
    }
}

}  // namespace wk
