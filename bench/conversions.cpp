// Per-value cost of the number conversions against the C library's.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "format_le.h"
#include "parse_number.h"

namespace {

// Values as model files hold them, and their "%e" text.
std::vector<double> model_values()
{
    std::mt19937_64 rng(1);
    std::vector<double> v(4096);
    for (double &x : v) {
        char b[32];
        std::snprintf(b, sizeof b, "%e", std::uniform_real_distribution<double>(-4, 4)(rng));
        x = std::strtod(b, nullptr);
    }
    return v;
}

std::vector<std::string> model_tokens()
{
    std::vector<std::string> t;
    for (double x : model_values()) {
        char b[32];
        std::snprintf(b, sizeof b, "%e", x);
        t.emplace_back(b);
    }
    return t;
}

void parse_strtod(benchmark::State &state)
{
    const auto tokens = model_tokens();
    for (auto _ : state)
        for (const std::string &t : tokens)
            benchmark::DoNotOptimize(std::strtod(t.c_str(), nullptr));
    state.SetItemsProcessed(static_cast<long>(state.iterations() * tokens.size()));
}

void parse_project(benchmark::State &state)
{
    const auto tokens = model_tokens();
    for (auto _ : state)
        for (const std::string &t : tokens)
            benchmark::DoNotOptimize(gmm::parse_double(t.data(), t.size()));
    state.SetItemsProcessed(static_cast<long>(state.iterations() * tokens.size()));
}

void print_snprintf(benchmark::State &state)
{
    const auto values = model_values();
    char b[64];
    for (auto _ : state)
        for (double v : values) {
            std::snprintf(b, sizeof b, "%le", v);
            benchmark::DoNotOptimize(b);
        }
    state.SetItemsProcessed(static_cast<long>(state.iterations() * values.size()));
}

void print_to_chars(benchmark::State &state)
{
    const auto values = model_values();
    char b[64];
    for (auto _ : state)
        for (double v : values) {
            std::to_chars(b, b + sizeof b, v, std::chars_format::scientific, 6);
            benchmark::DoNotOptimize(b);
        }
    state.SetItemsProcessed(static_cast<long>(state.iterations() * values.size()));
}

void print_project(benchmark::State &state)
{
    const auto values = model_values();
    char b[64];
    for (auto _ : state)
        for (double v : values) {
            gmm::format_le(b, v);
            benchmark::DoNotOptimize(b);
        }
    state.SetItemsProcessed(static_cast<long>(state.iterations() * values.size()));
}

} // namespace

BENCHMARK(parse_strtod);
BENCHMARK(parse_project);
BENCHMARK(print_snprintf);
BENCHMARK(print_to_chars);
BENCHMARK(print_project);
BENCHMARK_MAIN();
