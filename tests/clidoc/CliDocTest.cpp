#include "clidoc/CliDoc.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

// A command line with what the writers must get right: text that roff
// would take for a request or an escape, hidden parts, flags, values,
// nested commands.
struct Sample {
    CLI::App app{".starts with a dot and holds a \\ backslash", "prog"};
    std::string home, stream, file, secret;
    bool yes = false;
    Sample() {
        app.add_option("--home", home, "Program home")->type_name("DIR");
        app.add_option("--secret", secret, "never shown")->group("");
        auto* streams = app.add_subcommand("streams", "List streams");
        auto* activate = streams->add_subcommand("activate", "'quoted start");
        activate->add_option("NAME", stream, "Stream name")->required()->type_name("STREAM");
        auto* importCmd = app.add_subcommand("import", "Import");
        importCmd->add_option("FILE", file, "A file")->required();
        importCmd->add_flag("-y,--yes", yes, "Do not ask");
        app.add_subcommand("internal", "hidden")->group("");
    }
};

std::string ManPage() {
    Sample s;
    std::ostringstream out;
    wk::clidoc::WriteManPage(s.app, {"a summary", "prog 1.0", {{"Files", "a\tb\n  example line"}}}, out);
    return out.str();
}

TEST(CliDocTest, ManPageEscapesHidesAndDescribes) {
    const std::string page = ManPage();
    const struct {
        const char* text;
        bool present;
    } cases[] = {
        {"\n\\&.starts with a dot and holds a \\e backslash\n", true},  // no request, no escape
        {"\n\\&'quoted start\n", true},
        {"\\fB\\-\\-home\\fR \\fIDIR\\fR", true},
        {"\\fB\\-y\\fR, \\fB\\-\\-yes\\fR\n", true},  // a flag takes no value
        {".SS \"streams activate\"\n\\fBprog streams activate\\fR \\fINAME\\fR\n", true},
        {"Stream name (required)", true},
        {".SH FILES\n.TP\n\\fBa\\fR\nb\n.PP\n.RS\n.nf\n\\&example line\n.fi\n.RE\n", true},
        {"secret", false},
        {"internal", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(page.find(c.text) != std::string::npos, c.present) << c.text << "\nin:\n" << page;
}

// Runs the completion in bash for the words given (the last one being
// completed) and returns what it offers, one a line.
std::string Complete(const std::string& words) {
    Sample s;
    std::ostringstream script;
    wk::clidoc::WriteBashCompletion(s.app, "stub_lister", script);
    std::array<char, 32> name{"/tmp/clidoc_test_XXXXXX"};
    const int fd = mkstemp(name.data());
    EXPECT_GE(fd, 0);
    close(fd);
    std::ofstream(name.data()) << script.str()
                               << "stub_lister() { [[ $1 == --home && $2 == H ]] && printf 'Radio One\\nJazz\\n'; }\n"
                               << "COMP_WORDS=(" << words << ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_prog\n"
                               << "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
    std::string output;
    if (FILE* p = popen(("bash --norc " + std::string(name.data()) + " 2>&1").c_str(), "r")) {
        std::array<char, 256> buffer{};
        while (fgets(buffer.data(), buffer.size(), p) != nullptr) output += buffer.data();
        pclose(p);
    }
    std::remove(name.data());
    return output;
}

TEST(CliDocTest, BashCompletionOffersCommandsOptionsAndStreams) {
    const struct {
        const char* words;
        const char* offered;
    } cases[] = {
        {"prog ''", "streams\nimport\n"},           // hidden commands left out
        {"prog --home H str", "streams\n"},         // an option's value is skipped
        {"prog import -", "-h\n--help\n-y\n--yes\n"},
        {"prog --home H streams activate ''", "Radio\\ One\nJazz\n"},
        {"prog --home H streams activate J", "Jazz\n"},
        {"prog streams activate ''", "\n"},         // no home given: the stub lists nothing
        {"prog --", "--help\n--home\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(Complete(c.words), c.offered) << c.words;
}

}  // namespace
