#include "clidoc/CliDoc.h"

#include <cctype>
#include <cstring>
#include <ostream>
#include <sstream>

namespace wk::clidoc {
namespace {

std::vector<CLI::App*> Commands(CLI::App& app) {
    // Subcommands without a group are hidden from --help, and so here.
    return app.get_subcommands([](CLI::App* c) { return !c->get_group().empty(); });
}

std::vector<const CLI::Option*> Options(const CLI::App& app) {
    return app.get_options([](const CLI::Option* o) { return !o->get_group().empty(); });
}

// Text for a roff line: backslashes kept, a leading control character
// defused. Hyphens stay hyphens in prose; option names use Dashes.
std::string Roff(const std::string& text) {
    std::string r;
    for (const char c : text) {
        if (c == '\\')
            r += "\\e";
        else
            r += c;
    }
    if (!r.empty() && (r[0] == '.' || r[0] == '\'')) r = "\\&" + r;
    return r;
}

// Option and command names: every '-' a minus sign, as typed.
std::string Dashes(const std::string& name) {
    std::string r;
    for (const char c : name) r += c == '-' ? std::string("\\-") : std::string(1, c);
    return r;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool TakesValue(const CLI::Option* o) { return o->get_items_expected_max() != 0; }

std::string ValueName(const CLI::Option* o) {
    const std::string type = o->get_type_name();
    return type.empty() ? "VALUE" : type;
}

// "\fB\-o\fR, \fB\-\-output\fR \fIFILE\fR" or "\fINAME\fR".
std::string OptionTerm(const CLI::Option* o) {
    if (o->nonpositional()) {
        std::string term;
        for (const std::string& s : o->get_snames()) term += (term.empty() ? "" : ", ") + ("\\fB\\-" + s + "\\fR");
        for (const std::string& l : o->get_lnames())
            term += (term.empty() ? "" : ", ") + ("\\fB" + Dashes("--" + l) + "\\fR");
        if (TakesValue(o)) term += " \\fI" + ValueName(o) + "\\fR";
        return term;
    }
    return "\\fI" + o->get_name(true) + "\\fR";
}

void WriteOptions(const CLI::App& app, std::ostream& out) {
    for (const CLI::Option* o : Options(app)) {
        if (o == app.get_help_ptr()) continue;
        std::string text = o->get_description();
        if (o->get_required()) text += " (required)";
        if (!o->get_default_str().empty()) text += " (default: " + o->get_default_str() + ")";
        out << ".TP\n" << OptionTerm(o) << '\n' << Roff(text) << '\n';
    }
}

// "wavkeep streams add" for a subcommand.
std::string CommandPath(const CLI::App* app) {
    std::string path = app->get_name();
    for (const CLI::App* p = app->get_parent(); p != nullptr; p = p->get_parent()) path = p->get_name() + " " + path;
    return path;
}

std::string Usage(CLI::App& app) {
    std::string usage = "\\fB" + Dashes(CommandPath(&app)) + "\\fR";
    std::string positionals;
    bool anyOption = false;
    for (const CLI::Option* o : Options(app)) {
        if (o == app.get_help_ptr()) continue;
        if (o->nonpositional()) {
            anyOption = true;
        } else {
            positionals += o->get_required() ? " \\fI" + o->get_name(true) + "\\fR" : " [\\fI" + o->get_name(true) + "\\fR]";
        }
    }
    if (anyOption) usage += " [\\fIoptions\\fR]";
    usage += positionals;
    if (!Commands(app).empty()) usage += app.get_require_subcommand_min() > 0 ? " \\fIcommand\\fR" : " [\\fIcommand\\fR]";
    return usage;
}

void WriteCommands(CLI::App& app, std::ostream& out) {
    for (CLI::App* c : Commands(app)) {
        out << ".SS \"" << Dashes(CommandPath(c).substr(CommandPath(c).find(' ') + 1)) << "\"\n"
            << Usage(*c) << "\n.PP\n" << Roff(c->get_description()) << '\n';
        WriteOptions(*c, out);
        WriteCommands(*c, out);
    }
}

void WriteSectionText(const std::string& text, std::ostream& out) {
    std::istringstream lines(text);
    std::string line;
    bool verbatim = false;
    bool fresh = true;
    while (std::getline(lines, line)) {
        const bool example = line.rfind("  ", 0) == 0;
        if (verbatim && !example) {
            out << ".fi\n.RE\n";
            verbatim = false;
        }
        if (line.empty()) {
            fresh = true;
        } else if (example) {
            if (!verbatim) out << ".PP\n.RS\n.nf\n";
            verbatim = true;
            out << "\\&" << Roff(line.substr(2)) << '\n';
        } else if (const size_t tab = line.find('\t'); tab != std::string::npos) {
            out << ".TP\n\\fB" << Dashes(Roff(line.substr(0, tab))) << "\\fR\n" << Roff(line.substr(tab + 1)) << '\n';
            fresh = true;
        } else {
            if (fresh) out << ".PP\n";
            out << Roff(line) << '\n';
            fresh = false;
        }
    }
    if (verbatim) out << ".fi\n.RE\n";
}

// A bash word list in single quotes.
std::string Quoted(const std::vector<std::string>& words) {
    std::string r;
    for (const std::string& w : words) r += (r.empty() ? "" : " ") + w;
    return "'" + r + "'";
}

// How a value is completed: STREAM, DIR, FILE or "" (not at all).
std::string Kind(const CLI::Option* o) {
    const std::string type = o->get_type_name() + " " + (o->nonpositional() ? "" : o->get_name(true));
    for (const char* kind : {"STREAM", "DIR", "FILE"})
        if (type.find(kind) != std::string::npos) return kind;
    return "-";
}

void WriteCompletionCases(CLI::App& app, const std::string& path, std::ostream& out) {
    std::vector<std::string> subs;
    std::vector<std::string> opts;
    std::vector<std::string> valued;
    std::string positional = "-";
    for (CLI::App* c : Commands(app)) subs.push_back(c->get_name());
    for (const CLI::Option* o : Options(app)) {
        if (!o->nonpositional()) {
            if (positional == "-") positional = Kind(o);
            continue;
        }
        std::vector<std::string> names;
        for (const std::string& s : o->get_snames()) names.push_back("-" + s);
        for (const std::string& l : o->get_lnames()) names.push_back("--" + l);
        for (const std::string& n : names) {
            opts.push_back(n);
            if (TakesValue(o)) valued.push_back(n + "=" + Kind(o));
        }
    }
    out << "    '" << path << "') subs=" << Quoted(subs) << " opts=" << Quoted(opts) << " valued=" << Quoted(valued)
        << " positional=" << positional << " ;;\n";
    for (CLI::App* c : Commands(app)) WriteCompletionCases(*c, path.empty() ? c->get_name() : path + " " + c->get_name(), out);
}

std::string FunctionName(const std::string& program) {
    std::string name = "_";
    for (const char c : program) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

}  // namespace

void WriteManPage(CLI::App& app, const ManPage& page, std::ostream& out) {
    const std::string name = app.get_name();
    out << ".\\\" Written by \"" << name << " --help-man\" from its command line; do not edit.\n"
        << ".TH " << Upper(Dashes(name)) << " 1 \"\" \"" << Roff(page.version) << "\" \"User Commands\"\n"
        << ".nh\n.SH NAME\n" << Dashes(name) << " \\- " << Roff(page.summary) << '\n'
        << ".SH SYNOPSIS\n" << Usage(app) << '\n';
    for (CLI::App* c : Commands(app))
        if (app.get_require_subcommand_min() == 0) out << ".br\n" << Usage(*c) << '\n';
    out << ".SH DESCRIPTION\n" << Roff(app.get_description()) << '\n'
        << ".PP\nEvery command takes \\fB\\-h\\fR, \\fB\\-\\-help\\fR: its options, as listed here.\n"
        << ".SH OPTIONS\n";
    WriteOptions(app, out);
    if (!Commands(app).empty()) {
        out << ".SH COMMANDS\n";
        WriteCommands(app, out);
    }
    for (const ManSection& s : page.sections) {
        out << ".SH " << Upper(s.title) << '\n';
        WriteSectionText(s.text, out);
    }
}

void WriteBashCompletion(CLI::App& app, const std::string& streamLister, std::ostream& out) {
    const std::string program = app.get_name();
    const std::string f = FunctionName(program);
    out << "# bash completion for " << program << ": commands, options";
    out << (streamLister.empty() ? "" : " and the stream names of the program home") << ".\n"
        << "# Written by \"" << program << " --help-bash\" from its command line; do not edit.\n\n"
        << f << "_command() {\n    case $1 in\n";
    WriteCompletionCases(app, "", out);
    out << "    *) subs='' opts='' valued='' positional=- ;;\n    esac\n}\n\n";
    out << f << "_streams() {\n";
    if (streamLister.empty())
        out << "    :\n";
    else
        out << "    " << streamLister << " ${home:+--home \"$home\"} streams --names 2>/dev/null\n";
    out << "}\n\n";
    std::string script = R"sh(# The kind of value option $1 takes (see the @F@_command table); fails for
# a flag or an unknown option. The program's own options hold everywhere.
@F@_kind() {
    local v
    for v in $valued $rootvalued; do
        if [[ ${v%%=*} == "$1" ]]; then
            echo "${v#*=}"
            return 0
        fi
    done
    return 1
}

@F@_values() {
    local name
    case $1 in
    STREAM)
        while IFS= read -r name; do
            [[ -n $name && $name == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
        done < <(@F@_streams)
        ;;
    DIR) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
    FILE) compopt -o default 2>/dev/null ;;
    esac
}

@F@() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local subs opts valued positional rootvalued path='' home='' skip=0 i w s
    COMPREPLY=()
    @F@_command ''
    rootvalued=$valued
    for ((i = 1; i < COMP_CWORD; i++)); do
        w=${COMP_WORDS[i]}
        if ((skip)); then
            skip=0
            [[ ${COMP_WORDS[i-1]} == --home ]] && home=$w
            continue
        fi
        if [[ $w == -* ]]; then
            @F@_kind "$w" >/dev/null && skip=1
            continue
        fi
        for s in $subs; do
            if [[ $w == "$s" ]]; then
                path=${path:+$path }$w
                @F@_command "$path"
                break
            fi
        done
    done
    if ((skip)); then
        @F@_values "$(@F@_kind "$prev")"
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$opts" -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -W "$subs" -- "$cur")
        [[ $positional != - ]] && @F@_values "$positional"
    fi
    return 0
}

complete -F @F@ @PROGRAM@
)sh";
    for (size_t at = script.find("@F@"); at != std::string::npos; at = script.find("@F@", at + f.size()))
        script.replace(at, 3, f);
    script.replace(script.find("@PROGRAM@"), 9, program);
    out << script;
}

bool HandleDocRequest(int argc, const char* const* argv, CLI::App& app, const ManPage& page,
                      const std::string& streamLister, std::ostream& out) {
    if (argc != 2) return false;
    if (std::strcmp(argv[1], "--help-man") == 0) {
        WriteManPage(app, page, out);
        return true;
    }
    if (std::strcmp(argv[1], "--help-bash") == 0) {
        WriteBashCompletion(app, streamLister, out);
        return true;
    }
    return false;
}

}  // namespace wk::clidoc
