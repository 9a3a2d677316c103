#include "app/ExportCommand.h"

#include "app/CliCommandTable.h"
#include "app/StreamChoice.h"

#include <mpg123.h>
#include <unistd.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>

#include "app/UserTime.h"
#include "core/ConfigStore.h"
#include "core/PrintableText.h"
#include "descriptions/DescriptionStore.h"
#include "export/ExportProgress.h"
#include "export/ExportThread.h"
#include "export/Id3Tag.h"
#include "export/Mp3Normalize.h"
#include "export/SongTags.h"
#include "streamstore/StreamNameFile.h"

namespace wk {
namespace {

// A one-line progress display on a terminal: the text and a bar that the
// extraction and the normalisation advance. Nothing when not on a terminal.
class TerminalProgress final : public SilentExportProgress {
public:
    explicit TerminalProgress(std::FILE* stream)
        : m_stream(stream), m_tty(isatty(fileno(stream))) {}
    ~TerminalProgress() override { Hide(); }

    void StepBy(int64_t n) override {
        SilentExportProgress::StepBy(n);
        Draw();
    }
    void SetFileName(const std::string& name) override {
        SilentExportProgress::SetFileName(name);
        Draw();
    }
    void SetRange(int64_t lo, int64_t hi) override {
        SilentExportProgress::SetRange(lo, hi);
        Draw();
    }
    void SetText(const std::string& t) override {
        SilentExportProgress::SetText(t);
        Draw();
    }
    void Hide() override {
        if (m_tty && m_drawn) std::fprintf(m_stream, "\r\033[K");
        std::fflush(m_stream);
        m_drawn = false;
    }

private:
    void Draw() {
        if (!m_tty) return;
        const int64_t span = high - low;
        const int percent =
            span > 0 ? static_cast<int>(std::clamp<int64_t>((position - low) * 100 / span, 0, 100))
                     : 0;
        std::string shown = text.substr(0, 50);
        const int filled = percent / 5;
        std::fprintf(m_stream, "\r\033[K%-50s [%s%s] %3d%%", shown.c_str(),
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(20 - filled), ' ').c_str(), percent);
        std::fflush(m_stream);
        m_drawn = true;
    }
    std::FILE* m_stream;
    bool m_tty;
    bool m_drawn = false;
};

std::string Duration(double seconds) {
    if (seconds < 0) return "?";
    const auto total = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

double Mp3Seconds(const std::string& path) {
    int error = MPG123_OK;
    mpg123_handle* h = mpg123_new(nullptr, &error);
    if (!h) return -1;
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    double seconds = -1;
    if (mpg123_open(h, path.c_str()) == MPG123_OK) {
        long rate = 0;
        int channels = 0, encoding = 0;
        if (mpg123_scan(h) == MPG123_OK &&
            mpg123_getformat(h, &rate, &channels, &encoding) == MPG123_OK && rate > 0) {
            const off_t samples = mpg123_length(h);
            if (samples >= 0) seconds = static_cast<double>(samples) / static_cast<double>(rate);
        }
        mpg123_close(h);
    }
    mpg123_delete(h);
    return seconds;
}

double OggSeconds(const std::string& path) {
    OggVorbis_File vf;
    if (ov_fopen(path.c_str(), &vf) != 0) return -1;
    const double seconds = ov_time_total(&vf, -1);
    ov_clear(&vf);
    return seconds;
}

// The ID3v1 fields of an MP3 file's last 128 bytes, "" when there is no tag.
std::string Id3Summary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(-128, std::ios::end);
    char tag[128];
    if (!in.read(tag, sizeof tag) || std::string(tag, 3) != "TAG") return {};
    auto field = [&](int offset, int size) {
        std::string s(tag + offset, static_cast<size_t>(size));
        s.resize(std::min(s.find('\0'), s.size()));
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
    };
    std::string text = field(33, 30) + " - " + field(3, 30);
    const std::string album = field(63, 30), year = field(93, 4);
    if (!album.empty()) text += " [" + album + (year.empty() ? "" : ", " + year) + "]";
    const std::string genre = GetGenreName(static_cast<unsigned char>(tag[127]));
    if (!genre.empty()) text += " (" + genre + ")";
    return text;
}

}  // namespace

