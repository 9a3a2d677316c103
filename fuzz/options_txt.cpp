// Options.txt (the service account) of the program home.
#include "FuzzSupport.h"
#include "server/Credentials.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wk::fuzz::WriteHomeFile("Options.txt", wk::fuzz::AsText(data, size));
    wk::Credentials credentials;
    wk::ReadCredentials(credentials);
    return 0;
}
