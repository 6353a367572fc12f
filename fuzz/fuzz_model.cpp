// Fuzz target: arbitrary bytes as a model file, through the header probe and
// both component readers, by position and by keywords.  The first two bytes
// choose small dimensions for the readers (so that bodies are reached
// often); the header's own values are used as well when they are small
// enough to allocate.  A refused file must come with a message; an accepted
// one must have every value filled; where both readers take a file, they
// give the same values.  The file is loaded as a set too, and its first
// HMMs read from their places, under the same rules.  The read chunk is on
// the heap, so that a read before a line at its start is caught.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "le_text.h"
#include "model_io.h"
#include "model_set.h"

using namespace gmm;

namespace {

char *const chunk = static_cast<char *>(std::malloc(chunk_bytes + 1));

// A signalling NaN: no conversion ever yields one, so it marks a value the
// reader did not write.
const std::uint64_t unwritten = 0x7FF0000000000BADULL;

// Whether the file separates its tokens by spaces and line ends alone, as
// the positional layout does (a carriage return only before a newline): a
// tab or a form feed is white space to the keyword reader and part of a
// token to the positional one.
bool spaces_alone(const std::uint8_t *data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        if (data[i] == '\t' || data[i] == '\v' || data[i] == '\f' ||
            (data[i] == '\r' && (i + 1 == size || data[i + 1] != '\n')))
            return false;
    return true;
}

void check_read(const std::uint8_t *data, std::size_t size, std::int32_t D, std::int32_t M)
{
    std::FILE *f = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (f == nullptr)
        return;
    component_matrix mu, sigma;
    if (!alloc_component_matrix(M, D, &mu) || !alloc_component_matrix(M, D, &sigma))
        std::abort();
    std::vector<double> w(static_cast<std::size_t>(M));
    const std::size_t cells = static_cast<std::size_t>(M) * static_cast<std::size_t>(D);
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t c = 0; c < cells; ++c) {
            std::memcpy(&mu.block[c], &unwritten, 8);
            std::memcpy(&sigma.block[c], &unwritten, 8);
        }
        for (double &x : w)
            std::memcpy(&x, &unwritten, 8);
        std::rewind(f);
        line_reader lines;
        start_lines(&lines, f, chunk);
        read_result r = pass == 0 ? read_mu_sigma(D, M, &lines, mu.rows, sigma.rows)
                                  : read_mu_sigma_w(D, M, &lines, mu.rows, sigma.rows, w.data());
        // Variances that are only checked give the same verdict, and the
        // same means, as variances converted; so does a checked reading,
        // where the header and the layout pass.
        if (pass == 0) {
            const std::vector<double> means(mu.block, mu.block + cells);
            for (read_rule rule : {read_rule::positions, read_rule::checked}) {
                std::rewind(f);
                start_lines(&lines, f, chunk);
                const read_result c = read_mu_sigma(D, M, &lines, mu.rows, nullptr, rule);
                if (rule == read_rule::checked &&
                    (c.fault == read_fault::bad_header || c.fault == read_fault::other_vector_size ||
                     c.fault == read_fault::other_mixture_count || c.fault == read_fault::layout ||
                     c.fault == read_fault::not_text))
                    continue;
                if (c.fault != r.fault || c.line != r.line || c.found != r.found || c.expected != r.expected ||
                    (r.fault == read_fault::none && std::memcmp(means.data(), mu.block, cells * 8) != 0))
                    std::abort();
            }
        }
        // By keywords: no crash, a message where refused, and where a file
        // in the positional layout (as checked) is taken, the values the
        // positional reader took.
        if (pass == 1 && r.fault == read_fault::none) {
            std::rewind(f);
            start_lines(&lines, f, chunk);
            const read_result c = read_mu_sigma_w(D, M, &lines, mu.rows, sigma.rows, w.data(), read_rule::checked);
            const std::vector<double> means(mu.block, mu.block + cells), vars(sigma.block, sigma.block + cells);
            const std::vector<double> weights = w;
            std::rewind(f);
            start_lines(&lines, f, chunk);
            const read_result k = read_mu_sigma_w(D, M, &lines, mu.rows, sigma.rows, w.data(), read_rule::keywords);
            if (k.fault != read_fault::none && read_fault_message(k, "m").empty())
                std::abort();
            if (c.fault == read_fault::none && k.fault == read_fault::none && spaces_alone(data, size) &&
                (std::memcmp(means.data(), mu.block, cells * 8) != 0 || std::memcmp(vars.data(), sigma.block, cells * 8) != 0 ||
                 std::memcmp(weights.data(), w.data(), w.size() * 8) != 0))
                std::abort();
        }
        // Values kept as text: the same verdict as values converted.
        if (pass == 1) {
            text_matrix tmu, tsigma;
            std::vector<le_text> tw(static_cast<std::size_t>(M));
            if (!alloc_text_matrix(M, D, &tmu) || !alloc_text_matrix(M, D, &tsigma))
                std::abort();
            std::rewind(f);
            start_lines(&lines, f, chunk);
            const read_result c = read_mu_sigma_w_text(D, M, &lines, tmu.rows, tsigma.rows, tw.data());
            if (c.fault != r.fault || c.line != r.line || c.found != r.found || c.expected != r.expected)
                std::abort();
            std::free(tmu.block);
            std::free(tmu.rows);
            std::free(tsigma.block);
            std::free(tsigma.rows);
        }
        if (r.fault != read_fault::none) {
            if (read_fault_message(r, "m").empty())
                std::abort();
            continue;
        }
        for (std::size_t c = 0; c < cells; ++c)
            if (std::memcmp(&mu.block[c], &unwritten, 8) == 0 || std::memcmp(&sigma.block[c], &unwritten, 8) == 0)
                std::abort();
        if (pass == 1)
            for (double x : w)
                if (std::memcmp(&x, &unwritten, 8) == 0)
                    std::abort();
    }
    std::fclose(f);
    std::free(mu.block);
    std::free(mu.rows);
    std::free(sigma.block);
    std::free(sigma.rows);
}

