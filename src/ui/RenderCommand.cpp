#include "ui/RenderCommand.h"

#include <CLI/CLI.hpp>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QSaveFile>
#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/StreamChoice.h"
#include "app/UserTime.h"
#include "clidoc/CliDoc.h"
#include "core/Version.h"
#include "core/ConfigStore.h"
#include "core/PrintableText.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "descriptions/Description.h"
#include "player/StreamViewData.h"
#include "player/WaveSummaryCache.h"
#include "ui/GuiOptions.h"
#include "ui/render/TimeLineRenderer.h"

namespace wk {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string LongTime(StreamTime t) { return DateTime::FromStreamTime(t).LongText(); }

// A time option; false (with a message) when it is given and unreadable.
bool ReadTime(const std::string& name, const std::string& text, std::optional<StreamTime>& into,
              std::ostream& err) {
    if (text.empty()) return true;
    const auto parsed = ParseUserDateTime(text);
    if (!parsed) {
        err << "wavkeep-gui: " << name << " \"" << text
            << "\" is no time (DD/MM/YYYY  hh:mm:ss[.mmm] or YYYY-MM-DD hh:mm:ss)\n";
        return false;
    }
    into = parsed->ToStreamTime();
    return true;
}

// Writes the picture as PNG: to standard output for "-"; straight into
// what is not a plain file (a pipe, /dev/stdout), which renaming would
// replace; otherwise through a new file renamed over the old one, so no
// reader sees half a picture. False with the reason in `why`.
bool WritePng(const QImage& image, const std::string& path, std::string* why) {
    const auto fail = [why](const QString& reason) {
        *why = reason.toStdString();
        return false;
    };
    const QFileInfo info(QString::fromStdString(path));
    if (path == "-" || (info.exists() && !info.isFile())) {
        if (info.isDir()) return fail(QStringLiteral("it is a folder"));
        QFile file;
        const bool open = path == "-" ? file.open(stdout, QIODevice::WriteOnly)
                                      : (file.setFileName(info.filePath()), file.open(QIODevice::WriteOnly));
        if (!open) return fail(file.errorString());
        QImageWriter writer(&file, "png");
        const bool written = writer.write(image) && file.flush();
        if (file.error() != QFileDevice::NoError) return fail(file.errorString());
        return written || fail(writer.errorString());
    }
    // A link keeps pointing at the picture.
    QSaveFile file(info.isSymLink() ? info.canonicalFilePath() : info.filePath());
    if (!file.open(QIODevice::WriteOnly)) return fail(file.errorString());
    QImageWriter writer(&file, "png");
    if (!writer.write(image)) {
        file.cancelWriting();
        return fail(writer.errorString());
    }
    if (!file.commit()) return fail(file.errorString());
    return true;
}

// Qt's own notes (a missing runtime folder, font lookups) go to the trace
// log, not into the command's output; only its errors reach stderr.
void QtMessageToTrace(QtMsgType type, const QMessageLogContext&, const QString& message) {
    const std::string text = PrintableText(message.toStdString());
    const bool error = type == QtCriticalMsg || type == QtFatalMsg;
    Trace(error ? kTraceError : kTraceDebug, "qt: %s", text.c_str());
    if (error) std::fprintf(stderr, "wavkeep-gui: %s\n", text.c_str());
}

}  // namespace

