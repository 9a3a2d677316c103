#include "descriptions/AudibleSpreads.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "descriptions/DescriptionStore.h"

namespace wk {
namespace {

// The bytes as the cost loops read them: levels below the floor (0) made 0,
// and a mask per byte, -1 where it is audible and 0 where not; 16 bits each,
// so that a vector register holds eight. Running totals of the levels and of
// the bytes below the floor let a place where every byte is audible skip the
// masks.
struct AudibleLevels {
    std::vector<int16_t> level;
    std::vector<int16_t> on;
    std::vector<int32_t> levelsBefore;  // sum of level[0..k)
    std::vector<int32_t> silentBefore;  // bytes below the floor in [0..k)
    void Assign(const uint8_t* bytes, int n) {
        const auto size = static_cast<size_t>(n);
        level.resize(size);
        on.resize(size);
        levelsBefore.assign(size + 1, 0);
        silentBefore.assign(size + 1, 0);
        for (size_t i = 0; i < size; ++i) {
            level[i] = static_cast<int16_t>(std::max(0, int{int8_t(bytes[i])}));
            on[i] = static_cast<int16_t>(-(level[i] > 0));
            levelsBefore[i + 1] = levelsBefore[i] + level[i];
            silentBefore[i + 1] = silentBefore[i] + (level[i] > 0 ? 0 : 1);
        }
    }
    bool AllAudible(int from, int n) const {
        return silentBefore[static_cast<size_t>(from + n)] == silentBefore[static_cast<size_t>(from)];
    }
    int32_t Levels(int from, int n) const {
        return levelsBefore[static_cast<size_t>(from + n)] - levelsBefore[static_cast<size_t>(from)];
    }
};

// 16-bit lanes hold every partial sum below: a level difference is at most
// 127, one lane adds n / 8 of them, and a term of the spread (in 1/16 byte,
// the offset taken off) stays within 16 * 2 * 127.
static_assert(kSnippetBytes <= 2048, "the 16-bit partial sums would overflow");

#if defined(__SSE2__)
__m128i Load(const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

int32_t SumOfLanes(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(v);
}
#endif

// The level offset of a place in 1/16 byte: the mean difference over the
// bytes audible in both, 0 when there are none.
int32_t Offset(int32_t sum, int32_t both) {
    return both > 0 ? static_cast<int32_t>(std::lround(16.0 * sum / both)) : 0;
}

// The offset of snippet levels a (masks qa) against the side bytes' b (masks
// qb) from the place on.
int32_t MaskedOffset(const int16_t* a, const int16_t* qa, const int16_t* b, const int16_t* qb,
                     int n) {
    int32_t sum = 0, both = 0;
    int i = 0;
#if defined(__SSE2__)
    const __m128i ones = _mm_set1_epi16(1);
    __m128i sums = _mm_setzero_si128(), boths = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
        const __m128i on = _mm_and_si128(Load(qa + i), Load(qb + i));
        sums = _mm_add_epi16(sums, _mm_and_si128(_mm_sub_epi16(Load(b + i), Load(a + i)), on));
        boths = _mm_sub_epi16(boths, on);
    }
    sum = SumOfLanes(_mm_madd_epi16(sums, ones));
    both = SumOfLanes(_mm_madd_epi16(boths, ones));
#endif
    for (; i < n; ++i) {
        const int32_t on = qa[i] & qb[i];
        sum += (b[i] - a[i]) & on;
        both -= on;
    }
    return Offset(sum, both);
}

// The place's spread in 1/16 byte with offset c. A term is |x| where both
// are audible, max(0, -x) where only the snippet is, max(0, x) where only
// the side file is and 0 where neither is: max(x & qb, -x & qa) whatever the
// masks.
int32_t MaskedSpread(const int16_t* a, const int16_t* qa, const int16_t* b, const int16_t* qb,
                     int n, int32_t c) {
    int32_t e = 0;
    int i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi16(1);
    const __m128i offset = _mm_set1_epi16(static_cast<int16_t>(c));
    __m128i spread = zero;
    for (; i + 8 <= n; i += 8) {
        const __m128i x =
            _mm_sub_epi16(_mm_slli_epi16(_mm_sub_epi16(Load(b + i), Load(a + i)), 4), offset);
        const __m128i term = _mm_max_epi16(_mm_and_si128(x, Load(qb + i)),
                                           _mm_and_si128(_mm_sub_epi16(zero, x), Load(qa + i)));
        spread = _mm_add_epi32(spread, _mm_madd_epi16(term, ones));
    }
    e = SumOfLanes(spread);
#endif
    for (; i < n; ++i) {
        const int32_t x = (int32_t{b[i] - a[i]} << 4) - c;
        e += std::max(x & qb[i], -x & qa[i]);
    }
    return e;
}

// The same where every byte of both is audible: every term is |x|.
int32_t AudibleSpread(const int16_t* a, const int16_t* b, int n, int32_t c) {
    int32_t e = 0;
    int i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi16(1);
    const __m128i offset = _mm_set1_epi16(static_cast<int16_t>(c));
    __m128i spread = zero;
    for (; i + 8 <= n; i += 8) {
        const __m128i x =
            _mm_sub_epi16(_mm_slli_epi16(_mm_sub_epi16(Load(b + i), Load(a + i)), 4), offset);
        const __m128i magnitude = _mm_max_epi16(x, _mm_sub_epi16(zero, x));
        spread = _mm_add_epi32(spread, _mm_madd_epi16(magnitude, ones));
    }
    e = SumOfLanes(spread);
#endif
    for (; i < n; ++i) e += std::abs((int32_t{b[i] - a[i]} << 4) - c);
    return e;
}

}  // namespace

// The spread of a place with the level offset taken from the bytes that are
// audible in both (above 0, the side files' floor), as the spread of the
// matching's score is: a quiet stretch that one station hears above the
// floor and the other below it (another level, a noise floor) would pull the
// mean of all differences away from the true offset, and a snippet that
// starts in a pause would fit its true place worse than a wrong one. Where
// only one side is audible, what counts is how far it lies above what the
// offset lets the other's floor stand for. Per byte, lower is better; 0 for
// an exact copy at any level.
std::vector<double> AudibleSpreads(const uint8_t* snippet, int n, const uint8_t* side, int count) {
    if (n <= 0 || count < n) return {};
    const int places = std::max(1, count - n);
    AudibleLevels a, b;
    a.Assign(snippet, n);
    b.Assign(side, count);
    const bool snippetAudible = a.AllAudible(0, n);
    const int32_t snippetLevels = a.Levels(0, n);
    std::vector<double> cost(static_cast<size_t>(places));
    for (int j = 0; j < places; ++j) {
        const int16_t* level = b.level.data() + j;
        int32_t e = 0;
        if (snippetAudible && b.AllAudible(j, n)) {
            e = AudibleSpread(a.level.data(), level, n, Offset(b.Levels(j, n) - snippetLevels, n));
        } else {
            const int16_t* on = b.on.data() + j;
            const int32_t c = MaskedOffset(a.level.data(), a.on.data(), level, on, n);
            e = MaskedSpread(a.level.data(), a.on.data(), level, on, n, c);
        }
        cost[static_cast<size_t>(j)] = static_cast<double>(e) / 16 / n;
    }
    return cost;
}

std::vector<double> AudibleSpreadsReference(const uint8_t* snippet, int n, const uint8_t* side,
                                            int count) {
    if (n <= 0 || count < n) return {};
    const int places = std::max(1, count - n);
    // Bytes below the floor count as 0. With the offset c and x = (b - a) - c
    // a place's terms are |x| where both are audible, max(0, -x) where only
    // the snippet is, max(0, x) where only the side file is; in integers of
    // 1/16 byte.
    std::vector<int32_t> a(static_cast<size_t>(n)), aOn(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        a[i] = std::max<int32_t>(0, int8_t(snippet[i]));
        aOn[i] = -static_cast<int32_t>(a[i] > 0);
    }
    std::vector<int32_t> b(static_cast<size_t>(count)), bOn(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        b[k] = std::max<int32_t>(0, int8_t(side[k]));
        bOn[k] = -static_cast<int32_t>(b[k] > 0);
    }
    std::vector<double> cost(static_cast<size_t>(places));
    const int32_t* pa = a.data();
    const int32_t* qa = aOn.data();
    for (int j = 0; j < places; ++j) {
        const int32_t* pb = b.data() + j;
        const int32_t* qb = bOn.data() + j;
        int32_t sum = 0, both = 0;
        for (int i = 0; i < n; ++i) {
            const int32_t on = qa[i] & qb[i];
            sum += (pb[i] - pa[i]) & on;
            both -= on;
        }
        const int32_t c = both > 0 ? static_cast<int32_t>(std::lround(16.0 * sum / both)) : 0;
        int32_t e = 0;
        for (int i = 0; i < n; ++i) {
            const int32_t x = ((pb[i] - pa[i]) << 4) - c;
            const int32_t on = qa[i] & qb[i];
            const int32_t onlyA = qa[i] & ~qb[i];
            const int32_t onlyB = qb[i] & ~qa[i];
            e += (std::abs(x) & on) + (std::max(0, -x) & onlyA) + (std::max(0, x) & onlyB);
        }
        cost[static_cast<size_t>(j)] = static_cast<double>(e) / 16 / n;
    }
    return cost;
}

}  // namespace wk
