#pragma once
// Bringing the MP3 files of one export run to one loudness without
// re-encoding: all files are measured together as an album with the
// ReplayGain analysis, then every granule's global_gain field of every file
// is moved by the same whole number of 1.5 dB steps.
//
// Files are decoded with libmpg123, frame by frame, from our own frame
// search (ID3v2 skipped, a leading "Xing" or "Info" information frame
// skipped and left unchanged, an ID3v1 tag at the end left alone). Decoding and analysis of
// different files may run in parallel; the album result is the same as a
// sequential run's.
//
// Messages go to standard error, as the published tools print them; the
// result tells callers what happened.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "export/ReplayGain.h"

namespace wk {

// What the analysis measured of one file, before the change.
struct TrackLoudness {
    std::string path;
    double gain = kGainNotEnoughSamples;  // dB
    double peak = 0;                      // largest sample, 1.0 is full scale
};

struct NormalizeResult {
    bool analysed = false;  // an album gain was measured
    double albumGain = 0;   // dB
    int steps = 0;          // applied to every ok file
    int changedFiles = 0;
    bool corrupt = false;  // the decoder failed outright: nothing changed
    // Files left out: unreadable, without Layer III frames, or not writable.
    // (A corrupt run or one with too little audio changes no file at all;
    // `corrupt` and `analysed` tell those apart.)
    std::vector<std::string> skipped;
    // Every analysed file of a measured run, and the largest of their peaks.
    std::vector<TrackLoudness> tracks;
    double albumPeak = 0;
};

// `progress` receives byte counts that add up to about each file's size.
// It is called on the calling thread, as the analysis (the long part of the
// work) moves through the files; the gain change that follows reports nothing.
//
// `retag`, when given, is asked for each song the run changes for the ID3v2
// tag to put in front of its new audio, given the song's ReplayGain values
// after the change (see ReplayGainAfter); an empty answer keeps its tag. The
// tag is replaced in the same write as the audio.
using RetagMp3 = std::function<std::string(const std::string& path, const ReplayGainValues& after)>;
NormalizeResult NormalizeMp3Files(const std::vector<std::string>& paths,
                                  const std::function<void(int64_t bytes)>& progress = {},
                                  const RetagMp3& retag = {});

// The ReplayGain values of the songs a normalisation measured, as their audio
// plays after it moved them by its steps (a song it could not change keeps
// its measured values); none for a run that measured nothing.
std::map<std::string, ReplayGainValues> ReplayGainAfter(const NormalizeResult& n);

// Analysis only: the album gain in dB (kGainNotEnoughSamples when too little
// audio, no usable file, or very corrupt data). Used by "wavkeep normalize
// --dry-run" and the tests.
double MeasureAlbumGain(const std::vector<std::string>& paths);

// Moves every global_gain of the file by the steps (left: first channel,
// right: second), keeping 0 at 0 and the result within 0..255, recomputing
// CRC-16 where frames carry one. The changed file is written as a synced
// copy ("PATH.gain") and renamed over the file, so that the file holds its
// old or its new bytes whatever happens meanwhile; a non-empty `tag` takes
// the place of the file's ID3v2 tag in the same copy. False when the file
// cannot be changed (it is then left as it was).
bool ChangeMp3Gain(const std::string& path, int leftSteps, int rightSteps,
                   const std::string& tag = {});

// The seam between the analysis and its decoder: every frame passes it on
// its way to libmpg123, and a frame it calls undecodable fails the decoder
// there, as very corrupt data does (the run then ends without changes). The
// program plugs nothing in; whoever needs the decoder to fail at a known
// frame (the tests) plugs in an implementation. Plug in and out while no run
// is on; the seam must outlive its use.
class Mp3DecodeSeam {
public:
    virtual ~Mp3DecodeSeam() = default;
    // `frame` counts from 0 within `path`, an information frame not counted.
    virtual bool Undecodable(const std::string& path, int64_t frame) const = 0;
};
void PlugMp3DecodeSeam(const Mp3DecodeSeam* seam);  // nullptr unplugs

namespace detail {
// For tests and the benchmark: how many files are analysed at once; 0 (the
// default) means one per processor.
void SetMp3AnalysisWorkers(unsigned count);
}  // namespace detail

}  // namespace wk
