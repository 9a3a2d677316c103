#include "app/SettingsCommand.h"

#include <memory>
#include <ostream>
#include <string>

#include "app/CliCommandTable.h"
#include "app/ConfigValues.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "core/UserPrompt.h"
#include "recording/EncoderLibrary.h"
#include "recording/EngineChoice.h"
#include "server/Credentials.h"

namespace wk {
namespace {

// A key that config.ini cannot hold: the first "=" splits a line and a line
// end ends it.
bool IsStorableKey(const std::string& key) {
    return !key.empty() && key.find_first_of("=\r\n") == std::string::npos;
}

bool IsStorableValue(const std::string& value) {
    return value.find_first_of("\r\n") == std::string::npos;
}

struct ConfigOptions {
    std::string key;
    std::string value;
};

int ConfigList(std::ostream& out) {
    ConfigStore config;
    config.Load();
    for (const auto& [key, value] : config.Entries()) out << key << '=' << value << '\n';
    return kExitOk;
}

int ConfigGet(const ConfigOptions& o, std::ostream& out, std::ostream& err) {
    if (!IsStorableKey(o.key)) throw UsageError("not a config.ini key: \"" + o.key + "\"");
    ConfigStore config;
    config.Load();
    if (!config.HasKey(o.key)) {
        err << "wavkeep: config.ini has no key \"" << o.key << "\"\n";
        return kExitFailed;
    }
    out << config.GetString(o.key) << '\n';
    return kExitOk;
}

int ConfigSet(const ConfigOptions& o, std::ostream& err) {
    if (!IsStorableKey(o.key)) throw UsageError("not a config.ini key: \"" + o.key + "\"");
    if (!IsStorableValue(o.value)) throw UsageError("a value cannot hold a line end");
    if (const std::string problem = ConfigValueProblem(o.key, o.value); !problem.empty())
        throw UsageError("\"" + o.value + "\" is not a value of " + o.key + ": " + problem);
    ConfigStore config;
    config.Load();
    if (!ConfigStore::IsKnownKey(o.key))
        err << "wavkeep: note: \"" << o.key << "\" is not a key wavkeep knows; it is kept\n";
    config.SetString(o.key, o.value);
    std::string why;
    if (!config.Save(&why)) {
        err << "wavkeep: " << ConfigStore::FilePath() << " was not changed: " << why << '\n';
        return kExitFailed;
    }
    Trace(kTraceInfo, "config.ini: %s set to \"%s\"", o.key.c_str(), o.value.c_str());
    return kExitOk;
}

int ConfigReset(const ConfigOptions& o, std::ostream& err) {
    if (!ConfigStore::IsKnownKey(o.key)) {
        if (!IsStorableKey(o.key)) throw UsageError("not a config.ini key: \"" + o.key + "\"");
        err << "wavkeep: \"" << o.key << "\" has no default\n";
        return kExitFailed;
    }
    ConfigStore config;
    config.Load();
    config.ResetToDefault(o.key);
    std::string why;
    if (!config.Save(&why)) {
        err << "wavkeep: " << ConfigStore::FilePath() << " was not changed: " << why << '\n';
        return kExitFailed;
    }
    return kExitOk;
}

int EventsShow(std::ostream& out) {
    for (const auto& line : EventLog::Instance().ReadLines()) out << line << '\n';
    return kExitOk;
}

int EventsClear(bool yes, std::ostream& err) {
    StderrPrompt prompt(yes);
    SetUserPrompt(&prompt);
    const bool cleared = ClearEvents();
    SetUserPrompt(nullptr);
    if (!cleared) {
        err << "wavkeep: events kept; run \"wavkeep events clear --yes\" to delete them\n";
        return kExitFailed;
    }
    return kExitOk;
}

int EncoderList(std::ostream& out) {
    ConfigStore config;
    config.Load();
    const int chosen = ChooseEncoderEngine(config);
    for (const auto& e : ListEncoderEngines()) {
        out << (e.kind == chosen ? "* " : "  ") << e.setting << " (engine " << e.kind << "): "
            << (e.usable ? "usable" : "not usable");
        if (!e.library.empty()) out << ", " << e.library;
        if (!e.usable && !e.why.empty()) out << " (" << e.why << ")";
        out << '\n';
    }
    return kExitOk;
}

int EncoderTest(const std::string& path, std::ostream& out, std::ostream& err) {
    std::string why;
    if (!TestEncoderLibrary(path.find('/') == std::string::npos ? "./" + path : path, &why)) {
        err << "wavkeep: " << path << ": " << why << '\n';
        return kExitFailed;
    }
    out << path << ": a usable encoder library\n";
    return kExitOk;
}

int EncoderImport(const std::string& path, std::ostream& out, std::ostream& err) {
    std::string why;
    if (!ImportEncoderLibrary(path, &why)) {
        err << "wavkeep: " << path << ": " << why << '\n';
        return kExitFailed;
    }
    out << "copied into " << ProgramFolder() << '\n';
    return kExitOk;
}

int AccountSet(const std::string& login, const std::string& password, std::ostream& out,
               std::ostream& err) {
    std::string why;
    if (!StoreAccount(login, password, &why)) {
        err << "wavkeep: " << why << '\n';
        return why.rfind("cannot write", 0) == 0 ? kExitFailed : kExitUsage;
    }
    out << "account stored in " << ProgramFile("Options.txt") << '\n';
    return kExitOk;
}

}  // namespace

void AddConfigCommands(CliCommandTable& table) {
    auto o = std::make_shared<ConfigOptions>();
    CLI::App* config =
        table.App().add_subcommand("config", "Show or change the settings in config.ini");
    config->require_subcommand(1);
    CLI::App* list = config->add_subcommand(
        "list", "Print every setting as key=value: the known keys in their fixed order, then "
                "keys wavkeep does not know (they are kept)");
    table.On(list, [](std::ostream& out, std::ostream&) { return ConfigList(out); });
    CLI::App* get = config->add_subcommand("get", "Print the value of KEY (exit 1 if absent)");
    get->add_option("KEY", o->key, "Key, case-sensitive")->required();
    table.On(get, [o](std::ostream& out, std::ostream& err) { return ConfigGet(*o, out, err); });
    CLI::App* set = config->add_subcommand(
        "set", "Set KEY to VALUE and save config.ini at once; a value a known key cannot take is "
               "refused with the reason (exit 2)");
    set->add_option("KEY", o->key, "Key, case-sensitive; may not hold \"=\"")->required();
    set->add_option("VALUE", o->value, "Value, taken as it is (no trimming)")->required();
    table.On(set, [o](std::ostream&, std::ostream& err) { return ConfigSet(*o, err); });
    CLI::App* reset =
        config->add_subcommand("reset", "Set KEY back to its default and save config.ini");
    reset->add_option("KEY", o->key, "A key wavkeep knows")->required();
    table.On(reset, [o](std::ostream&, std::ostream& err) { return ConfigReset(*o, err); });
}

void AddEventsCommands(CliCommandTable& table) {
    auto yes = std::make_shared<bool>(false);
    CLI::App* events = table.App().add_subcommand("events", "Print the event log (events.txt)");
    table.On(events, [](std::ostream& out, std::ostream&) { return EventsShow(out); });
    CLI::App* clear = events->add_subcommand(
        "clear", "Delete all the events; refused unless --yes answers the question");
    clear->add_flag("--yes,-y", *yes,
                    "Answer yes to \"Do you really want to delete the events?\"");
    table.On(clear, [yes](std::ostream&, std::ostream& err) { return EventsClear(*yes, err); });
}

void AddEncoderCommands(CliCommandTable& table) {
    auto path = std::make_shared<std::string>();
    CLI::App* encoder =
        table.App().add_subcommand("encoder", "The MP3 encoder libraries and the engines");
    encoder->require_subcommand(1);
    CLI::App* list = encoder->add_subcommand(
        "list", "Show the three engines (Lame, Blade, Vorbis), whether each can record now, "
                "and mark the one \"Encoder\" selects with *");
    table.On(list, [](std::ostream& out, std::ostream&) { return EncoderList(out); });
    CLI::App* test = encoder->add_subcommand(
        "test", "Load PATH and check that it exports the BladeEnc functions");
    test->add_option("PATH", *path, "A lame_enc.so or bladeenc.so")->required();
    table.On(test, [path](std::ostream& out, std::ostream& err) {
        return EncoderTest(*path, out, err);
    });
    CLI::App* import = encoder->add_subcommand(
        "import", "Test PATH and copy it into the program home under its own name, replacing "
                  "an earlier copy (the home is searched before the executable's folder)");
    import->add_option("PATH", *path, "A lame_enc.so or bladeenc.so")->required();
    table.On(import, [path](std::ostream& out, std::ostream& err) {
        return EncoderImport(*path, out, err);
    });
}

void AddAccountCommands(CliCommandTable& table) {
    struct Account {
        std::string login;
        std::string password;
    };
    auto a = std::make_shared<Account>();
    CLI::App* account = table.App().add_subcommand("account", "The service account (Options.txt)");
    account->require_subcommand(1);
    CLI::App* set = account->add_subcommand(
        "set", "Store LOGIN and PASSWORD (one word of printable ASCII; stored scrambled)");
    set->add_option("LOGIN", a->login, "Login; may hold blanks")->required();
    set->add_option("PASSWORD", a->password, "Password")->required();
    table.Secret(set, &a->password);
    table.On(set, [a](std::ostream& out, std::ostream& err) {
        return AccountSet(a->login, a->password, out, err);
    });
}

}  // namespace wk