double MusicFileSeconds(const std::string& path) {
    const std::string ext = std::filesystem::path(path).extension().string();
    if (ext == ".mp3") return Mp3Seconds(path);
    if (ext == ".ogg") return OggSeconds(path);
    return -1;
}

int RunExport(const ExportOptions& o, std::ostream& out, std::ostream& err) {
    int status = 0;
    const auto chosen = ChooseStream(o.stream, err, &status);
    if (!chosen) return status;
    const std::string& stream = chosen->name;
    const std::string& folder = chosen->folder;
    std::error_code folderError;
    if (!std::filesystem::is_directory(folder, folderError)) {
        err << "wavkeep: no stream folder " << folder << '\n';
        return 1;
    }
    DescriptionStore store;
    LoadStreamDescriptions(folder, store);
    ExportRequest request;
    if (!o.from.empty()) {
        const auto from = ParseUserDateTime(o.from);
        const auto to = ParseUserDateTime(o.to);
        if (!from || !to || to->ToStreamTime() <= from->ToStreamTime()) {
            err << "wavkeep: --from and --to want two times, the second later\n";
            return 2;
        }
        request = BuildRangeExportRequest(store, from->ToStreamTime(), to->ToStreamTime(), folder);
    } else {
        // The manual export touches no covered-until time.
        request = BuildExportRequest(store, {}, folder, -1, false);
    }
    if (request.entries.empty()) {
        out << "Nothing to export: no description of " << stream
            << " is completely recorded (see \"wavkeep descriptions\")\n";
        return 0;
    }
    TerminalProgress progress(stderr);
    request.progress = o.progress ? o.progress : &progress;
    const ExportRunResult result = RunMusicExport(std::move(request));
    if (!result.ran) {
        err << "wavkeep: another export is running\n";
        return 1;
    }
    int made = 0;
    int lacking = 0;
    for (const ExportedFile& f : result.files) {
        if (f.path.empty()) {
            out << "failed\t" << PrintableText(f.entry.name) << '\n';
            continue;
        }
        ++made;
        out << (f.badCut ? "badcut\t" : "ok\t") << PrintableText(f.path)
            << (f.movedIntoPlace ? ""
                                 : "\t(left in the temporary folder: a file of that name exists)");
        if (!f.missingAudio.empty()) {
            ++lacking;
            out << "\t(" << f.missingAudio << ')';
        }
        out << '\n';
    }
    out << made << " of " << result.files.size() << " tracks exported";
    if (lacking > 0) out << ", " << lacking << " of them lacking audio";
    if (result.normalized) out << ", normalised by " << result.normalizeSteps << " steps of 1.5 dB";
    out << '\n';
    // Descriptions left in desc.des would be exported again next time.
    if (!result.saveError.empty()) {
        err << "wavkeep: " << result.saveError << '\n';
        return 1;
    }
    return made == static_cast<int>(result.files.size()) && lacking == 0 ? 0 : 1;
}

int RunNormalize(const std::vector<std::string>& files, bool dryRun, std::ostream& out,
                 std::ostream& err) {
    for (const std::string& f : files) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(f, ec)) {
            err << "wavkeep: no file " << f;
            if (ec && ec != std::errc::no_such_file_or_directory) err << " (" << ec.message() << ')';
            err << '\n';
            return 2;
        }
    }
    if (dryRun) {
        const double gain = MeasureAlbumGain(files);
        if (gain == kGainNotEnoughSamples) {
            err << "wavkeep: not enough audio to measure\n";
            return 1;
        }
        out << std::fixed << std::setprecision(2) << "album gain " << gain
            << " dB: " << GainSteps(gain) << " steps of 1.5 dB\n";
        return 0;
    }
    TerminalProgress progress(stderr);
    int64_t total = 0;
    for (const std::string& f : files) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(f, ec);
        if (!ec) total += static_cast<int64_t>(size);
    }
    progress.SetText("Normalizing mp3's...Please wait!");
    progress.SetRange(0, total);
    // Songs tagged at their export carry the loudness they had then: a player
    // reading those values would move the new audio twice.
    const NormalizeResult r = NormalizeMp3Files(
        files, [&progress](int64_t bytes) { progress.StepBy(bytes); }, Mp3TagWithReplayGain);
    progress.Hide();
    if (r.corrupt) {
        err << "wavkeep: a file holds very corrupt data; nothing was changed\n";
        return 1;
    }
    if (!r.analysed) {
        err << "wavkeep: not enough audio to measure; nothing was changed\n";
        return 1;
    }
    out << std::fixed << std::setprecision(2) << "album gain " << r.albumGain << " dB: " << r.steps
        << " steps of 1.5 dB applied to " << r.changedFiles << " files\n";
    for (const std::string& s : r.skipped) out << "not changed: " << s << '\n';
    return r.skipped.empty() ? 0 : 1;
}