int RunRender(const RenderOptions& o, std::ostream& out, std::ostream& err) {
    if (o.width < kRenderMinWidth || o.width > kRenderMaxWidth) {
        err << "wavkeep-gui: --width must lie between " << kRenderMinWidth << " and " << kRenderMaxWidth
            << " pixels\n";
        return kExitUsage;
    }
    if (o.height < TimeLineRenderer::kMinHeight || o.height > kRenderMaxHeight) {
        err << "wavkeep-gui: --height must lie between " << TimeLineRenderer::kMinHeight << " and "
            << kRenderMaxHeight << " pixels\n";
        return kExitUsage;
    }
    if (o.output.empty()) {
        err << "wavkeep-gui: -o FILE.png names the picture to write\n";
        return kExitUsage;
    }
    std::optional<StreamTime> from, to, cursor;
    if (!ReadTime("--from", o.from, from, err) || !ReadTime("--to", o.to, to, err) ||
        !ReadTime("--cursor", o.cursor, cursor, err)) {
        return kExitUsage;
    }
    if (from.has_value() != to.has_value()) {
        err << "wavkeep-gui: give --from and --to together (or neither, for the whole stream)\n";
        return kExitUsage;
    }
    if (from && *from >= *to) {
        err << "wavkeep-gui: --from must lie before --to\n";
        return kExitUsage;
    }

    int status = 0;
    const auto chosen = ChooseStream(o.stream, err, &status);
    if (!chosen) return status;
    ConfigStore config;
    config.Load();
    StreamViewData data(chosen->folder, WaveCachePathFor(chosen->folder));
    data.Refresh();
    const auto extent = data.Extent();
    if (!from && !extent) {
        err << "wavkeep-gui: stream " << chosen->name
            << " holds no recording yet; --from and --to draw a stretch of it anyway\n";
        return kExitFailed;
    }
    const StreamTime start = from ? *from : extent->first;
    // A stream of one instant still gets a stretch to draw.
    const StreamTime end = to ? *to : std::max(extent->second, start + kMsPerSecond);

    // The stretch asked for is shown as it is, also where nothing was recorded.
    TimeLine line;
    line.SetTrack(0, o.width);
    line.SetExtent(extent ? std::min(extent->first, start) : start,
                   extent ? std::max(extent->second, end) : end);
    line.SetVisibleRange(start, end);
    line.SetCursorTime(cursor.value_or(start));
    TimeLineMarks marks;
    marks.cursorShown = cursor.has_value();

    data.Wave().Prepare(start, end, o.width);
    QImage image(o.width, o.height, QImage::Format_RGB32);
    if (image.isNull()) {
        err << "wavkeep-gui: no memory for a picture of " << o.width << " x " << o.height << '\n';
        return kExitFailed;
    }
    TimeLineRenderer renderer(ReadTimeLineColors(config));
    renderer.Render(image, line, data.Scene(), marks);

    std::string why;
    if (!WritePng(image, o.output, &why)) {
        err << "wavkeep-gui: cannot write " << o.output << ": " << why << '\n';
        return kExitFailed;
    }

    int counts[4] = {0, 0, 0, 0};
    for (const TimeLineBar& bar : data.Scene().bars) {
        if (bar.end < start || bar.start > end) continue;
        ++counts[bar.notIdentified ? 3 : std::clamp(bar.coverage, 0, 2)];
    }
    // With the picture on standard output the summary goes to the other stream.
    std::ostream& report = o.output == "-" ? err : out;
    report << "wrote " << (o.output == "-" ? std::string("standard output") : o.output) << " (" << o.width << " x " << o.height << "): stream " << chosen->name
        << " from " << LongTime(start) << " to " << LongTime(end) << "; descriptions in view: "
        << counts[kCoverageComplete] << " complete, " << counts[kCoveragePartial] << " partial, "
        << counts[kCoverageMissing] << " missing, " << counts[3] << " not identified"
        << (data.Scene().growing ? "; a chunk is being recorded" : "") << '\n';
    Trace(kTraceInfo, "render: %s, %s to %s", o.output.c_str(), LongTime(start).c_str(), LongTime(end).c_str());
    return kExitOk;
}

