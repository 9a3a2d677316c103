#pragma once
// The service account, kept in "Options.txt" in the program home and read
// anew each time it is needed:
//   "userID=" + login            (to the end of the line; blanks allowed)
//   "password=" + scrambled password   (one word)
//   scrambled third value         (one word; used by no request)
// Scrambling XORs every byte with one fixed key; the text ends at the first
// byte that is zero after the operation. The key has its high bit set, so a
// scrambled printable ASCII text never holds a blank, a line end or a zero
// byte and always reads back as one word (which is why passwords are kept to
// printable ASCII).

#include <string>

namespace wk {

inline constexpr unsigned char kScrambleKey = 0xA5;

std::string Scramble(const std::string& text);  // also unscrambles

struct Credentials {
    std::string login;
    std::string password;
    std::string third;
};

// True when "Options.txt" could be opened and all three values were read;
// `out` is unchanged otherwise.
bool ReadCredentials(Credentials& out);
// Writes "Options.txt"; false when it cannot be written or a value cannot be
// stored (a login with a line end, a password or third value with a blank).
bool WriteCredentials(const Credentials& credentials, std::string* why);

// Why `credentials` cannot be written, "" when they can.
std::string CredentialsProblem(const Credentials& credentials);

// The account as "wavkeep account set" and the set-up wizard store it: the
// login, the password and "-" as the third value.
Credentials AccountCredentials(const std::string& login, const std::string& password);
bool StoreAccount(const std::string& login, const std::string& password, std::string* why);

}  // namespace wk
