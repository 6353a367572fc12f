#include "model_writer.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <numbers>

#include "format_le.h"

namespace gmm {

namespace {

// Text is gathered here and handed to the sink in pieces of 4 KiB.
struct text_buffer {
    const text_sink *out;
    char text[1 << 12];
    std::size_t used;
    bool failed;
};

void drain(text_buffer *b)
{
    if (b->used > 0 && !b->failed && !b->out->put(b->out->to, b->text, b->used))
        b->failed = true;
    b->used = 0;
}

// Room for `n` more characters.
char *room(text_buffer *b, std::size_t n)
{
    if (b->used + n > sizeof b->text)
        drain(b);
    return b->text + b->used;
}

void put_text(text_buffer *b, const char *s)
{
    while (*s != '\0') {
        char *at = room(b, 1);
        *at = *s++;
        ++b->used;
    }
}

void put_bytes(text_buffer *b, const unsigned char *bytes, std::size_t n)
{
    std::memcpy(room(b, n), bytes, n);
    b->used += n;
}

void put_number(text_buffer *b, double v)
{
    char *at = room(b, max_le_chars);
    b->used = static_cast<std::size_t>(format_le(at, v) - b->text);
}

void put_integer(text_buffer *b, std::int32_t n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", n);
    put_text(b, text);
}

// A values line: each value after a space, then the newline.
void put_values(text_buffer *b, const double *v, std::int32_t D)
{
    for (std::int32_t j = 0; j < D; ++j) {
        put_text(b, " ");
        put_number(b, v[j]);
    }
    put_text(b, "\n");
}

} // namespace

bool write_model_text(const text_sink &out, const char *name, const char *kind, std::int32_t M, std::int32_t D,
                      const double *mu, const double *sigma, const double *w)
{
    text_buffer b;
    b.out = &out;
    b.used = 0;
    b.failed = false;
    put_text(&b, "~o\n<STREAMINFO> 1 ");
    put_integer(&b, D);
    put_text(&b, "\n<VECSIZE> ");
    put_integer(&b, D);
    put_text(&b, "<NULLD><");
    put_text(&b, kind);
    put_text(&b, "><DIAGC>\n~h \"");
    put_text(&b, name);
    put_text(&b, "\"\n<BEGINHMM>\n<NUMSTATES> 3\n<STATE> 2\n<NUMMIXES> ");
    put_integer(&b, M);
    put_text(&b, "\n");
    const double log_2pi = std::log(2 * std::numbers::pi);
    for (std::int32_t i = 0; i < M; ++i) {
        const double *m = mu + static_cast<std::size_t>(i) * static_cast<std::size_t>(D);
        const double *v = sigma + static_cast<std::size_t>(i) * static_cast<std::size_t>(D);
        double gconst = D * log_2pi;
        for (std::int32_t j = 0; j < D; ++j)
            gconst += std::log(v[j]);
        put_text(&b, "<MIXTURE> ");
        put_integer(&b, i + 1);
        put_text(&b, " ");
        put_number(&b, w[i]);
        put_text(&b, "\n<MEAN> ");
        put_integer(&b, D);
        put_text(&b, "\n");
        put_values(&b, m, D);
        put_text(&b, "<VARIANCE> ");
        put_integer(&b, D);
        put_text(&b, "\n");
        put_values(&b, v, D);
        put_text(&b, "<GCONST> ");
        put_number(&b, gconst);
        put_text(&b, "\n");
    }
    put_text(&b, "<TRANSP> 3\n 0.000000e+00 1.000000e+00 0.000000e+00\n"
                 " 0.000000e+00 6.000000e-01 4.000000e-01\n"
                 " 0.000000e+00 0.000000e+00 0.000000e+00\n<ENDHMM>\n");
    drain(&b);
    return !b.failed;
}

namespace {

// Binary items: a keyword's code, a 16-bit count, 32-bit floats.
struct binary_out {
    text_buffer *b;
    bool little;
};

// The n low bytes of v, in the order's sequence.
void put_word(const binary_out &o, std::uint32_t v, int n)
{
    for (int i = 0; i < n; ++i) {
        const unsigned char byte = static_cast<unsigned char>(v >> 8 * (o.little ? i : n - 1 - i));
        put_bytes(o.b, &byte, 1);
    }
}

void put_code(const binary_out &o, unsigned char code)
{
    const unsigned char bytes[] = {':', code};
    put_bytes(o.b, bytes, sizeof bytes);
}

void put_short(const binary_out &o, std::int32_t v) { put_word(o, static_cast<std::uint16_t>(v), 2); }

void put_float(const binary_out &o, float v) { put_word(o, std::bit_cast<std::uint32_t>(v), 4); }

// A count, then the n values, each rounded to the nearest float.
void put_floats(const binary_out &o, const double *v, std::int32_t n)
{
    put_short(o, n);
    for (std::int32_t j = 0; j < n; ++j)
        put_float(o, static_cast<float>(v[j]));
}

} // namespace

bool write_model_binary(const text_sink &out, bool little, const char *name, const char *kind, std::int32_t M,
                        std::int32_t D, const double *mu, const double *sigma, const double *w)
{
    text_buffer b;
    b.out = &out;
    b.used = 0;
    b.failed = false;
    const binary_out o{&b, little};
    put_text(&b, "~o\n");
    put_code(o, 5); // <STREAMINFO> 1 D
    put_short(o, 1);
    put_short(o, D);
    put_code(o, 6); // <VECSIZE> D
    put_short(o, D);
    put_code(o, 7); // <NULLD>
    put_text(&b, "<");
    put_text(&b, kind);
    put_text(&b, "><DIAGC>\n~h \"");
    put_text(&b, name);
    put_text(&b, "\"\n");
    put_code(o, 0); // <BEGINHMM>
    put_code(o, 4); // <NUMSTATES> 3
    put_short(o, 3);
    put_code(o, 15); // <STATE> 2
    put_short(o, 2);
    put_code(o, 3); // <NUMMIXES> M
    put_short(o, M);
    const double log_2pi = std::log(2 * std::numbers::pi);
    for (std::int32_t i = 0; i < M; ++i) {
        const double *m = mu + static_cast<std::size_t>(i) * static_cast<std::size_t>(D);
        const double *v = sigma + static_cast<std::size_t>(i) * static_cast<std::size_t>(D);
        double gconst = D * log_2pi; // of the variances as stored
        for (std::int32_t j = 0; j < D; ++j)
            gconst += std::log(static_cast<double>(static_cast<float>(v[j])));
        put_code(o, 17); // <MIXTURE> i + 1 weight
        put_short(o, i + 1);
        put_float(o, static_cast<float>(w[i]));
        put_code(o, 20); // <MEAN> D means
        put_floats(o, m, D);
        put_code(o, 21); // <VARIANCE> D variances
        put_floats(o, v, D);
        put_code(o, 24); // <GCONST>
        put_float(o, static_cast<float>(gconst));
    }
    static constexpr double transp[9] = {0, 1, 0, 0, 0.6, 0.4, 0, 0, 0};
    put_code(o, 27); // <TRANSP> 3, its 9 values
    put_short(o, 3);
    for (double t : transp)
        put_float(o, static_cast<float>(t));
    put_code(o, 2); // <ENDHMM>
    put_text(&b, "\n");
    drain(&b);
    return !b.failed;
}

namespace {

bool put_stream(void *to, const char *bytes, std::size_t n)
{
    return std::fwrite(bytes, 1, n, static_cast<std::FILE *>(to)) == n;
}

} // namespace

bool write_model_text(std::FILE *f, const char *name, const char *kind, std::int32_t M, std::int32_t D,
                      const double *mu, const double *sigma, const double *w)
{
    return write_model_text(text_sink{put_stream, f}, name, kind, M, D, mu, sigma, w);
}

bool write_model_binary(std::FILE *f, bool little, const char *name, const char *kind, std::int32_t M,
                        std::int32_t D, const double *mu, const double *sigma, const double *w)
{
    return write_model_binary(text_sink{put_stream, f}, little, name, kind, M, D, mu, sigma, w);
}

std::size_t longest_values_line(std::int32_t M, std::int32_t D, const double *mu, const double *sigma)
{
    const std::size_t values = static_cast<std::size_t>(M) * static_cast<std::size_t>(D);
    std::size_t longest = 0;
    for (const double *rows : {mu, sigma}) {
        for (std::size_t k = 0; k < values; k += static_cast<std::size_t>(D)) {
            std::size_t n = 0;
            for (std::int32_t j = 0; j < D; ++j) {
                char text[max_le_chars];
                n += 1 + static_cast<std::size_t>(format_le(text, rows[k + static_cast<std::size_t>(j)]) - text);
            }
            longest = n > longest ? n : longest;
        }
    }
    return longest;
}

} // namespace gmm
