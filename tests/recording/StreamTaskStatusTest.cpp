#include <gtest/gtest.h>

#include "descriptions/DescriptionStore.h"
#include "recording/StreamTaskStatus.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamNameFile.h"
#include "support/TempHome.h"

namespace wk {
namespace {

DateTime Fri(int h, int mi = 0) {
    return DateTime(2003, 11, 7, h, mi);
}

class StreamTaskStatusTest : public test::TempHomeTest {};

TEST_F(StreamTaskStatusTest, AnswersFromTheStreamFolders) {
    StreamNameFile streams;
    streams.load();
    streams.AddCopy(StreamRecord{.name = "Radio", .active = 1});
    streams.AddCopy(StreamRecord{.name = "Pop", .active = 0});
    ASSERT_TRUE(streams.save() && streams.CreateFolders());
    const std::string radio = StreamNameFile::StreamRoot() + "Radio/";
    // Three 5-minute chunks from 10:00, a description from 10:05 to 10:08.
    for (int n = 1; n <= 3; ++n) {
        const std::string base = radio + ChunkBaseName(Fri(10), 3600, 300, n);
        test::WriteFile(base + ".mp3", "audio");
        test::WriteFile(base + ".dat", std::string(30000, 'd'));
        test::WriteFile(base + ".fgp", "f");
    }
    DescriptionStore desc(radio, "desc");
    Description d;
    d.start = Fri(10, 5).ToStreamTime();
    d.end = Fri(10, 8).ToStreamTime();
    desc.Add(d);
    ASSERT_TRUE(desc.Save());

    StreamTaskStatus status;
    const struct {
        std::string stream;
        DateTime from, to;
        bool chunks, described;
    } cases[] = {
        {"Radio", Fri(10), Fri(11), true, true},
        {"radio", Fri(10, 10), Fri(10, 20), true, false},  // the list spells the folder
        {"Radio", Fri(10, 20), Fri(11), false, false},
        {"Radio", Fri(9), Fri(10), false, false},  // ends where the recording begins
        {"Pop", Fri(10), Fri(11), false, false},
        {"../Radio", Fri(10), Fri(11), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream + " " + c.from.TimeText());
        EXPECT_EQ(status.HasRecordedChunks(c.stream, c.from, c.to), c.chunks);
        EXPECT_EQ(status.HasDescription(c.stream, c.from, c.to), c.described);
    }
    EXPECT_TRUE(status.IsStreamActive("Radio"));
    EXPECT_FALSE(status.IsStreamActive("Pop"));
    EXPECT_FALSE(status.IsStreamActive("Jazz"));
}

}  // namespace
}  // namespace wk
