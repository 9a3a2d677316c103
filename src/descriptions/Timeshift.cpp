#include "descriptions/Timeshift.h"

#include <sys/stat.h>


#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include "core/EventLog.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "descriptions/AudibleSpreads.h"
#include "descriptions/DescriptionStore.h"
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

// What both matchers work on: the snippet and the side bytes around it.
struct MatchInput {
    std::vector<uint8_t> snippet;  // the first `length` bytes count
    int length = 0;
    std::vector<uint8_t> side;     // `count` bytes from (fingerprint time - window) on
    int count = 0;
    int64_t window = 0;            // W: ms searched before the fingerprint time
    double msPerByte = 0;
};

bool PrepareMatch(const StreamInfo& info, const Description& d, StreamTime lowerBound,
                  MatchInput& in, bool onGrid = false) {
    in.snippet = d.FingerprintBytes();
    in.length = static_cast<int>(std::min<size_t>(in.snippet.size(), kSnippetBytes));
    if (in.length == 0) return false;

    int64_t window = std::min<int64_t>(d.start - lowerBound, kMatchWindowMs);
    const StreamTime f = d.fingerprintTime;
    const MP3SingleSaving* session = FindSession(info, f);
    if (session == nullptr) return false;
    if (f - session->start < window) {
        window = f - session->start - 1;
        // Whole steps back to the session's first byte at most, so the places
        // searched lie on the side bytes' own 10 ms grid (a copy of the
        // recording matches without a remainder) and the first byte is one
        // of them (a snippet may begin with the recording).
        if (onGrid) window = (f - session->start) / kMsPerFingerprintByte * kMsPerFingerprintByte;
    }
    const int64_t reach = window + kMatchWindowMs;

    // The session may have lost its first chunks to the disk allowance.
    if (session->spans.empty() || session->length <= 0) return false;
    const int64_t firstPresent = (session->spans.front().start - session->start) / session->length + 1;
    std::string fgp = ChunkPath(*session, static_cast<int>(firstPresent));
    fgp.replace(fgp.size() - 4, 4, ".fgp");
    struct stat st {};
    if (::stat(fgp.c_str(), &st) != 0 || st.st_size <= 0) return false;
    // A fingerprint byte stands for 10 ms by construction. Deriving the step
    // from chunk 1's size (length div size) goes wrong whenever a chunk holds
    // a few bytes more than its nominal length - it does, being cut after
    // whole encoder blocks (5-second chunks hold 501 bytes: 9 ms per byte) -
    // and every match then drifts by a tenth of its distance.
    if (session->length / static_cast<int64_t>(st.st_size) == 0) return false;
    in.msPerByte = static_cast<double>(kMsPerFingerprintByte);

    // A description far before the lower bound leaves nothing to search (and
    // a count that would not fit an int is refused before the cast).
    const double wanted = static_cast<double>(reach) / in.msPerByte + in.length;
    if (!(wanted >= in.length) || wanted > std::numeric_limits<int>::max()) return false;
    in.count = static_cast<int>(wanted);
    in.side.assign(static_cast<size_t>(in.count), 0);
    if (ReadSideBytes(info, f - window, in.side.data(), in.count) < in.count) return false;
    in.window = window;
    return true;
}

void FinishMatch(const MatchInput& in, int position, double best, int64_t& shift, double& score) {
    score = best;
    shift = static_cast<int64_t>(static_cast<double>(in.window) - position * in.msPerByte);
}

const FileReplaceOps kLibraryOps{
    [](const char* path) { return std::remove(path); },
    [](const char* from, const char* to) { return std::rename(from, to); }};
const FileReplaceOps* g_replaceOps = &kLibraryOps;

ShiftDecision NotIdentified() { return ShiftDecision{false, 0, {}}; }

