// kill -9 at many moments of recording, deleting (with the renumbering that
// follows), exporting and normalising, through the real executable. After
// every kill the home must be whole: each chunk decodes, no chunk or side
// file is lost or doubled, the stream's files parse, each song is either as
// it was or completely changed; and running the same command again finishes
// the job as an uninterrupted run does.
//
// CRASH_POINTS (default 24) is the number of kill points over all four
// operations; scripts/crash-sweep runs the long form.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "export/Mp3Normalize.h"
#include "support/Mp3Decode.h"
#include "support/Process.h"
#include "support/TempHome.h"

namespace wk {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kStream = "Streams/Default/";

int PointsPerOperation() {
    const char* text = std::getenv("CRASH_POINTS");
    const int total = text ? std::atoi(text) : 24;
    return std::max(2, total / 4);
}

std::vector<std::string> With(std::vector<std::string> words, const std::vector<std::string>& more) {
    words.insert(words.end(), more.begin(), more.end());
    return words;
}

// wavkeep in `home`; its exit status.
int Wavkeep(const std::string& home, const std::vector<std::string>& args) {
    return test::RunProgram(With({WAVKEEP_EXE, "--home", home}, args), home + "out.txt",
                            home + "err.txt");
}

// A copy of a home whose config.ini names the copy's folders.
void CopyHome(const std::string& from, const std::string& to) {
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    std::string ini = test::ReadFile(to + "config.ini");
    for (size_t at = ini.find(from); at != std::string::npos; at = ini.find(from, at + to.size()))
        ini.replace(at, from.size(), to);
    test::WriteFile(to + "config.ini", ini);
}

int ChunkNumber(const std::string& name) {
    const size_t dot = name.rfind('.'), bar = name.rfind('_');
    return std::atoi(name.substr(bar + 1, dot - bar - 1).c_str());
}

// A chunk with its side files, by content.
struct ChunkFiles {
    std::string mp3, dat, fgp, pos;
    bool operator<(const ChunkFiles& o) const {
        return std::tie(mp3, dat, fgp, pos) < std::tie(o.mp3, o.dat, o.fgp, o.pos);
    }
    bool operator==(const ChunkFiles& o) const = default;
};

// Every chunk of the stream by session and number: "session|number" keys.
std::map<std::string, ChunkFiles> Chunks(const std::string& home) {
    std::map<std::string, ChunkFiles> chunks;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(home + kStream, ec)) {
        const std::string name = e.path().filename().string();
        const std::string ext = e.path().extension().string();
        if (ext != ".mp3" && ext != ".dat" && ext != ".fgp" && ext != ".pos") continue;
        const std::string session = name.substr(0, name.rfind('_'));
        char key[16];
        std::snprintf(key, sizeof key, "|%06d", ChunkNumber(name));
        ChunkFiles& c = chunks[session + key];
        std::string bytes = test::ReadFile(e.path().string());
        if (ext == ".mp3") c.mp3 = std::move(bytes);
        if (ext == ".dat") c.dat = std::move(bytes);
        if (ext == ".fgp") c.fgp = std::move(bytes);
        if (ext == ".pos") c.pos = std::move(bytes);
    }
    return chunks;
}

std::vector<std::string> Mp3Files(const std::string& folder) {
    std::vector<std::string> files;
    for (const std::string& name : test::FileNames(folder, ".mp3")) files.push_back(folder + name);
    return files;
}

// Files left behind beside the songs or chunks (temporary copies).
int Leftovers(const std::string& folder) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        const std::string name = e.path().filename().string();
        if (name.find(".gain") != std::string::npos || name.find(".tag") != std::string::npos ||
            name.find(".new.") != std::string::npos)
            ++n;
    }
    return n;
}

// What is wrong with the chunks of the home, empty when nothing. A chunk
// without a whole frame (a recorder killed as it began the file) is allowed
// until the next recording has started (`emptyAllowed` false).
std::string ChunkFaults(const std::string& home, bool emptyAllowed = false) {
    std::string faults;
    for (const std::string& path : Mp3Files(home + kStream)) {
        const test::DecodedMp3 d = test::DecodeMp3File(path);
        if (emptyAllowed && d.frames == 0 && fs::file_size(path) < 8192) continue;
        if (d.errors != 0 || d.frames == 0)
            faults += path + " does not decode (" + std::to_string(d.frames) + " frames)\n";
    }
    if (Wavkeep(home, {"info"}) != 0) faults += "wavkeep info failed\n";
    if (Wavkeep(home, {"streams", "--names"}) != 0 ||
        test::ReadFile(home + "out.txt").find("Default") == std::string::npos)
        faults += "the stream list lost the stream\n";
    if (Wavkeep(home, {"descriptions"}) != 0) faults += "desc.des does not read\n";
    if (Wavkeep(home, {"schedule", "list"}) != 0) faults += "schedule.txt does not read\n";
    return faults;
}

