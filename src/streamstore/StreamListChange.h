#pragma once
// Changing the stream list on behalf of a user ("wavkeep streams add",
// "activate", "deactivate" and the channel list dialog of the desktop
// shell): new streams and changed records are applied together to the list
// as the file holds it now, under the file's lock, or not at all.
//
// A new stream starts from the Default stream's values (silence and track
// lengths, kind, tuner channel), inactive, with no service number and
// nothing covered, unless the caller gives its own record. Its name must
// pass StreamNameFile::NameProblem and must not be listed already in any
// spelling. A changed record is found by its name (case ignored) and only
// the fields the caller changed (`before` to `after`) are written into the
// record as the file holds it, so that another process's change of other
// fields stays; the name and the covered-until mark (which the export
// moves) are never changed here.
//
// Threading: any thread; the lock serialises writers across processes.

#include <string>
#include <vector>

#include "streamstore/StreamRecord.h"

namespace wk {

class StreamNameFile;

enum class StreamChangeStatus {
    kDone,
    kBadName,      // a new name cannot name a stream (the reason says why)
    kExists,       // a new name is listed already, maybe in other letter case
    kNotFound,     // a changed record is not in the list
    kNotWritten,   // the lock could not be had, or a folder or the file could not be written
};

struct StreamChangeResult {
    StreamChangeStatus status = StreamChangeStatus::kDone;
    std::string name;     // the stream the problem is about (as given)
    std::string problem;  // one line for the user; empty when done
    bool Done() const { return status == StreamChangeStatus::kDone; }
};

struct StreamRecordChange {
    StreamRecord before;  // as the caller read it
    StreamRecord after;   // as the caller wants it
};

struct StreamListChanges {
    std::vector<StreamRecord> added;
    std::vector<StreamRecordChange> changed;
};

// The record "streams add NAME" makes in `list`.
StreamRecord NewStreamRecord(const StreamNameFile& list, const std::string& name);

// Checks `changes` against `list` and applies them to it (nothing when a
// check fails). Makes no folder and writes nothing.
StreamChangeResult ApplyStreamChanges(StreamNameFile& list, const StreamListChanges& changes);

// Takes the list's lock, reads the file afresh, applies `changes`, makes the
// new streams' folders and saves. Nothing is written when a check fails.
StreamChangeResult ChangeStreamList(const StreamListChanges& changes);

}  // namespace wk
