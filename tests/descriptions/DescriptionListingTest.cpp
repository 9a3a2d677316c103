#include <gtest/gtest.h>

#include "descriptions/DescriptionListing.h"
#include "descriptions/DescriptionStore.h"
#include "streamstore/ChunkName.h"
#include "support/TempHome.h"

namespace wk {
namespace {

using test::TempDir;
using test::WriteFile;

// A 30-second session of three 10-second chunks from 17:40:00, and songs
// in file order not by start: one inside it, one reaching into it from
// before, one an hour later.
TEST(DescriptionListingTest, ListsByStartWithCoverageAndTheNotes) {
    TempDir dir;
    const DateTime session(2003, 11, 7, 17, 40, 0);
    for (int number = 1; number <= 3; ++number) {
        const std::string base = dir.File(ChunkBaseName(session, 30, 10, number));
        WriteFile(base + ".mp3", "");
        WriteFile(base + ".dat", std::string(1000, 'd'));
    }
    const StreamTime t0 = session.ToStreamTime();
    const struct {
        const char* title;
        StreamTime start, end;
        int coverage;
    } songs[] = {
        {"inside", t0 + 5000, t0 + 25000, kCoverageComplete},
        {"later", t0 + 3600000, t0 + 3660000, kCoverageMissing},
        {"before", t0 - 10000, t0 + 4000, kCoveragePartial},
    };
    DescriptionStore store(dir.Path(), "desc");
    store.header[1] = "playlist note";
    store.header[2] = "source note";
    for (const auto& song : songs) {
        Description d;
        d.artist = "A";
        d.title = song.title;
        d.start = song.start;
        d.end = song.end;
        store.Add(d);
    }
    ASSERT_TRUE(store.Save());

    const DescriptionListing listing = ReadDescriptionListing(dir.Path());
    ASSERT_EQ(listing.records.size(), 3u);
    for (size_t i = 0; i < listing.records.size(); ++i) {
        const auto& want = songs[(i + 2) % 3];  // before, inside, later
        EXPECT_EQ(listing.records[i].title, want.title);
        EXPECT_EQ(listing.records[i].coverage, want.coverage) << want.title;
    }
    EXPECT_EQ(listing.header2, "playlist note");
    EXPECT_EQ(listing.header3, "source note");

    // No stream, or a folder without descriptions: nothing listed.
    EXPECT_TRUE(ReadDescriptionListing("").records.empty());
    TempDir empty;
    EXPECT_TRUE(ReadDescriptionListing(empty.Path()).records.empty());
}

}  // namespace
}  // namespace wk