// One kill point: the command started in a copy of `base`, killed after
// `delay`; true when it was still running then.
bool KillDuring(const std::string& home, const std::vector<std::string>& args,
                std::chrono::microseconds delay) {
    test::ChildProcess child;
    if (!child.Start(With({WAVKEEP_EXE, "--home", home}, args), home + "out.txt", home + "err.txt"))
        return false;
    std::this_thread::sleep_for(delay);
    child.Signal(SIGKILL);
    return child.Wait() == 128 + SIGKILL;
}

struct SweepTally {
    int points = 0, killed = 0;
};

// Runs `args` on copies of `base` killed at evenly spread moments over the
// uninterrupted run's length (`length`, a little beyond), calling `check`
// after each kill.
SweepTally Sweep(const std::string& base, const std::vector<std::string>& args,
                 Clock::duration length, const std::function<void(const std::string&)>& check) {
    SweepTally tally;
    const int n = PointsPerOperation();
    const auto total = std::chrono::duration_cast<std::chrono::microseconds>(length) * 11 / 10;
    for (int i = 0; i < n; ++i) {
        test::TempDir home;
        CopyHome(base, home.Path());
        const auto delay = total * (2 * i + 1) / (2 * n);
        ++tally.points;
        if (KillDuring(home.Path(), args, delay)) ++tally.killed;
        SCOPED_TRACE("kill point " + std::to_string(i) + " after " +
                     std::to_string(delay.count()) + " us");
        check(home.Path());
        if (::testing::Test::HasFailure()) break;
    }
    std::printf("crash sweep %s: %d points, %d killed while running\n", args[0].c_str(),
                tally.points, tally.killed);
    return tally;
}

Clock::duration Timed(const std::function<void()>& run) {
    const auto t0 = Clock::now();
    run();
    return Clock::now() - t0;
}

// "2026_12_07_15_55_15" of a chunk name as seconds (no time zone: only
// differences and the text matter).
time_t SessionStart(const std::string& chunkName) {
    std::tm t{};
    std::sscanf(chunkName.c_str(), "%d_%d_%d_%d_%d_%d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                &t.tm_hour, &t.tm_min, &t.tm_sec);
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return timegm(&t);
}

std::string DesTime(time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%d/%m/%Y  %H:%M:%S.000", &tm);
    return text;
}

// The songs of the template's desc.des: seconds after the recording's start.
struct Song {
    int from, to;
    const char* title;
};
constexpr Song kSongs[] = {{5, 30, "One"}, {32, 58, "Two"}, {60, 88, "Three"}, {90, 114, "Four"}};

// The shared home: two minutes of the generator in 2-second chunks, four
// described songs.
class CrashSweepTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_template = std::make_unique<test::TempDir>();
        const std::string home = s_template->Path();
        ASSERT_EQ(Wavkeep(home, {"config", "set", "Encoder", "Lame encoder"}), 0);
        ASSERT_EQ(Wavkeep(home, {"config", "set", "SingleFileLength", "2"}), 0);
        ASSERT_EQ(Wavkeep(home, {"record", "--for", "120", "--input", "generator:3:fast"}), 0)
            << test::ReadFile(home + "err.txt");
        const auto names = test::FileNames(home + kStream, ".mp3");
        ASSERT_EQ(names.size(), 60u);
        const time_t s0 = SessionStart(names[0]);
        std::string des = "# 0.9\r\n# \r\n# \r\n";
        for (const Song& s : kSongs)
            des += DesTime(s0 + s.from) + "\t" + DesTime(s0 + s.to) + "\tSweep\t" + s.title +
                   "\t\t\t\t17\t\t0\r\n";
        test::WriteFile(home + kStream + "desc.des", des);
        ASSERT_EQ(Wavkeep(home, {"schedule", "add", "once", "--from", "2030-01-01 10:00:00", "--to",
                                 "2030-01-01 11:00:00"}),
                  0)
            << test::ReadFile(home + "err.txt");
        ASSERT_EQ(ChunkFaults(home), "");
    }
    static void TearDownTestSuite() { s_template.reset(); }
    static std::string Template() { return s_template->Path(); }

    static std::unique_ptr<test::TempDir> s_template;
};
std::unique_ptr<test::TempDir> CrashSweepTest::s_template;