// The file as a set: refused with a message, or loaded; each of its first
// HMMs whose header is small enough then read from its place, refused with
// a message or with every value filled.
void check_set(const std::uint8_t *data, std::size_t size)
{
    const int fd = memfd_create("set", 0);
    if (fd < 0)
        return;
    std::FILE *f = fdopen(fd, "w+");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fflush(f) != 0)
        std::abort();
    model_set set;
    const read_result r = load_set_file(&set, "set", f, chunk);
    if (r.fault != read_fault::none && read_fault_message(r, fault_path(r, &set, "set")).empty())
        std::abort();
    int tried = 0;
    for (std::size_t k = 0; r.fault == read_fault::none && k < set.definitions.size() && tried < 4; ++k) {
        const set_definition &d = set.definitions[k];
        model_header h{};
        if (d.type != 'h' || read_set_header(set, d, chunk, &h).fault != read_fault::none)
            continue;
        ++tried;
        if (h.vector_size < 1 || h.mixture_count < 1)
            std::abort();
        if (static_cast<std::int64_t>(h.vector_size) * h.mixture_count > 4096)
            continue;
        component_matrix mu, sigma;
        if (!alloc_component_matrix(h.mixture_count, h.vector_size, &mu) ||
            !alloc_component_matrix(h.mixture_count, h.vector_size, &sigma))
            std::abort();
        const std::size_t cells = static_cast<std::size_t>(h.mixture_count) * static_cast<std::size_t>(h.vector_size);
        std::vector<double> w(static_cast<std::size_t>(h.mixture_count));
        for (std::size_t c = 0; c < cells; ++c) {
            std::memcpy(&mu.block[c], &unwritten, 8);
            std::memcpy(&sigma.block[c], &unwritten, 8);
        }
        const read_result m =
            read_set_model(set, d, chunk, h.vector_size, h.mixture_count, mu.rows, sigma.rows, w.data());
        if (m.fault != read_fault::none && read_fault_message(m, fault_path(m, &set, "set")).empty())
            std::abort();
        for (std::size_t c = 0; m.fault == read_fault::none && c < cells; ++c)
            if (std::memcmp(&mu.block[c], &unwritten, 8) == 0 || std::memcmp(&sigma.block[c], &unwritten, 8) == 0)
                std::abort();
        free_component_matrix(&mu);
        free_component_matrix(&sigma);
    }
    close_set(&set);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::int32_t small_d = 1 + data[0] % 8, small_m = 1 + data[1] % 4;
    data += 2;
    size -= 2;

    std::FILE *f = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (f == nullptr)
        return 0;
    line_reader lines;
    start_lines(&lines, f, chunk);
    model_header h{};
    read_result r = read_model_header(&lines, &h);
    // The header by keywords: a message where refused, sizes of 1 or more.
    std::rewind(f);
    start_lines(&lines, f, chunk);
    model_header hk{};
    const read_result rk = read_model_header(&lines, &hk, read_rule::keywords);
    if (rk.fault != read_fault::none ? read_fault_message(rk, "m").empty() : hk.vector_size < 1 || hk.mixture_count < 1)
        std::abort();
    std::fclose(f);
    if (r.fault != read_fault::none) {
        if (read_fault_message(r, "m").empty())
            std::abort();
    } else {
        if (h.vector_size < 1 || h.mixture_count < 1)
            std::abort();
        // Hostile sizes must be refused by the allocator, not overflow.
        component_matrix big;
        const std::uint64_t cells = static_cast<std::uint64_t>(h.vector_size) * static_cast<std::uint64_t>(h.mixture_count);
        if (cells <= 4096)
            check_read(data, size, h.vector_size, h.mixture_count);
        else if (h.vector_size == INT32_MAX && h.mixture_count == INT32_MAX && alloc_component_matrix(h.mixture_count, h.vector_size, &big))
            std::abort();
    }
    check_read(data, size, small_d, small_m);
    check_set(data, size);
    return 0;
}
