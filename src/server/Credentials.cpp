#include "server/Credentials.h"

#include <fstream>
#include <sstream>

#include "core/FileUtil.h"
#include "core/ProgramHome.h"

namespace wk {

std::string Scramble(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const char s = static_cast<char>(static_cast<unsigned char>(c) ^ kScrambleKey);
        if (s == '\0') break;
        out += s;
    }
    return out;
}

bool ReadCredentials(Credentials& out) {
    std::ifstream in(ProgramFile("Options.txt"), std::ios::binary);
    if (!in) return false;
    std::string line;
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    static const std::string kUser = "userID=";
    if (line.compare(0, kUser.size(), kUser) != 0) return false;
    Credentials read;
    read.login = line.substr(kUser.size());
    // The rest is read word by word, as the password and the third value are.
    std::string word;
    if (!(in >> word) || word.compare(0, 9, "password=") != 0) return false;
    std::string password = word.substr(9);
    if (password.empty() && !(in >> password)) return false;
    std::string third;
    if (!(in >> third)) return false;
    read.password = Scramble(password);
    read.third = Scramble(third);
    out = std::move(read);
    return true;
}

std::string CredentialsProblem(const Credentials& c) {
    if (c.login.find_first_of("\r\n") != std::string::npos) return "a login cannot hold a line end";
    for (const std::string* value : {&c.password, &c.third}) {
        if (value->empty()) return "the password cannot be empty";
        for (unsigned char ch : *value)
            if (ch <= ' ' || ch >= 0x7F) return "a password is one word of printable ASCII characters";
    }
    return {};
}

Credentials AccountCredentials(const std::string& login, const std::string& password) {
    return {login, password, "-"};
}

bool StoreAccount(const std::string& login, const std::string& password, std::string* why) {
    return WriteCredentials(AccountCredentials(login, password), why);
}

bool WriteCredentials(const Credentials& c, std::string* why) {
    auto fail = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    if (std::string problem = CredentialsProblem(c); !problem.empty()) return fail(std::move(problem));
    const std::string text = "userID=" + c.login + "\npassword=" + Scramble(c.password) + "\n" +
                             Scramble(c.third) + "\n";
    // Scrambling hides the password from a glance, not from other users.
    if (!ReplaceFileContents(ProgramFile("Options.txt"), text, 0600))
        return fail("cannot write Options.txt");
    return true;
}

}  // namespace wk