int RunSongs(std::ostream& out, std::ostream& err) {
    ConfigStore config;
    config.Load();
    const std::string folder = config.GetString("ExportPath");
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string ext = it->path().extension().string();
        std::error_code typeError;
        if (it->is_regular_file(typeError) && (ext == ".mp3" || ext == ".ogg" || ext == ".wav"))
            files.push_back(it->path());
    }
    std::error_code existsError;
    if (ec && !std::filesystem::exists(folder, existsError) && !existsError) {
        out << "The music folder " << folder << " does not exist yet\n";
        return 0;
    }
    if (ec) {
        err << "wavkeep: cannot read " << folder << ": " << ec.message() << '\n';
        return 1;
    }
    std::sort(files.begin(), files.end());
    for (const auto& p : files) {
        const std::string path = p.string();
        const std::string ext = p.extension().string();
        const double seconds = MusicFileSeconds(path);
        out << PrintableText(p.filename().string()) << '\t' << Duration(seconds);
        // The long tag when the song has one, else its ID3v1 tag.
        std::string tag = LongTagSummary(path);
        if (tag.empty() && ext == ".mp3") tag = Id3Summary(path);
        if (!tag.empty()) out << '\t' << PrintableText(tag);
        out << '\n';
    }
    out << files.size() << " files in " << folder << '\n';
    return 0;
}

void AddExportCommands(CliCommandTable& table) {
    struct Options {
        ExportOptions run;
        std::vector<std::string> files;
        bool dryRun = false;
        bool open = false;
    };
    auto o = std::make_shared<Options>();
    CLI::App& app = table.App();
    CLI::App* exportCmd = app.add_subcommand(
        "export", "Cut every completely recorded description of the stream into a music file "
                  "(\"ExportPath\"; not-identified ones into its badcut folder), tag it, "
                  "normalise the MP3 files as one album; exported descriptions leave desc.des. "
                  "With --from/--to: one file of that range instead");
    exportCmd->add_option("--stream", o->run.stream, "Stream (default: \"ActiveStream\")")->type_name("STREAM");
    exportCmd->add_option("--from", o->run.from,
                          "Start: \"DD/MM/YYYY  hh:mm:ss[.mmm]\" or \"YYYY-MM-DD hh:mm:ss\"");
    exportCmd->add_option("--to", o->run.to, "End, in the same forms");
    table.On(exportCmd, [o](std::ostream& out, std::ostream& err) {
        if (o->run.from.empty() != o->run.to.empty())
            throw UsageError("give both --from and --to, or neither");
        return RunExport(o->run, out, err);
    });

    CLI::App* normalize = app.add_subcommand(
        "normalize", "Bring MP3 files to one loudness as one album (ReplayGain analysis; every "
                     "frame's global gain moved by the same steps of 1.5 dB, no re-encoding; ReplayGain tags "
                     "a song already carries are set to its new loudness)");
    normalize->add_option("FILE", o->files, "MP3 files, changed in place")->required();
    normalize->add_flag("--dry-run", o->dryRun, "Only measure and print the album gain");
    table.On(normalize, [o](std::ostream& out, std::ostream& err) {
        return RunNormalize(o->files, o->dryRun, out, err);
    });

    CLI::App* songs = app.add_subcommand(
        "songs", "List the music folder (\"ExportPath\"): files, durations and tags");
    songs->add_flag("--open", o->open,
                    "Open the music folder in the desktop's file manager (xdg-open) instead");
    table.On(songs, [o](std::ostream& out, std::ostream& err) {
        if (!o->open) return RunSongs(out, err);
        if (OpenMusicDirectory()) return kExitOk;
        err << "wavkeep: the music folder could not be opened (is xdg-open installed?)\n";
        return kExitFailed;
    });
}

}  // namespace wk