// n * score is sum(|n d(i) - sum(d)|) / n, so E = sum(|n d(i) - sum(d)|)
// orders the places exactly, in integers: |n d| and |sum(d)| stay below
// 400 * 255, E below 2^31. The reference's double score of a place differs
// from E / n^2 by far less than 1e-9 (400 terms below 510, each rounded at
// 2^-53), while distinct E differ by at least 1 / n^2 >= 6e-6 in score, so
// the reference's best place always has the smallest E; only places sharing
// that E need the reference's own arithmetic to pick the same one of them.
std::vector<int32_t> Spreads(const MatchInput& in) {
    const int n = in.length;
    const int places = std::max(1, in.count - n);
    std::vector<int32_t> a(static_cast<size_t>(n));
    int32_t sumA = 0;
    for (int i = 0; i < n; ++i) {
        a[i] = n * int8_t(in.snippet[i]);
        sumA += int8_t(in.snippet[i]);
    }
    std::vector<int32_t> b(static_cast<size_t>(in.count));
    for (int k = 0; k < in.count; ++k) b[k] = n * int8_t(in.side[k]);

    // sum(d) of every place, with a sliding sum over the side bytes.
    std::vector<int32_t> sumD(static_cast<size_t>(places));
    int32_t sumB = 0;
    for (int i = 0; i < n; ++i) sumB += int8_t(in.side[i]);
    for (int j = 0; j < places; ++j) {
        sumD[j] = sumA - sumB;
        if (j + n < in.count) sumB += int8_t(in.side[j + n]) - int8_t(in.side[j]);
    }

    std::vector<int32_t> spread(static_cast<size_t>(places));
    const int32_t* pa = a.data();
    for (int j = 0; j < places; ++j) {
        const int32_t* pb = b.data() + j;
        const int32_t s = sumD[j];
        int32_t e = 0;
        for (int i = 0; i < n; ++i) e += std::abs(pa[i] - pb[i] - s);
        spread[j] = e;
    }
    return spread;
}

// How far the best place stands out: against the best place more than
// kConfidenceReach places from it. A snippet with no other place to compare
// with is taken as certain.
double Confidence(const std::vector<double>& cost, int position) {
    double other = std::numeric_limits<double>::infinity();
    for (int j = 0; j < static_cast<int>(cost.size()); ++j)
        if (std::abs(j - position) > kConfidenceReach) other = std::min(other, cost[static_cast<size_t>(j)]);
    if (std::isinf(other)) return 1;
    if (!(other > 0)) return 0;
    return (other - cost[static_cast<size_t>(position)]) / other;
}

// More than two thirds of the votes lie within kAgreementMs of their mean;
// `centre` is then the mean of those that do.
bool Agreeing(const std::vector<ShiftVote>& votes, int64_t& centre) {
    const auto k = static_cast<int64_t>(votes.size());
    int64_t sum = 0;
    for (const ShiftVote& v : votes) sum += v.shift;
    const int64_t mean1 = sum / k;
    int64_t agreeingSum = 0;
    int64_t agreeing = 0;
    for (const ShiftVote& v : votes) {
        if (std::llabs(v.shift - mean1) < kAgreementMs) {
            agreeingSum += v.shift;
            ++agreeing;
        }
    }
    if (agreeing == 0 || agreeing <= 2 * k / 3) return false;
    centre = agreeingSum / agreeing;
    return true;
}

// The first three lines with their line ends, as the file has them.
std::string HeaderLines(const std::string& text) {
    size_t end = 0;
    for (int line = 0; line < 3 && end < text.size(); ++line) {
        const size_t lf = text.find('\n', end);
        end = lf == std::string::npos ? text.size() : lf + 1;
    }
    return text.substr(0, end);
}

bool HasDesExtension(const std::string& path) {
    if (path.size() < 3) return false;
    const std::string tail = path.substr(path.size() - 3);
    return std::tolower(static_cast<unsigned char>(tail[0])) == 'd' &&
           std::tolower(static_cast<unsigned char>(tail[1])) == 'e' &&
           std::tolower(static_cast<unsigned char>(tail[2])) == 's';
}

bool ReadWhole(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The checks both rewriting functions begin with: reports and false on failure.
bool OpenDescriptionFile(const std::string& path, std::string& text) {
    if (!HasDesExtension(path)) {
        ReportId(kStrTimeShiftBadExtension);
        return false;
    }
    if (!ReadWhole(path, text)) {
        ReportId(kStrTimeShiftDesMissing);
        return false;
    }
    return true;
}

// Read from the bytes already taken, so a name the store would spell
// otherwise ("LIST.DES" becomes "LIST.des") reads the same.
void LoadStore(const std::string& path, const std::string& text, DescriptionStore& store) {
    const std::filesystem::path p(path);
    store.SetFolder(p.parent_path().string());
    store.SetName(p.filename().string());
    store.LoadText(text);
}

void MoveRecord(Description& d, int64_t amount) {
    d.start += amount;
    d.end += amount;
    d.fingerprintTime += amount;
}

std::string RecordText(const std::string& header, const DescriptionStore& store) {
    std::string text = header;
    for (const auto& record : store.Records()) {
        text += record->ToLine();
        text += "\r\n";
    }
    return text;
}

int64_t Milliseconds(double seconds) { return static_cast<int64_t>(seconds * 1000); }

}  // namespace

