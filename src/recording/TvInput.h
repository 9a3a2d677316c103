#pragma once
// Tuning the TV card before a recording of a TV-card input begins.
//
// Config "DirectXCable" says what the card's sound comes from: 1 the tuner
// with per-stream channels, 2 a satellite receiver on one fixed tuner
// channel ("FreqSatelliteModeSignal"); other kinds use no tuner. Called from
// the recording controller's thread.

#include <string>

namespace wk {

// Tunes the card to the active record of the stream `taskStream` (exact
// name) and plays it. True when nothing needs tuning: no task (empty name),
// a kind without tuner, or no active record of that stream. False when the
// tuner cannot be opened or does not take the channel.
bool PrepareTvInput(const std::string& taskStream);

// Stops the tuner's graph for the kinds that use the tuner.
void ReleaseTvInput();

}  // namespace wk