// Recording into a stream that already holds a session: the old chunks stay
// as they were, the new ones decode however short.
TEST_F(CrashSweepTest, Recording) {
    const std::vector<std::string> args = {"record", "--for", "60", "--input", "generator:5:fast"};
    const auto before = Chunks(Template());
    test::TempDir whole;
    CopyHome(Template(), whole.Path());
    const auto length = Timed([&] { ASSERT_EQ(Wavkeep(whole.Path(), args), 0); });
    Sweep(Template(), args, length, [&](const std::string& home) {
        const auto now = Chunks(home);
        for (const auto& [key, files] : before) {
            const auto it = now.find(key);
            EXPECT_TRUE(it != now.end() && it->second == files) << "changed or lost: " << key;
        }
        EXPECT_EQ(ChunkFaults(home, true), "");
        ASSERT_EQ(Wavkeep(home, {"record", "--for", "4", "--input", "generator:6:fast"}), 0)
            << test::ReadFile(home + "err.txt");
        EXPECT_EQ(ChunkFaults(home), "");
        EXPECT_EQ(Leftovers(home + kStream), 0);
    });
}

// The chunks by their place in stream time ("start + (number - 1) * length"
// of their names) instead of their names.
std::map<std::pair<time_t, int>, ChunkFiles> Places(const std::map<std::string, ChunkFiles>& chunks) {
    std::map<std::pair<time_t, int>, ChunkFiles> places;
    for (const auto& [key, files] : chunks) {
        int duration = 0, length = 0;
        std::sscanf(key.c_str(), "%*d_%*d_%*d_%*d_%*d_%*d_%d_%d", &duration, &length);
        const int number = std::atoi(key.substr(key.find('|') + 1).c_str());
        places[{SessionStart(key) + time_t{number - 1} * length, length}] = files;
    }
    return places;
}

// Deleting chunks 16..30 renumbers the 30 after them: after a kill each chunk
// (with its own side files) is there once, none lost that the deletion keeps,
// and the second run leaves what one whole run leaves.
TEST_F(CrashSweepTest, DeleteAndRenumber) {
    const auto names = test::FileNames(Template() + kStream, ".mp3");
    const time_t s0 = SessionStart(names[0]);
    const std::vector<std::string> args = {"delete", "--from", DesTime(s0 + 30), "--to",
                                           DesTime(s0 + 60)};
    test::TempDir whole;
    CopyHome(Template(), whole.Path());
    const auto length = Timed([&] { ASSERT_EQ(Wavkeep(whole.Path(), args), 0); });
    const auto after = Chunks(whole.Path());
    ASSERT_EQ(after.size(), 45u);
    std::set<ChunkFiles> kept, known;
    for (const auto& [key, files] : after) kept.insert(files);
    for (const auto& [key, files] : Chunks(Template())) known.insert(files);
    std::set<std::string> knownAudio;
    for (const ChunkFiles& files : known) knownAudio.insert(files.mp3);
    Sweep(Template(), args, length, [&](const std::string& home) {
        // Right after the kill: every chunk's audio once (its side files may
        // be on their way to its new name).
        std::multiset<std::string> now;
        for (const auto& [key, files] : Chunks(home)) {
            if (files.mp3.empty()) continue;
            EXPECT_TRUE(knownAudio.count(files.mp3)) << key << ": unknown audio";
            now.insert(files.mp3);
        }
        for (const ChunkFiles& files : kept) EXPECT_EQ(now.count(files.mp3), 1u) << "lost or doubled";
        EXPECT_EQ(ChunkFaults(home), "");
        // The second run: the stream one whole run leaves, each chunk with its
        // own side files at its place in stream time (the names of the
        // sessions may differ).
        const int again = Wavkeep(home, args);
        EXPECT_TRUE(again == 0 || again == 1) << test::ReadFile(home + "err.txt");
        const auto places = Places(Chunks(home));
        EXPECT_EQ(places.size(), 45u);
        for (const auto& [place, files] : Places(after)) {
            const auto it = places.find(place);
            EXPECT_TRUE(it != places.end() && it->second == files)
                << "the chunk at " << place.first << " is not what one whole run leaves";
        }
        for (const auto& [key, files] : Chunks(home)) EXPECT_FALSE(files.mp3.empty()) << key;
    });
}

