#include "devicelog/TextSearch.h"

#include <cstring>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Below this many entries a second thread costs more than it saves.
constexpr qsizetype kParallelThreshold = 50000;
// How far ahead the text of upcoming entries is fetched (all of it, up to 1 KiB): each entry is
// its own allocation, and waiting for memory, not comparing, is what a scan over many entries
// spends its time on.
constexpr qsizetype kPrefetchDistance = 16;

bool equalAt(const char16_t *text, const char16_t *needle, qsizetype length)
{
    return std::memcmp(text, needle, size_t(length) * sizeof(char16_t)) == 0;
}

void scan(const QStringList &entries, qsizetype from, qsizetype to, QStringView needle, QList<qsizetype> &out)
{
    for (qsizetype i = from; i < to; ++i) {
        if (i + kPrefetchDistance < to) {
            const QString &ahead = entries.at(i + kPrefetchDistance);
            const char *data = reinterpret_cast<const char *>(ahead.constData());
            const qsizetype bytes = qMin<qsizetype>(ahead.size() * 2, 1024);
            for (qsizetype offset = 0; offset < bytes; offset += 64)
                __builtin_prefetch(data + offset);
        }
        if (TextSearch::contains(entries.at(i), needle))
            out.append(i);
    }
}

} // namespace

bool TextSearch::contains(QStringView text, QStringView needle)
{
    const qsizetype n = needle.size();
    const qsizetype h = text.size();
    if (n == 0)
        return true;
    if (n > h)
        return false;
    const char16_t *s = text.utf16();
    const char16_t *p = needle.utf16();
    const qsizetype lastStart = h - n;
    qsizetype i = 0;
#if defined(__SSE2__)
    // Eight start positions at a time: keep those where both the needle's first and last
    // characters match, then compare the rest.
    const __m128i first = _mm_set1_epi16(short(p[0]));
    const __m128i last = _mm_set1_epi16(short(p[n - 1]));
    for (; i + 8 <= lastStart + 1; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i + n - 1));
        unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi16(a, first), _mm_cmpeq_epi16(b, last))));
        while (mask) {
            const int bit = __builtin_ctz(mask);
            if (n <= 2 || equalAt(s + i + bit / 2 + 1, p + 1, n - 2))
                return true;
            mask &= ~(3u << bit);
        }
    }
#endif
    for (; i <= lastStart; ++i) {
        if (s[i] == p[0] && s[i + n - 1] == p[n - 1] && equalAt(s + i, p, n))
            return true;
    }
    return false;
}

QList<qsizetype> TextSearch::matches(const QStringList &entries, qsizetype from, qsizetype to, QStringView needle)
{
    from = qBound<qsizetype>(0, from, entries.size());
    to = qBound<qsizetype>(from, to, entries.size());
    QList<qsizetype> found;
    if (to - from < kParallelThreshold || std::thread::hardware_concurrency() < 2) {
        scan(entries, from, to, needle, found);
        return found;
    }
    const qsizetype middle = from + (to - from) / 2;
    QList<qsizetype> upper;
    std::thread helper([&] { scan(entries, middle, to, needle, upper); });
    scan(entries, from, middle, needle, found);
    helper.join();
    found.append(upper);
    return found;
}