namespace {

// "render" and its options, for the parser and the manual alike.
void AddRenderCommand(CLI::App& app, RenderOptions& o) {
    auto* render = app.add_subcommand(
        "render", "Write a PNG of a stretch of a stream's time line: recorded stretches, wave form, "
                  "descriptions by coverage (legend at the bottom), ruler");
    render->add_option("--stream", o.stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    render->add_option("--from", o.from, "Start of the stretch (DD/MM/YYYY  hh:mm:ss or YYYY-MM-DD hh:mm:ss); "
                                         "with --to; default: the whole stream");
    render->add_option("--to", o.to, "End of the stretch");
    render->add_option("--cursor", o.cursor, "Draw the cursor at this time");
    render->add_option("--width", o.width, "Width in pixels (default 1920)");
    render->add_option("--height", o.height, "Height in pixels (default 300)");
    render->add_option("-o,--output", o.output, "The PNG file to write (\"-\": standard output)")
        ->required()
        ->type_name("FILE");
}

}  // namespace

bool HandleGuiDocRequest(int argc, const char* const* argv, std::ostream& out) {
    CLI::App app{ui::kGuiDescription, "wavkeep-gui"};
    std::vector<std::string> values(ui::kGuiOptions.size() + 1);
    for (size_t i = 0; i < ui::kGuiOptions.size(); ++i) {
        const ui::GuiOption& o = ui::kGuiOptions[i];
        app.add_option(std::string("--") + o.name, values[i], o.help)->type_name(o.valueName);
    }
    app.add_option(ui::kGuiFileArgument, values.back(), ui::kGuiFileHelp)->type_name("FILE");
    RenderOptions render;
    AddRenderCommand(app, render);
    clidoc::ManPage page;
    page.summary = "the wavkeep window";
    page.version = std::string("wavkeep ") + kWavkeepVersion;
    page.sections = {
        {"Qt options",
         "--help-all\tthe window's options and those every Qt program takes (-platform, -style ...)"},
        {"Description files",
         "Opening a .des file (from the file manager, or as FILE.des) hands it to the window already "
         "running on the program home, or starts one."},
        {"Environment",
         "WAVKEEP_HOME\tthe program home when --home is not given\n"
         "QT_QPA_PLATFORM\tthe Qt platform; without DISPLAY or WAYLAND_DISPLAY the window cannot open, and "
         "\"wavkeep run\" records without one"},
        {"See also", "wavkeep(1), wavkeep-service(1)"},
    };
    return clidoc::HandleDocRequest(argc, argv, app, page, "wavkeep", out);
}

int RunGuiCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"wavkeep-gui render: draws a stream's time line into a PNG without a display "
                 "(wavkeep-gui without \"render\" opens the window)."};
    app.require_subcommand(1);
    std::string home;
    app.add_option("--home", home, "Program home (default: $WAVKEEP_HOME, else ~/.local/share/wavkeep)")
        ->type_name("DIR");
    RenderOptions o;
    AddRenderCommand(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitOk : kExitUsage;
    }
    if (!HomeOptionUsable(app.count("--home") > 0, home, "wavkeep-gui", err)) return kExitUsage;
    if (!home.empty()) SetProgramHome(home);
    std::string why;
    if (!PrepareProgramHome(&why)) {
        err << "wavkeep-gui: " << why << '\n';
        return kExitFailed;
    }
    SetUpTraceFromConfig();
    // Fonts need a QGuiApplication; rendering needs no display, and a
    // platform taken from the environment (xcb without a display) would
    // abort: the offscreen one is asked for on Qt's own command line,
    // which outranks QT_QPA_PLATFORM.
    std::unique_ptr<QGuiApplication> guiApp;
    char name[] = "wavkeep-gui";
    char platformOption[] = "-platform";
    char platform[] = "offscreen";
    char* qtArgv[] = {name, platformOption, platform, nullptr};
    int qtArgc = 3;
    if (QGuiApplication::instance() == nullptr) {
        qInstallMessageHandler(QtMessageToTrace);
        guiApp = std::make_unique<QGuiApplication>(qtArgc, qtArgv);
    }
    return RunRender(o, out, err);
}

}  // namespace wk