void SetFileReplaceOps(const FileReplaceOps* ops) { g_replaceOps = ops ? ops : &kLibraryOps; }

double SnippetScore(const uint8_t* a, const uint8_t* b, int n) {
    if (n <= 0) return 0;
    int64_t sum = 0;
    for (int i = 0; i < n; ++i) sum += int8_t(a[i]) - int8_t(b[i]);
    const double mean = static_cast<double>(sum) / n;
    double total = 0;
    for (int i = 0; i < n; ++i) total += std::fabs((int8_t(a[i]) - int8_t(b[i])) - mean);
    return total / n;
}

bool MatchFingerprintReference(const StreamInfo& info, const Description& d, StreamTime lowerBound,
                               int64_t& shift, double& score) {
    MatchInput in;
    if (!PrepareMatch(info, d, lowerBound, in)) return false;
    const uint8_t* a = in.snippet.data();
    const uint8_t* b = in.side.data();
    double best = SnippetScore(a, b, in.length);
    int position = 0;
    for (int j = 1; j < in.count - in.length; ++j) {
        const double s = SnippetScore(a, b + j, in.length);
        if (s < best) {
            best = s;
            position = j;
        }
    }
    FinishMatch(in, position, best, shift, score);
    return true;
}

// The smallest spread wins; among places sharing it, the reference's own
// score picks (see Spreads).
bool MatchFingerprint(const StreamInfo& info, const Description& d, StreamTime lowerBound,
                      int64_t& shift, double& score) {
    MatchInput in;
    if (!PrepareMatch(info, d, lowerBound, in)) return false;
    const std::vector<int32_t> spread = Spreads(in);
    const int32_t least = *std::min_element(spread.begin(), spread.end());
    int position = -1;
    double best = 0;
    const int places = static_cast<int>(spread.size());
    for (int j = 0; j < places; ++j) {
        if (spread[j] != least) continue;
        const double s = SnippetScore(in.snippet.data(), in.side.data() + j, in.length);
        if (position < 0 || s < best) {
            best = s;
            position = j;
        }
    }
    FinishMatch(in, position, best, shift, score);
    return true;
}

bool MatchSnippet(const StreamInfo& info, const Description& d, StreamTime lowerBound,
                  ShiftVote& vote) {
    MatchInput in;
    if (!PrepareMatch(info, d, lowerBound, in, true)) return false;
    const std::vector<double> cost =
        AudibleSpreads(in.snippet.data(), in.length, in.side.data(), in.count);
    const auto position = static_cast<int>(std::min_element(cost.begin(), cost.end()) - cost.begin());
    const double best = cost[static_cast<size_t>(position)];
    // Between the places: a second station hears the broadcast a fraction of
    // a 10 ms step late as often as not. The spread is a sum of distances,
    // so near its least it rises like a V; the V through the best place and
    // its neighbours puts the bottom between them. An exact copy stays put.
    double fraction = 0;
    if (best > 0 && position > 0 && position + 1 < static_cast<int>(cost.size())) {
        const double left = cost[static_cast<size_t>(position - 1)];
        const double right = cost[static_cast<size_t>(position + 1)];
        const double rise = std::max(left, right) - best;
        if (rise > 0) fraction = std::clamp((left - right) / (2 * rise), -0.5, 0.5);
    }
    vote.score = best;
    vote.shift = std::llround(static_cast<double>(in.window) - (position + fraction) * in.msPerByte);
    vote.confidence = Confidence(cost, position);
    return true;
}

ShiftDecision DecideCorrection(const std::vector<ShiftVote>& votes) {
    if (votes.empty()) return ShiftDecision{true, 0, {}};
    int64_t centre = 0;
    if (!Agreeing(votes, centre)) return NotIdentified();
    ShiftDecision decision{true, 0, {}};
    double best = std::numeric_limits<double>::infinity();
    for (const ShiftVote& v : votes) {
        if (std::llabs(v.shift - centre) < kAgreementMs && v.score < best) {
            best = v.score;
            decision.correction = v.shift;
        }
    }
    return decision;
}

