#pragma once
// "wavkeep-service account add|remove|list --data DIR": the service's
// accounts kept in its database. "add LOGIN" reads the password from the
// first line of `in` (never from the command line) and adds the account or
// changes its password. An old accounts.txt is taken in first.
// Exit status: 0 done, 1 failed (or no such account to remove), 2 bad usage.

#include <istream>
#include <ostream>
#include <string>

namespace wk {

int RunAccountCommand(const std::string& action, const std::string& login,
                      const std::string& dataFolder, std::istream& in, std::ostream& out,
                      std::ostream& err);

}  // namespace wk
