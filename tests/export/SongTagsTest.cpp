// Rewriting a finished song's tags: the new tag replaces the old one, and a
// write that fails (a full disk, a file that is no song) leaves the song as
// it was, with nothing beside it.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>

#include "export/SongTags.h"
#include "support/TempHome.h"
#include "support/Tools.h"
#include "support/WavFile.h"

namespace wk {
namespace {

// Files may not grow past `bytes` while the object lives, as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_set = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    bool Set() const { return m_set; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_set = false;
};

using SongTagsTest = test::TempHomeTest;

TEST_F(SongTagsTest, ANewTagReplacesTheOldAndAFailedWriteChangesNothing) {
    const std::string oggenc = test::RequireTool("oggenc");
    SongTags old;
    old.title = "Old";
    SongTags fresh;
    fresh.artist = "Somebody with a name of more than thirty characters";
    fresh.title = "\xE6\x9D\xB1\xE4\xBA\xAC";
    fresh.replayGain = ReplayGainValues{-1.5, 0.5, -2.25, 0.75};
    // Audio and the ID3v1 tag after the old long tag: they stay byte for byte.
    const std::string mp3Rest = std::string(30000, '\xAA') + "TAG" + std::string(125, 'x');
    const std::string mp3 = HomeFile("song.mp3");
    test::WriteFile(mp3, RenderId3v2Tag(old) + mp3Rest);
    std::vector<int16_t> pcm(44100 * 2 * 2);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(8000 * std::sin(double(i / 2) * 0.05));
    const std::string wav = HomeFile("song.wav"), ogg = HomeFile("song.ogg");
    test::WriteFile(wav, test::WavFile(pcm));
    ASSERT_EQ(
        std::system(
            (test::Quote(oggenc) + " -Q -o " + test::Quote(ogg) + " " + test::Quote(wav)).c_str()),
        0);
    const std::string text = HomeFile("text.ogg");
    test::WriteFile(text, std::string(5000, 'x'));
    // A tag that claims more bytes than follow it.
    const std::string bogus = HomeFile("bogus.mp3");
    test::WriteFile(bogus, std::string("ID3\x04\x00\x00\x7F\x7F\x7F\x7F", 10) + mp3Rest);

    const struct {
        const char* name;
        std::string path;
        std::function<bool(const std::string&, const SongTags&)> write;
        rlim_t limit;  // 0: none
        bool written;
    } cases[] = {
        {"mp3, disk full", mp3, WriteMp3SongTags, 8000, false},
        {"ogg, disk full", ogg, WriteOggSongTags, 8000, false},
        {"not Ogg", text, WriteOggSongTags, 0, false},
        {"tag longer than the file", bogus, WriteMp3SongTags, 0, false},
        {"missing", HomeFile("none.mp3"), WriteMp3SongTags, 0, false},
        {"mp3", mp3, WriteMp3SongTags, 0, true},
        {"ogg", ogg, WriteOggSongTags, 0, true},
    };
    for (const auto& c : cases) {
        const bool existed = std::filesystem::exists(c.path);
        const std::string before = existed ? test::ReadFile(c.path) : "";
        bool written = false;
        if (c.limit > 0) {
            FileSizeLimit limit(c.limit);
            ASSERT_TRUE(limit.Set()) << c.name;
            written = c.write(c.path, fresh);
        } else {
            written = c.write(c.path, fresh);
        }
        EXPECT_EQ(written, c.written) << c.name;
        EXPECT_EQ(std::filesystem::exists(c.path), existed) << c.name;
        if (!c.written && existed) {
            EXPECT_TRUE(test::ReadFile(c.path) == before) << c.name;
        }
        // Nothing is left beside the song.
        size_t entries = 0;
        for (const auto& e : std::filesystem::directory_iterator(HomeFile("")))
            entries += e.path().filename().string().find(".tag") != std::string::npos;
        EXPECT_EQ(entries, 0u) << c.name;
    }
    EXPECT_TRUE(test::ReadFile(mp3) == RenderId3v2Tag(fresh) + mp3Rest);
    // Written twice, the Ogg song's tags are the same: the old ones go.
    const std::string once = test::ReadFile(ogg);
    ASSERT_TRUE(WriteOggSongTags(ogg, fresh));
    EXPECT_TRUE(test::ReadFile(ogg) == once);
}

}  // namespace
}  // namespace wk
