#pragma once
// "wavkeep-gui [--home DIR] render": a PNG of a stretch of a stream's time
// line, drawn by the view's own renderer without a display.

#include <iosfwd>
#include <string>

namespace wk {

struct RenderOptions {
    std::string stream;  // empty: ActiveStream
    std::string from;    // both or neither; neither: the whole stream
    std::string to;
    std::string cursor;  // empty: no cursor drawn
    std::string output;  // the PNG file
    int width = 1920;
    int height = 300;
};

inline constexpr int kRenderMinWidth = 64;
inline constexpr int kRenderMaxWidth = 16384;
inline constexpr int kRenderMaxHeight = 4096;

// Exit status 0 written, 1 the stream cannot be drawn or the file cannot
// be written, 2 bad options. A QGuiApplication must exist.
int RunRender(const RenderOptions& options, std::ostream& out, std::ostream& err);

// "wavkeep-gui --help-man" and "--help-bash": the manual page and the bash
// completion of the whole command line, the window's options included;
// false for any other command line. Needs no Qt application.
bool HandleGuiDocRequest(int argc, const char* const* argv, std::ostream& out);

// The command line of wavkeep-gui; for now only its "render" mode.
int RunGuiCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace wk