ShiftDecision DecideConfidentCorrection(const std::vector<ShiftVote>& votes) {
    if (votes.empty()) return ShiftDecision{true, 0, {}};
    int64_t centre = 0;
    if (!Agreeing(votes, centre)) return NotIdentified();
    std::vector<std::pair<int64_t, double>> agreeing;
    double total = 0;
    for (const ShiftVote& v : votes) {
        if (std::llabs(v.shift - centre) >= kAgreementMs) continue;
        const double weight = std::clamp(v.confidence, 0.0, 1.0);
        agreeing.emplace_back(v.shift, weight);
        total += weight;
    }
    // Not one confident vote: each counts the same.
    if (!(total > 0)) {
        for (auto& a : agreeing) a.second = 1;
        total = static_cast<double>(agreeing.size());
    }
    std::sort(agreeing.begin(), agreeing.end());
    ShiftDecision decision{true, agreeing.back().first, {}};
    double below = 0;
    for (const auto& [shift, weight] : agreeing) {
        below += weight;
        if (below >= total / 2) {
            decision.correction = shift;
            break;
        }
    }
    decision.moves.reserve(votes.size());
    for (const ShiftVote& v : votes) {
        const int64_t off = std::llabs(v.shift - decision.correction);
        const bool own = v.confidence >= kConfidentMatch && off > kRefineMinMs && off <= kRefineMs;
        decision.moves.push_back(own ? v.shift : decision.correction);
    }
    return decision;
}

bool TimeShiftDescriptionFile(const StreamInfo& info, const std::string& path, double difference,
                              CorrectionRule rule) {
    std::string text;
    if (!OpenDescriptionFile(path, text)) return false;
    const std::string temp = path + "tmp";
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
        ReportId(kStrTimeShiftTempDesNotCreated);
        return false;
    }
    const std::string header = HeaderLines(text);
    out << header;

    DescriptionStore store;
    LoadStore(path, text, store);
    // No more than a merge takes from one file is matched and written: a
    // huge answer costs no more than a sane one.
    if (store.Size() > kMaxMergedRecords) {
        AddEvent(std::to_string(store.Size() - kMaxMergedRecords) + " descriptions of " + path +
                 " were left out: one file adds at most " + std::to_string(kMaxMergedRecords));
        store.Records().resize(kMaxMergedRecords);
    }
    const int64_t delta = Milliseconds(difference);
    std::vector<ShiftVote> votes;
    std::vector<int> voteOf(store.Records().size(), -1);
    for (size_t i = 0; i < store.Records().size(); ++i) {
        Description& record = *store.Records()[i];
        MoveRecord(record, -delta);
        ShiftVote vote;
        const bool matched = rule == CorrectionRule::kLowestScore
                                 ? MatchFingerprint(info, record, 0, vote.shift, vote.score)
                                 : MatchSnippet(info, record, 0, vote);
        if (!matched) continue;
        voteOf[i] = static_cast<int>(votes.size());
        votes.push_back(vote);
    }
    const ShiftDecision decision = rule == CorrectionRule::kLowestScore
                                       ? DecideCorrection(votes)
                                       : DecideConfidentCorrection(votes);
    if (!decision.identified) {
        AddEvent("Songs could not be successfully identified on the track...");
        Trace(kTraceInfo, "Timeshift: %zu matched descriptions disagree, none moved by them",
              votes.size());
    }
    for (size_t i = 0; i < store.Records().size(); ++i) {
        Description& record = *store.Records()[i];
        record.notIdentified = !decision.identified;
        const bool own = voteOf[i] >= 0 && !decision.moves.empty();
        MoveRecord(record, -(own ? decision.moves[static_cast<size_t>(voteOf[i])] : decision.correction));
    }

    const std::string body = RecordText(std::string(), store);
    out << body;
    out.close();
    if (!out) {
        std::remove(temp.c_str());
        ReportId(kStrTimeShiftTempDesNotCreated);
        return false;
    }
    if (g_replaceOps->remove(path.c_str()) != 0) {
        ReportId(kStrTimeShiftDeleteDesFailed);
        return false;
    }
    if (g_replaceOps->rename(temp.c_str(), path.c_str()) != 0) {
        ReportId(kStrTimeShiftRenameBakFailed);
        return false;
    }
    Trace(kTraceDebug, "Timeshift: %s moved by %lld ms and corrected by %lld ms", path.c_str(),
          static_cast<long long>(delta), static_cast<long long>(decision.correction));
    return true;
}

std::string ShiftedDescriptionText(const std::string& path, double difference) {
    std::string text;
    if (!OpenDescriptionFile(path, text)) return {};
    DescriptionStore store;
    LoadStore(path, text, store);
    const int64_t delta = Milliseconds(difference);
    for (auto& record : store.Records()) MoveRecord(*record, delta);
    return RecordText(HeaderLines(text), store);
}

}  // namespace wk
