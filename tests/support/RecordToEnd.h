#pragma once
// Runs a configured recording session whose input ends by itself (a frame
// limit, the end of a file) to that end: opened, started, waited for on its
// own end (bounded, so a session that never ends fails the test instead of
// hanging it), stopped and closed. Header-only: only the tests that record
// link the recording engine.

#include <gtest/gtest.h>

#include "core/Event.h"
#include "recording/RecordingSession.h"

namespace wk::test {

inline void RecordToEnd(RecordingSession& session, int boundMs = 120000) {
    Event ended;
    session.SetOnEndedByItself([&ended] { ended.Set(); });
    session.Open();
    session.Start();
    EXPECT_TRUE(ended.Wait(boundMs)) << "the input did not end within " << boundMs << " ms";
    session.Stop();
    session.Close();
}

}  // namespace wk::test
