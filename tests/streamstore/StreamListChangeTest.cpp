// Changing the stream list for a user: all of a change or none of it, and
// only the fields the user changed, written into the list as the file holds
// it when the change is saved.

#include <gtest/gtest.h>

#include "streamstore/StreamListChange.h"
#include "streamstore/StreamNameFile.h"
#include "support/TempHome.h"

namespace wk {
namespace {

class StreamListChangeTest : public test::TempHomeTest {};

TEST_F(StreamListChangeTest, ChangesApplyWhollyOrNotAtAll) {
    StreamNameFile list;
    list.load();
    StreamRecord one = NewStreamRecord(list, "One");
    EXPECT_EQ(one.longestTrack, 360);  // the Default stream's values
    EXPECT_EQ(one.active, 0);
    list.AddCopy(one);
    ASSERT_TRUE(list.save());
    const std::string before = test::ReadFile(StreamNameFile::FilePath());

    struct Case {
        const char* what;
        std::vector<std::string> added;
        const char* changed;  // a stream whose active flag is set
        StreamChangeStatus status;
    };
    for (const Case& c : {Case{"bad name among good ones", {"Two", "a/b"}, "One", StreamChangeStatus::kBadName},
                          Case{"other spelling of a listed stream", {"ONE"}, nullptr, StreamChangeStatus::kExists},
                          Case{"the same new name twice", {"Two", "two"}, nullptr, StreamChangeStatus::kExists},
                          Case{"a changed stream that is gone", {"Two"}, "Gone", StreamChangeStatus::kNotFound}}) {
        StreamListChanges changes;
        for (const std::string& name : c.added) changes.added.push_back(NewStreamRecord(list, name));
        if (c.changed) {
            StreamRecord r = one;
            r.name = c.changed;
            changes.changed.push_back({r, r});
            changes.changed.back().after.active = 1;
        }
        const StreamChangeResult r = ChangeStreamList(changes);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_FALSE(r.problem.empty()) << c.what;
        EXPECT_EQ(test::ReadFile(StreamNameFile::FilePath()), before) << c.what;
    }
}

TEST_F(StreamListChangeTest, OnlyTheChangedFieldsReachTheFile) {
    StreamNameFile list;
    list.load();
    StreamRecord read = NewStreamRecord(list, "One");
    list.AddCopy(read);
    ASSERT_TRUE(list.save());
    // Meanwhile the export moves covered-until and another user sets the
    // service's number.
    StreamNameFile other;
    other.load();
    other.Find("One")->coveredUntil = 777;
    other.Find("One")->serviceNumber = 12;
    ASSERT_TRUE(other.save());

    StreamRecordChange change{read, read};
    change.after.active = 1;
    change.after.shortestTrack = 45;
    change.after.coveredUntil = 1;  // never taken from a user
    ASSERT_TRUE(ChangeStreamList({{NewStreamRecord(list, "Two")}, {change}}).Done());
    StreamNameFile now;
    now.load();
    const StreamRecord* r = now.Find("One");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->active, 1);
    EXPECT_EQ(r->shortestTrack, 45);
    EXPECT_EQ(r->serviceNumber, 12);
    EXPECT_EQ(r->coveredUntil, 777);
    EXPECT_NE(now.Find("Two"), nullptr);
}

}  // namespace
}  // namespace wk
