#pragma once
// Moving a downloaded description file onto the recording: the clock
// difference between the file's source and this machine is taken off first,
// then the loudness snippets of the descriptions are looked up in the
// stream's ".fgp" side files, and when enough of them agree on one offset
// every description is moved by it.
//
// Matching a snippet a (n bytes) against side bytes b scores the spread of
// the byte differences around their mean: d(i) = int8(a[i]) - int8(b[i]),
// m = sum(d) / n, score = sum(|d(i) - m|) / n. A constant loudness offset
// (another recording level) therefore scores 0; lower is better.
//
// Reports go to the event log (style 0), so worker threads may call these.

#include <cstdint>
#include <string>
#include <vector>

#include "core/DateTime.h"

namespace wk {

// Milliseconds of audio per .fgp byte.
inline constexpr int kMsPerFingerprintByte = 10;

struct Description;
struct StreamInfo;

// The longest stretch, either way, searched around a snippet's time.
inline constexpr StreamTime kMatchWindowMs = 60000;
// Shifts closer than this to the mean vote with it.
inline constexpr int64_t kAgreementMs = 3000;

double SnippetScore(const uint8_t* a, const uint8_t* b, int n);

// Looks for the description's snippet (its first kSnippetBytes bytes) in the
// stream around its fingerprint time, from at most kMatchWindowMs before it
// (never before `lowerBound` relative to the description's start, never
// before the session's start) to kMatchWindowMs after that earliest point.
// On success `shift` is how far the description lies after the best place
// (subtract it to move the description there) and `score` that place's
// score. False when there is no snippet, no session holding the fingerprint
// time, no usable ".fgp" file, or not enough side bytes.
bool MatchFingerprint(const StreamInfo& info, const Description& d, StreamTime lowerBound,
                      int64_t& shift, double& score);
// The same result, scoring every place with SnippetScore; kept to check the
// fast one against.
bool MatchFingerprintReference(const StreamInfo& info, const Description& d, StreamTime lowerBound,
                               int64_t& shift, double& score);

struct ShiftVote {
    int64_t shift = 0;
    double score = 0;
    // How much better the best place is than the best one more than
    // kConfidenceReach places away: (that one's spread - best's) / that
    // one's, 0 to 1. A snippet of smooth level (a fade) fits many places
    // nearly as well and gets little; one over sharp onsets gets much.
    double confidence = 1;
};
inline constexpr int kConfidenceReach = 4;

// MatchFingerprint's result with the match's confidence.
bool MatchSnippet(const StreamInfo& info, const Description& d, StreamTime lowerBound,
                  ShiftVote& vote);


struct ShiftDecision {
    bool identified = false;  // false: too few votes agree
    int64_t correction = 0;   // to subtract from every description's times
    // Per vote, what to subtract from that description's times (those
    // without a vote take `correction`); empty when every one takes it.
    std::vector<int64_t> moves;
};
// The correction the votes of the matched descriptions agree on: more than
// two thirds of them must lie within kAgreementMs of their mean; of those
// near the agreeing votes' mean the best-scoring one (the first on ties)
// wins. No votes: identified, correction 0. Kept to compare against: the
// lowest score is the least certain snippet as often as not (a fade scores
// well at many places).
ShiftDecision DecideCorrection(const std::vector<ShiftVote>& votes);

// The same agreement and quorum, but the file's correction is the centre of
// the agreeing votes weighted by their confidence (a weighted median: a few
// wrong votes cannot pull it). A description whose own match is confident
// and lies more than kRefineMinMs (the precision of one match) but at most
// kRefineMs from that centre moves by its own shift: two stations' sample
// clocks drift apart by that much in an hour or two.
inline constexpr int64_t kRefineMinMs = 20;
inline constexpr int64_t kRefineMs = 150;
inline constexpr double kConfidentMatch = 0.25;
ShiftDecision DecideConfidentCorrection(const std::vector<ShiftVote>& votes);

enum class CorrectionRule { kConfident, kLowestScore };

// Rewrites the description file (".des", any case), keeping its first
// kMaxMergedRecords descriptions (an event line says how many were left
// out): every description is moved back by `difference` seconds (the clock
// difference), then by the correction its fingerprints agree on
// (DecideConfidentCorrection, or the lowest-score rule when asked); when they
// do not agree every description is marked not identified instead. The
// three header lines stay
// byte for byte. The new text goes to path + "tmp", which then replaces the
// file. False, with a report (61233..61237), when anything fails; the file is
// then unchanged, except that after a failed delete only the temporary file
// remains.
bool TimeShiftDescriptionFile(const StreamInfo& info, const std::string& path, double difference,
                              CorrectionRule rule = CorrectionRule::kConfident);

// The text the file would hold with every description moved on by
// `difference` seconds, no matching; the file is left alone. Empty, with the
// report of the extension or reading check, when those fail.
std::string ShiftedDescriptionText(const std::string& path, double difference);

// The two calls that replace the file at the end of TimeShiftDescriptionFile,
// so tests can make them fail (a process running as root cannot be refused a
// delete otherwise). nullptr restores the C library's; not thread-safe.
struct FileReplaceOps {
    int (*remove)(const char* path);
    int (*rename)(const char* from, const char* to);
};
void SetFileReplaceOps(const FileReplaceOps* ops);

}  // namespace wk
