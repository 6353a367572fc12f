// Fuzz target: text to double, checked bit for bit against strtod on every
// input of any length, both for a whole token and for the tokens of a values
// line; each token kept as text, checked against what "%le" prints; and the
// line read by the keyword reader's strict readers.  The readers read the
// fuzzer's own copy of the input, exactly its size, so that a read past the
// line's end or before its start is caught at once.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "le_text.h"
#include "parse_number.h"
#include "values_line.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const char *s = text.c_str();

    // The whole input as one token.
    double want = std::strtod(s, nullptr);
    double got = gmm::parse_double(text.data(), text.size());
    if (std::memcmp(&want, &got, 8) != 0)
        std::abort();

    // The input as a values line: tokens split at spaces and newlines, the
    // text ending at a NUL, as strtok() would split it.
    std::string copy = text;
    const char *p = text.data(), *end = text.data() + text.size();
    char *saved = nullptr;
    std::vector<double> values;
    std::vector<gmm::le_text> texts;
    for (char *t = strtok_r(copy.data(), " \n", &saved); t != nullptr; t = strtok_r(nullptr, " \n", &saved)) {
        while (p < end && (*p == ' ' || *p == '\n'))
            ++p;
        if (p == end || *p == '\0')
            std::abort();
        want = std::strtod(t, nullptr);
        gmm::le_text kept;
        const char *after = gmm::scan_double(p, end, &got);
        if (gmm::scan_le_text(p, end, &kept) != after || std::memcmp(&want, &got, 8) != 0)
            std::abort();
        p = after;
        // Kept as text, the token is what "%le" prints of its value.
        char printed[64];
        const int n = std::snprintf(printed, sizeof printed, "%le", want);
        if (n != kept.size || std::memcmp(printed, kept.text, kept.size) != 0)
            std::abort();
        values.push_back(got);
        texts.push_back(kept);
    }

    // The same line through the plain reader and every vector reader the
    // processor has: the same values, texts and count.  The strict readers
    // take the values up to the first token that is not wholly a number.
    const std::int32_t D = static_cast<std::int32_t>(values.size());
    std::vector<double> row(values.size() + 1);
    std::vector<gmm::le_text> kept_row(values.size() + 1);
    for (gmm::scan_width w : {gmm::scan_width::scalar, gmm::scan_width::sse4, gmm::scan_width::avx2}) {
        if (w > gmm::widest_scan())
            break;
        const char *b = reinterpret_cast<const char *>(data), *e = b + size;
        if (gmm::read_values(w, b, e, D, row.data()) != D || gmm::read_values(w, b, e, D, kept_row.data()) != D ||
            gmm::count_values(w, b, e, D + 1) != D)
            std::abort();
        for (std::int32_t i = 0; i < D; ++i)
            if (std::memcmp(&row[i], &values[i], 8) != 0 || kept_row[i].size != texts[i].size ||
                std::memcmp(kept_row[i].text, texts[i].text, texts[i].size) != 0)
                std::abort();
        const char *stop, *bad, *kept_stop, *kept_bad, *checked_stop, *checked_bad;
        const std::int64_t k = gmm::read_numbers(w, b, e, D, row.data(), &stop, &bad);
        if (gmm::read_numbers(w, b, e, D, kept_row.data(), &kept_stop, &kept_bad) != k || kept_bad != bad ||
            gmm::check_numbers(w, b, e, D, &checked_stop, &checked_bad) != k || checked_bad != bad)
            std::abort();
        for (std::int64_t i = 0; i < k; ++i)
            if (std::memcmp(&row[i], &values[i], 8) != 0)
                std::abort();
        if (bad != nullptr && (bad < b || bad >= e || k >= D))
            std::abort();
    }
    return 0;
}