// The song files of the music folder, by name.
std::map<std::string, std::string> Songs(const std::string& home) {
    std::map<std::string, std::string> songs;
    for (const std::string& path : Mp3Files(home + "Songs/"))
        songs[fs::path(path).filename().string()] = test::ReadFile(path);
    return songs;
}

TEST_F(CrashSweepTest, Export) {
    test::TempDir whole;
    CopyHome(Template(), whole.Path());
    const auto length = Timed([&] { ASSERT_EQ(Wavkeep(whole.Path(), {"export"}), 0); });
    const auto made = Songs(whole.Path());
    ASSERT_EQ(made.size(), std::size(kSongs));
    Sweep(Template(), {"export"}, length, [&](const std::string& home) {
        // A song in the music folder is whole: cut, normalised and tagged.
        for (const auto& [name, bytes] : Songs(home)) {
            const test::DecodedMp3 d = test::DecodeMp3File(home + "Songs/" + name);
            EXPECT_EQ(d.errors, 0) << name;
            EXPECT_EQ(bytes.rfind("ID3", 0), 0u) << name << " has no tag";
        }
        EXPECT_EQ(ChunkFaults(home), "");
        ASSERT_EQ(Wavkeep(home, {"export"}), 0) << test::ReadFile(home + "err.txt");
        // Each song once, whichever run made it.
        const auto songs = Songs(home);
        EXPECT_EQ(songs.size(), made.size());
        for (const auto& [name, bytes] : made) EXPECT_TRUE(songs.count(name)) << name << " lost";
        EXPECT_EQ(Leftovers(home + "Songs/"), 0);
    });
}

// Four songs at different levels, normalised as one album: after a kill each
// song holds either its old or its new bytes.
TEST_F(CrashSweepTest, Normalize) {
    test::TempDir base;
    CopyHome(Template(), base.Path());
    ASSERT_EQ(Wavkeep(base.Path(), {"export"}), 0);
    std::vector<std::string> files = Mp3Files(base.Path() + "Songs/");
    ASSERT_EQ(files.size(), 4u);
    for (size_t i = 0; i < files.size(); ++i) {
        const int steps[] = {4, -3, 7, 1};
        ASSERT_TRUE(ChangeMp3Gain(files[i], steps[i], steps[i]));
    }
    std::map<std::string, std::string> before = Songs(base.Path()), after;
    std::vector<std::string> names;
    for (const auto& [name, bytes] : before) names.push_back("Songs/" + name);

    // Paths relative to the home, which each copy runs in.
    const auto run = [&](const std::string& home) {
        std::vector<std::string> args = {"normalize"};
        for (const std::string& n : names) args.push_back(home + n);
        return args;
    };
    test::TempDir whole;
    CopyHome(base.Path(), whole.Path());
    const auto length = Timed([&] { ASSERT_EQ(Wavkeep(whole.Path(), run(whole.Path())), 0); });
    after = Songs(whole.Path());
    for (const auto& [name, bytes] : before) ASSERT_NE(after[name], bytes) << name;

    int mixed = 0;
    const int n = PointsPerOperation();
    const auto total = std::chrono::duration_cast<std::chrono::microseconds>(length) * 11 / 10;
    int killed = 0;
    for (int i = 0; i < n && !HasFailure(); ++i) {
        test::TempDir home;
        CopyHome(base.Path(), home.Path());
        const auto delay = total * (2 * i + 1) / (2 * n);
        if (KillDuring(home.Path(), run(home.Path()), delay)) ++killed;
        SCOPED_TRACE("kill point " + std::to_string(i));
        int changed = 0;
        for (const auto& [name, bytes] : Songs(home.Path())) {
            EXPECT_TRUE(bytes == before[name] || bytes == after[name]) << name << " half normalised";
            changed += bytes == after[name] ? 1 : 0;
        }
        if (changed != 0 && changed != int(before.size())) ++mixed;
        ASSERT_EQ(Wavkeep(home.Path(), run(home.Path())), 0);
        if (changed == 0 || changed == int(before.size())) {
            EXPECT_TRUE(Songs(home.Path()) == after) << "the second run did not finish the job";
        }
        for (const std::string& path : Mp3Files(home.Path() + "Songs/"))
            EXPECT_EQ(test::DecodeMp3File(path).errors, 0) << path;
        EXPECT_EQ(Leftovers(home.Path() + "Songs/"), 0);
    }
    std::printf("crash sweep normalize: %d points, %d killed while running, %d between songs\n", n,
                killed, mixed);
}

}  // namespace
}  // namespace wk
