#include "service/AccountCommand.h"

#include <filesystem>
#include <system_error>

#include "service/Accounts.h"
#include "service/ServiceData.h"

namespace wk {

int RunAccountCommand(const std::string& action, const std::string& login,
                      const std::string& dataFolder, std::istream& in, std::ostream& out,
                      std::ostream& err) {
    const auto fail = [&err](const std::string& why, int code) {
        err << "wavkeep-service account: " << why << "\n";
        return code;
    };
    const bool needsLogin = action == "add" || action == "remove";
    if (!needsLogin && action != "list")
        return fail("wants add, remove or list, got \"" + action + "\"", 2);
    if (needsLogin && login.empty()) return fail(action + " wants a LOGIN", 2);
    if (!needsLogin && !login.empty()) return fail("list takes no LOGIN", 2);
    std::error_code ec;
    if (!std::filesystem::is_directory(dataFolder, ec))
        return fail("no data folder \"" + dataFolder + "\"", 1);

    ServiceData data(dataFolder);
    data.SetLog([&err](const std::string& line) { err << "wavkeep-service: " << line << "\n"; });
    std::string why;
    if (!data.ImportAccountsFile(&why)) return fail(why, 1);
    if (action == "add") {
        std::string password;
        std::getline(in, password);
        if (!password.empty() && password.back() == '\r') password.pop_back();
        if (password.empty()) return fail("no password on standard input", 2);
        if (!data.SetAccount(login, password, &why)) return fail(why, IsValidLogin(login) ? 1 : 2);
        out << "account \"" << login << "\" stored\n";
        return 0;
    }
    if (action == "remove") {
        const auto removed = data.RemoveAccount(login);
        if (!removed) return fail("the database cannot be used", 1);
        if (!*removed) return fail("no account \"" + login + "\"", 1);
        out << "account \"" << login << "\" removed\n";
        return 0;
    }
    const auto logins = data.AccountLogins();
    if (!logins) return fail("the database cannot be used", 1);
    for (const auto& name : *logins) out << name << "\n";
    return 0;
}

}  // namespace wk
