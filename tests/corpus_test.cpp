// The bad-input corpus (tests/corpus): every way a model file or a list can
// be wrong, each run through both programs, with the exact message and exit
// status expected of each, and no output left behind by a refused model.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "harness.h"

using namespace harness;

namespace {

const std::string absent = "<no such file>";

// What --check and --keywords give, in both programs: the same as the
// plain call, success, or the message after the file's name.
const std::string same = "<same>", fine = "";

struct corpus_case {
    std::string file;
    int kelvane_status;
    std::string kelvane_err;
    int morrit_status; // -1: a list, not given to morrit
    std::string morrit_err;
    int records = -1;  // records kelvane must leave in its output; -1: none, no file
    int record_bytes = 2 * 3 * 8; // a record's size, where not the base model's
    std::string checked = same;
    std::string keywords = same;
};

void PrintTo(const corpus_case *c, std::ostream *os) { *os << c->file; }

void copy_corpus(const scratch &s)
{
    for (const auto &entry : std::filesystem::directory_iterator(SOURCE_DIR "/tests/corpus"))
        std::filesystem::copy_file(entry.path(), s.at(entry.path().filename().string()));
}

// The same message from both programs.
corpus_case both(const std::string &file, const std::string &tail)
{
    const std::string err = tail.rfind("Error:", 0) == 0 ? tail : file + tail;
    return {file, 1, err, 1, err};
}

std::vector<corpus_case> cases()
{
    std::vector<corpus_case> c = {
        {"base.gmm", 0, "", 0, "", 1},
        {"crlf.gmm", 0, "", 0, "", 1},
        {"values_more.gmm", 0, "", 0, "", 1},
        {"values_junk.gmm", 0, "", 0, "", 1},
        {"values_bad_digit.gmm", 0, "", 0, "", 1},
        {"binary_line6.gmm", 0, "", 0, "", 1},
        {"line6_bracket.gmm", 0, "", 0, "", 1}, // a keyword's first character is checked too
        // Counts past 32 bits: a plain read keeps their low 32 bits.
        {"vecsize_wraps.gmm", 0, "", 0, "", 1},
        {"vecsize_wraps_far.gmm", 0, "", 0, "", 1}, // eleven digits
        {"mixcount_wraps.gmm", 0, "", 0, "", 1},
        {"numstates_wraps.gmm", 0, "", 0, "", 1},
        {"weight_missing.gmm", 0, "", 1, "weight_missing.gmm:15: missing mixture weight\n", 1},
        both("empty.gmm", ":3: invalid model header\n"),
        both("garbage.gmm", ":3: invalid model header\n"),
        both("line3_one_token.gmm", ":3: invalid model header\n"),
        both("line3_tab.gmm", ":3: invalid model header\n"),
        both("vecsize_zero.gmm", ":3: invalid model header\n"),
        both("vecsize_negative.gmm", ":3: invalid model header\n"),
        both("line8_one_token.gmm", ":8: invalid model header\n"),
        both("mixcount_zero.gmm", ":8: invalid model header\n"),
        both("mixcount_negative.gmm", ":8: invalid model header\n"),
        both("header_overflow.gmm", "Error: Memory allocation for mu / sigma failed\n"),
        both("values_few.gmm", ":13: 2 values, 3 expected\n"),
        both("values_nul.gmm", ":11: 1 values, 3 expected\n"),
        both("values_tab.gmm", ":19: 2 values, 3 expected\n"),
        both("values_cut.gmm", ":17: line longer than 9998 characters\n"),
        // Lists, with base.gmm as the UBM.
        {"list_blank_lines.lst", 0, "", -1, "", 2},
        {"list_no_newline.lst", 0, "", -1, "", 1},
        {"list_missing_later.lst", 1, "none.gmm: File open error!\n", -1, "", 1},
        {"list_bad_model_later.lst", 1, "values_few.gmm:13: 2 values, 3 expected\n", -1, "", 1},
        {"list_empty.lst", 1, "File open error!\n", -1, ""},
        {"list_first_blank.lst", 1, "File open error!\n", -1, ""},
        {"list_crlf.lst", 1, "File open error!\n", -1, ""},
        {"list_garbage.lst", 1, "File open error!\n", -1, ""},
    };
    // The shapes of a model definition that only a reader by keywords takes
    // or refuses with its reason, read by position.
    const std::vector<corpus_case> shapes = {
        {"kw_binary.gmm", 1, "kw_binary.gmm:3: invalid model header\n", 1, "kw_binary.gmm:3: invalid model header\n"},
        // Binary storage (made by tests/binary_corpus.py).
        both("kw_binary_big.gmm", ":3: invalid model header\n"),
        both("kw_binary_little.gmm", ":3: invalid model header\n"),
        both("kw_binary_macros.gmm", ":3: invalid model header\n"),
        both("kw_binary_mixed.gmm", ":3: invalid model header\n"),
        both("kw_binary_negative.gmm", ":3: invalid model header\n"),
        both("kw_binary_macro_count.gmm", ":3: invalid model header\n"),
        both("kw_binary_fullc.gmm", ":3: invalid model header\n"),
        both("kw_binary_invdiagc.gmm", ":3: invalid model header\n"),
        both("kw_binary_lltc.gmm", ":3: invalid model header\n"),
        both("kw_binary_two_hmms.gmm", ":3: invalid model header\n"),
        both("kw_binary_mean_big.gmm", ":3: invalid model header\n"),
        both("kw_binary_mean_little.gmm", ":3: invalid model header\n"),
        both("kw_binary_cut.gmm", ":3: invalid model header\n"),
        both("kw_binary_both_orders.gmm", ":8: invalid model header\n"),
        {"kw_component_missing.gmm", 1, "kw_component_missing.gmm:25: 1 values, 3 expected\n", 1, "kw_component_missing.gmm:21: missing mixture weight\n"},
        {"kw_count_differs.gmm", 0, "", 0, "", 1},
        {"kw_full_covariance.gmm", 0, "", 1, "kw_full_covariance.gmm:15: missing mixture weight\n", 1},
        {"kw_hmmsetid.gmm", 0, "", 1, "kw_hmmsetid.gmm:9: missing mixture weight\n", 1, 16},
        both("kw_long_lines.gmm", ":11: line longer than 9998 characters\n"),
        {"kw_long_number.gmm", 0, "", 0, "", 1},
        {"kw_macro_references.gmm", 1, "kw_macro_references.gmm:3: invalid model header\n", 1, "kw_macro_references.gmm:3: invalid model header\n"},
        {"kw_macros_around.gmm", 1, "kw_macros_around.gmm:8: invalid model header\n", 1, "kw_macros_around.gmm:8: invalid model header\n"},
        {"kw_no_gconst.gmm", 1, "kw_no_gconst.gmm:17: 2 values, 3 expected\n", 1, "kw_no_gconst.gmm:15: missing mixture weight\n"},
        {"kw_no_options.gmm", 1, "kw_no_options.gmm: ends after line 21, 26 lines expected\n", 1, "kw_no_options.gmm:21: missing mixture weight\n"},
        {"kw_not_a_number.gmm", 0, "", 0, "", 1},
        {"kw_options_in_hmm.gmm", 0, "", 1, "kw_options_in_hmm.gmm:9: missing mixture weight\n", 1, 8},
        {"kw_options_one_line.gmm", 1, "kw_options_one_line.gmm:3: invalid model header\n", 1, "kw_options_one_line.gmm:3: invalid model header\n"},
        {"kw_second_state.gmm", 0, "", 0, "", 1},
        {"kw_shared_state.gmm", 1, "kw_shared_state.gmm:8: invalid model header\n", 1, "kw_shared_state.gmm:8: invalid model header\n"},
        {"kw_shared_mixpdf.gmm", 1, "kw_shared_mixpdf.gmm:11: 2 values, 3 expected\n", 1,
         "kw_shared_mixpdf.gmm:9: missing mixture weight\n"},
        {"kw_single_gaussian.gmm", 1, "kw_single_gaussian.gmm: ends after line 16, 26 lines expected\n", 1, "kw_single_gaussian.gmm: ends after line 16, 26 lines expected\n"},
        {"kw_stream_weights.gmm", 0, "", 0, "", 1},
        {"kw_three_states.gmm", 0, "", 0, "", 1},
        both("kw_transp_huge.gmm", ":8: invalid model header\n"),
        both("kw_transp_overflow.gmm", ":8: invalid model header\n"),
        {"kw_two_hmms.gmm", 0, "", 0, "", 1},
        {"kw_two_streams.gmm", 0, "", 0, "", 1},
        {"kw_undefined_macro.gmm", 1, "kw_undefined_macro.gmm:19: 2 values, 3 expected\n", 1, "kw_undefined_macro.gmm:19: 2 values, 3 expected\n"},
        {"kw_vecsize_first.gmm", 0, "", 0, "", 1, 16},
        {"kw_word_model.gmm", 0, "", 0, "", 1},
        {"kw_wrapped.gmm", 1, "kw_wrapped.gmm:8: invalid model header\n", 1, "kw_wrapped.gmm:8: invalid model header\n"},
        {"kw_component_beyond.gmm", 0, "", 0, "", 1},
        {"kw_component_twice.gmm", 0, "", 0, "", 1},
        {"kw_duration.gmm", 0, "", 0, "", 1},
        {"kw_duration_macro.gmm", 1, "kw_duration_macro.gmm:23: 2 values, 3 expected\n", 1, "kw_duration_macro.gmm:9: missing mixture weight\n"},
        {"kw_ends_in_hmm.gmm", 0, "", 0, "", 1},
        {"kw_input_xform.gmm", 1, "kw_input_xform.gmm:11: 2 values, 3 expected\n", 1, "kw_input_xform.gmm:9: missing mixture weight\n"},
        {"kw_inverse_option.gmm", 0, "", 0, "", 1},
        {"kw_macro_no_letter.gmm", 0, "", 0, "", 1},
        {"kw_macro_unclosed.gmm", 0, "", 0, "", 1},
        both("kw_macro_unquoted.gmm", ":8: invalid model header\n"),
        both("kw_options_bare.gmm", ":3: invalid model header\n"),
        {"kw_projsize.gmm", 1, "kw_projsize.gmm:11: 2 values, 3 expected\n", 1, "kw_projsize.gmm:9: missing mixture weight\n"},
        {"kw_state_three.gmm", 0, "", 0, "", 1},
        {"kw_stray_word.gmm", 1, "kw_stray_word.gmm:11: 2 values, 3 expected\n", 1, "kw_stray_word.gmm:9: missing mixture weight\n"},
        {"kw_stream_mixes.gmm", 0, "", 0, "", 1},
        both("kw_stream_weights_two.gmm", ":11: 2 values, 3 expected\n"),
        {"kw_tied_mixture.gmm", 0, "", 0, "", 1},
        {"kw_unknown_macro.gmm", 1, "kw_unknown_macro.gmm:11: 2 values, 3 expected\n", 1, "kw_unknown_macro.gmm:9: missing mixture weight\n"},
        {"kw_unknown_option.gmm", 1, "kw_unknown_option.gmm:11: 2 values, 3 expected\n", 1, "kw_unknown_option.gmm:9: missing mixture weight\n"},
        {"single_gaussian.gmm", 0, "", 0, "", 1, 24},
        {"shared_mixpdf.gmm", 0, "", 0, "", 1},
    };
    c.insert(c.end(), shapes.begin(), shapes.end());
    // The base model cut after each of its first 19 lines.
    for (int n = 1; n <= 19; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "truncated_%02d.gmm", n);
        if (n < 3)
            c.push_back(both(name, ":3: invalid model header\n"));
        else if (n < 8)
            c.push_back(both(name, ":8: invalid model header\n"));
        else
            c.push_back(both(name, ": ends after line " + std::to_string(n) + ", 20 lines expected\n"));
    }
    // What --check and --keywords say where it is not what the plain call says.
    const std::string two_hmms = "2 HMMs, one expected (load a set with -H or mmf=, then name an HMM)\n";
    const std::map<std::string, std::pair<std::string, std::string>> modes = {
        {"binary_line6.gmm", {":6: binary model definition, text expected\n", ":6: binary model definition, text expected\n"}},
        {"empty.gmm", {same, ": no HMM in the file\n"}},
        {"garbage.gmm", {":1: binary model definition, text expected\n", ":1: binary model definition, text expected\n"}},
        {"header_overflow.gmm", {same, ":3: <VECSIZE> 2147483647, 3 expected\n"}},
        {"kw_binary.gmm", {":2: binary model definition, text expected\n", ":2: binary keyword code 1 at offset 3: no code this reader knows\n"}},
        {"kw_binary_big.gmm", {":2: binary model definition, text expected\n", fine}},
        {"kw_binary_little.gmm", {":2: binary model definition, text expected\n", fine}},
        {"kw_binary_macros.gmm", {":2: binary model definition, text expected\n", fine}},
        {"kw_binary_mixed.gmm", {":3: binary model definition, text expected\n", fine}},
        {"kw_binary_negative.gmm", {":2: binary model definition, text expected\n", ":4: <NUMMIXES> -1: at least 1 expected\n"}},
        {"kw_binary_macro_count.gmm", {":2: binary model definition, text expected\n", ":8: <VARIANCE> 4, 3 expected\n"}},
        {"kw_binary_fullc.gmm", {":2: binary model definition, text expected\n",
                                 ":2: <FULLC>: full or inverse covariances, diagonal variances expected\n"}},
        {"kw_binary_invdiagc.gmm", {":2: binary model definition, text expected\n",
                                    ":2: <INVDIAGC>: full or inverse covariances, diagonal variances expected\n"}},
        {"kw_binary_lltc.gmm", {":2: binary model definition, text expected\n",
                                ":2: <LLTC>: full or inverse covariances, diagonal variances expected\n"}},
        {"kw_binary_two_hmms.gmm", {":2: binary model definition, text expected\n", ":6: " + two_hmms}},
        // Where neither byte order reads, the fault of the one that read further.
        {"kw_binary_mean_big.gmm", {":2: binary model definition, text expected\n", ":4: <MEAN> 4, 3 expected\n"}},
        {"kw_binary_mean_little.gmm", {":2: binary model definition, text expected\n", ":4: <MEAN> 4, 3 expected\n"}},
        {"kw_binary_cut.gmm",
         {":2: binary model definition, text expected\n", ":4: the file ends inside the binary item at offset 153\n"}},
        {"kw_binary_both_orders.gmm",
         {":3: <VECSIZE> expected, found \"<NUMSTATES> 3\"\n", ": binary numbers that read as a model in both byte orders\n"}},
        {"kw_component_missing.gmm", {":21: <MIXTURE> expected, found \"<TRANSP> 3\"\n", ":21: component 2 of 3 missing\n"}},
        {"kw_component_beyond.gmm", {fine, ":15: component 3 of 2\n"}},
        {"kw_component_twice.gmm", {fine, ":15: component 1 given twice\n"}},
        {"kw_duration_macro.gmm", {":6: <NUMSTATES> 3 expected, found \"~h \"base\"\"\n", fine}},
        {"kw_ends_in_hmm.gmm", {":27: " + two_hmms, ":27: the file ends inside an HMM\n"}},
        {"kw_input_xform.gmm", {":6: <NUMSTATES> 3 expected, found \"<BEGINHMM>\"\n", ":4: <INPUTXFORM>: input transforms are not read\n"}},
        {"kw_inverse_option.gmm", {fine, ":3: <INVDIAGC>: full or inverse covariances, diagonal variances expected\n"}},
        {"kw_macro_no_letter.gmm", {fine, ":4: a macro marker \"~\" without its letter\n"}},
        {"kw_macro_unclosed.gmm", {fine, ":4: \"base\" not closed\n"}},
        {"kw_macro_unquoted.gmm", {":3: <VECSIZE> expected, found \" 1.0e-02 1.0e-02 1.0e-02\"\n", fine}},
        {"kw_options_bare.gmm", {":3: <VECSIZE> expected, found \"~h \"base\"\"\n", fine}},
        {"kw_projsize.gmm", {":6: <NUMSTATES> 3 expected, found \"<PROJSIZE> 3\"\n", fine}},
        {"kw_state_three.gmm", {":7: <STATE> 2 expected, found \"<STATE> 3\"\n", ":7: <STATE> 3, 2 expected (the one emitting state)\n"}},
        {"kw_stray_word.gmm", {":6: <NUMSTATES> 3 expected, found \"<BEGINHMM>\"\n", ":4: \"base\" where a macro or <BEGINHMM> was expected\n"}},
        {"kw_stream_mixes.gmm", {fine, ":8: mixture counts of several streams, one stream expected\n"}},
        {"kw_stream_weights_two.gmm", {":9: <MIXTURE> expected, found \"<SWEIGHTS> 2 0.5 0.5\"\n", ":9: <SWEIGHTS> of 2 streams, one expected\n"}},
        {"kw_tied_mixture.gmm", {":9: <MIXTURE> expected, found \"<TMIX> \"mix\" 0.5 0.5\"\n", ":9: <TMIX>: tied or discrete mixtures, Gaussians expected\n"}},
        {"kw_unknown_macro.gmm", {":6: <NUMSTATES> 3 expected, found \"<BEGINHMM>\"\n", ":4: ~z macros are not read\n"}},
        {"kw_unknown_option.gmm", {":6: <NUMSTATES> 3 expected, found \"<BEGINHMM>\"\n", ":4: <MEAN> where an option was expected\n"}},
        {"kw_count_differs.gmm", {":16: <MEAN> 3 expected, found \"<MEAN> 4\"\n", ":16: <MEAN> 4, 3 expected\n"}},
        {"kw_full_covariance.gmm", {":12: <VARIANCE> 3 expected, found \"<INVCOVAR> 3\"\n", ":12: full covariance (<INVCOVAR>), diagonal variances expected\n"}},
        {"kw_hmmsetid.gmm", {":3: <VECSIZE> expected, found \"<STREAMINFO> 1 3\"\n", fine}},
        {"kw_long_lines.gmm", {":10: <MEAN> 3 expected, found \"000e-01\"\n", fine}},
        {"kw_long_number.gmm", {same, ":15: a symbol longer than 255 characters\n"}},
        {"kw_macro_references.gmm", {":3: <VECSIZE> expected, found \" -1.000000e+00 -2.500000e-01 4.000000e+0\"\n", fine}},
        {"kw_macros_around.gmm", {":3: <VECSIZE> expected, found \" 1.000000e-02 1.000000e-02 1.000000e-02\"\n", fine}},
        {"kw_no_gconst.gmm", {":15: <MIXTURE> expected, found \"<MEAN> 3\"\n", fine}},
        {"kw_no_options.gmm", {":3: <VECSIZE> expected, found \"<STATE> 2\"\n", fine}},
        {"kw_not_a_number.gmm", {same, ":17: \"-2.5e-1x\" where a number was expected\n"}},
        {"kw_options_in_hmm.gmm", {":3: <VECSIZE> expected, found \"<STREAMINFO> 1 3\"\n", fine}},
        {"kw_options_one_line.gmm", {":3: <VECSIZE> expected, found \"<BEGINHMM>\"\n", fine}},
        {"kw_second_state.gmm", {fine, ":21: a second emitting state, one expected\n"}},
        {"kw_shared_state.gmm", {":8: <NUMMIXES> expected, found \"~s \"st\"\"\n", fine}},
        {"kw_shared_mixpdf.gmm", {":6: <NUMSTATES> 3 expected, found \" 1.000000e+00 2.000000e+00 3.000000e+00\"\n", fine}},
        {"kw_single_gaussian.gmm", {":8: <NUMMIXES> expected, found \"<MEAN> 3\"\n", fine}},
        {"kw_stream_weights.gmm", {":9: <MIXTURE> expected, found \"<SWEIGHTS> 1 1.0\"\n", same}},
        {"kw_three_states.gmm", {":6: <NUMSTATES> 3 expected, found \"<NUMSTATES> 5\"\n", ":6: <NUMSTATES> 5: 3 emitting states, one expected\n"}},
        {"kw_transp_huge.gmm", {":8: <NUMMIXES> expected, found \"~s \"st\"\"\n", ":12: 9 values, 4294967296 expected\n"}},
        {"kw_transp_overflow.gmm",
         {":8: <NUMMIXES> expected, found \"~s \"st\"\"\n", ":12: 9 values, 9223372036854775807 expected\n"}},
        {"kw_two_hmms.gmm", {":27: " + two_hmms, ":27: " + two_hmms}},
        {"kw_two_streams.gmm", {same, ":2: <STREAMINFO> 2: 2 streams, one expected\n"}},
        {"kw_undefined_macro.gmm", {":18: <VARIANCE> 3 expected, found \"~v \"nowhere\"\"\n", ":18: ~v \"nowhere\" is not defined in the file\n"}},
        {"kw_vecsize_first.gmm", {":3: <VECSIZE> expected, found \"<STREAMINFO> 1 3\"\n", same}},
        {"kw_word_model.gmm", {":6: <NUMSTATES> 3 expected, found \"<NUMSTATES> 18\"\n", ":6: <NUMSTATES> 18: 16 emitting states, one expected\n"}},
        {"kw_wrapped.gmm", {":6: <NUMSTATES> 3 expected, found \"<State> 2 <NumMixes> 2?\"\n", fine}},
        {"line3_one_token.gmm", {same, ":4: ~h \"base\" where a count was expected\n"}},
        {"line3_tab.gmm", {same, fine}},
        {"line6_bracket.gmm",
         {":6: <NUMSTATES> 3 expected, found \"[NUMSTATES> 3\"\n", ":6: \"[NUMSTATES>\" where <NUMSTATES> was expected\n"}},
        {"line8_one_token.gmm", {same, ":9: <MIXTURE> where a count was expected\n"}},
        {"mixcount_negative.gmm", {same, ":8: <NUMMIXES> -1: at least 1 expected\n"}},
        {"mixcount_zero.gmm", {same, ":8: <NUMMIXES> 0: at least 1 expected\n"}},
        {"mixcount_wraps.gmm",
         {":8: <NUMMIXES> 4294967298: a count of at most 2147483647 expected\n",
          ":8: <NUMMIXES> 4294967298: a count of at most 2147483647 expected\n"}},
        {"numstates_wraps.gmm",
         {":6: <NUMSTATES> 3 expected, found \"<NUMSTATES> 4294967299\"\n",
          ":6: <NUMSTATES> 4294967299: 4294967297 emitting states, one expected\n"}},
        {"truncated_01.gmm", {same, ": no HMM in the file\n"}},
        {"truncated_02.gmm", {same, ": no HMM in the file\n"}},
        {"truncated_03.gmm", {same, ": no HMM in the file\n"}},
        {"truncated_04.gmm", {same, ":4: the end of the file where <BEGINHMM> was expected\n"}},
        {"truncated_05.gmm", {same, ":5: the end of the file where <NUMSTATES> was expected\n"}},
        {"truncated_06.gmm", {same, ":6: the end of the file where <STATE> was expected\n"}},
        {"truncated_07.gmm", {same, ":7: the end of the file where <MEAN> or ~u was expected\n"}},
        {"truncated_08.gmm", {same, ":8: the end of the file where <MIXTURE> was expected\n"}},
        {"truncated_09.gmm", {same, ":9: the end of the file where <MEAN> or ~u was expected\n"}},
        {"truncated_10.gmm", {same, ":10: 0 values, 3 expected\n"}},
        {"truncated_11.gmm", {same, ":11: the end of the file where <VARIANCE> or ~v was expected\n"}},
        {"truncated_12.gmm", {same, ":12: 0 values, 3 expected\n"}},
        {"truncated_13.gmm", {same, ":13: the end of the file where <TRANSP> or ~t was expected\n"}},
        {"truncated_14.gmm", {same, ":14: the end of the file where <TRANSP> or ~t was expected\n"}},
        {"truncated_15.gmm", {same, ":15: the end of the file where <MEAN> or ~u was expected\n"}},
        {"truncated_16.gmm", {same, ":16: 0 values, 3 expected\n"}},
        {"truncated_17.gmm", {same, ":17: the end of the file where <VARIANCE> or ~v was expected\n"}},
        {"truncated_18.gmm", {same, ":18: 0 values, 3 expected\n"}},
        {"truncated_19.gmm", {same, ":19: the end of the file where <TRANSP> or ~t was expected\n"}},
        {"values_cut.gmm", {same, fine}},
        {"values_bad_digit.gmm", {same, ":11: \"1.000x00e+00\" where a number was expected\n"}},
        {"values_junk.gmm", {same, ":11: \"one\" where a number was expected\n"}},
        {"values_more.gmm", {same, ":11: \"9.000000e+00\" where <VARIANCE> or ~v was expected\n"}},
        {"values_nul.gmm", {same, ":11: binary model definition, text expected\n"}},
        {"values_tab.gmm", {same, fine}},
        {"vecsize_negative.gmm", {same, ":3: <VECSIZE> -1: a count of at least 1 expected\n"}},
        {"vecsize_zero.gmm", {same, ":3: <VECSIZE> 0: a count of at least 1 expected\n"}},
        {"vecsize_wraps.gmm",
         {":3: <VECSIZE> 4294967299: a count of at most 2147483647 expected\n",
          ":3: <VECSIZE> 4294967299: a count of at most 2147483647 expected\n"}},
        {"vecsize_wraps_far.gmm",
         {":3: <VECSIZE> 12884901891: a count of at most 2147483647 expected\n",
          ":3: \"12884901891\" where a count was expected\n"}},
        {"weight_missing.gmm", {same, ":16: <MEAN> where a weight was expected\n"}},
    };
    for (corpus_case &k : c)
        if (const auto m = modes.find(k.file); m != modes.end())
            std::tie(k.checked, k.keywords) = m->second;
    return c;
}

class corpus_run : public testing::TestWithParam<const corpus_case *> {};

TEST_P(corpus_run, both_programs)
{
    const corpus_case &c = *GetParam();
    scratch s;
    copy_corpus(s);
    const bool is_list = c.morrit_status < 0;

    // kelvane: a model is its own UBM and the one model of the list.
    if (!is_list)
        write_file(s.at("one.lst"), c.file + "\n");
    outcome k = is_list ? run({KELVANE_PATH, "base.gmm", c.file, "sv.bin"}, s.dir)
                        : run({KELVANE_PATH, c.file, "one.lst", "sv.bin"}, s.dir);
    EXPECT_EQ(k.status, c.kelvane_status);
    EXPECT_EQ(k.err, c.kelvane_err);
    if (c.records < 0)
        EXPECT_FALSE(exists(s.at("sv.bin")));
    else
        EXPECT_EQ(read_file(s.at("sv.bin")).size(), static_cast<std::size_t>(c.records * c.record_bytes));

    if (is_list)
        return;
    outcome m = run({MORRIT_PATH, c.file, "mu.txt", "sigma.txt", "w.txt"}, s.dir);
    EXPECT_EQ(m.status, c.morrit_status);
    EXPECT_EQ(m.err, c.morrit_err);
    for (const char *out : {"mu.txt", "sigma.txt", "w.txt"})
        EXPECT_EQ(exists(s.at(out)), c.morrit_status == 0) << out;

    // Checked, and by keywords: both programs say the same, and leave no
    // output where they refuse the model.
    for (const auto &[option, says] : {std::pair{"--check", c.checked}, {"--keywords", c.keywords}}) {
        SCOPED_TRACE(option);
        for (const char *out : {"sv.bin", "mu.txt", "sigma.txt", "w.txt"})
            std::remove(s.at(out).c_str());
        const outcome km = run({KELVANE_PATH, option, c.file, "one.lst", "sv.bin"}, s.dir);
        const outcome mm = run({MORRIT_PATH, option, c.file, "mu.txt", "sigma.txt", "w.txt"}, s.dir);
        if (says == same) {
            EXPECT_EQ(mm.status, c.morrit_status);
            EXPECT_EQ(mm.err, c.morrit_err);
            if (c.file != "weight_missing.gmm") { // kelvane reads no weight by position
                EXPECT_EQ(km.status, c.kelvane_status);
                EXPECT_EQ(km.err, c.kelvane_err);
            }
            continue;
        }
        const std::string err = says.empty() ? "" : says.rfind("Error:", 0) == 0 ? says : c.file + says;
        EXPECT_EQ(km.status, says.empty() ? 0 : 1);
        EXPECT_EQ(km.err, err);
        EXPECT_EQ(mm.status, says.empty() ? 0 : 1);
        EXPECT_EQ(mm.err, err);
        EXPECT_EQ(exists(s.at("mu.txt")), says.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(corpus, corpus_run, testing::ValuesIn(rows_of<cases>()),
                         [](const testing::TestParamInfo<const corpus_case *> &i) { return test_name(i.param->file); });

#ifdef GMMTOOLS_PYTHON
// The Python module's read_model takes every model file of the corpus as
// morrit does, plain, checked and by keywords: the same failure (as
// ModelError with morrit's text, MemoryError for storage) or none.
TEST(corpus, the_module_reads_each_file_as_morrit_does)
{
    scratch s;
    copy_corpus(s);
    const char *modes[] = {"", "--check", "--keywords"};
    std::string script = "import sys, gmmtools\n"
                         "for f in sys.argv[1:]:\n"
                         "  for kw in (dict(check=False), dict(check=True), dict(keywords=True)):\n"
                         "    try:\n"
                         "      gmmtools.read_model(f, **kw); print('')\n"
                         "    except gmmtools.ModelError as e:\n"
                         "      print(e)\n"
                         "    except MemoryError:\n"
                         "      print('" "Error: Memory allocation for mu / sigma failed')\n";
    std::vector<std::string> argv = {GMMTOOLS_PYTHON, "-c", script}, files;
    for (const auto &entry : std::filesystem::directory_iterator(s.dir))
        if (entry.path().extension() == ".gmm")
            files.push_back(entry.path().filename().string());
    argv.insert(argv.end(), files.begin(), files.end());
    const outcome py = run(argv, s.dir, {.env = {"PYTHONPATH=" GMMTOOLS_PYTHONPATH}});
    ASSERT_EQ(py.status, 0) << py.err;
    std::string want;
    for (const std::string &f : files)
        for (const char *mode : modes) {
            std::vector<std::string> m = {MORRIT_PATH};
            if (*mode != '\0')
                m.push_back(mode);
            m.insert(m.end(), {f, "mu.txt", "sigma.txt", "w.txt"});
            const std::string err = run(m, s.dir).err;
            want += err.empty() ? "\n" : err;
        }
    EXPECT_EQ(py.out, want);
}
#endif

// Line ends of CR LF and surplus values change nothing: the same outputs as
// the base model.  Every shape the reader by keywords takes gives, by
// keywords, the values of the same model in the positional layout.
TEST(corpus, tolerated_variants_read_like_the_base_model)
{
    scratch s;
    copy_corpus(s);
    auto outputs = [&](const std::string &file, const std::vector<std::string> &options = {}) {
        SCOPED_TRACE(file);
        write_file(s.at("one.lst"), file + "\n");
        std::vector<std::string> k = {KELVANE_PATH}, m = {MORRIT_PATH};
        k.insert(k.end(), options.begin(), options.end());
        m.insert(m.end(), options.begin(), options.end());
        k.insert(k.end(), {file == "kw_single_gaussian.gmm" || file == "single_gaussian.gmm" ? file : "base.gmm",
                           "one.lst", "sv.bin"});
        m.insert(m.end(), {file, "mu.txt", "sigma.txt", "w.txt"});
        EXPECT_EQ(run(k, s.dir).status, 0);
        EXPECT_EQ(run(m, s.dir).status, 0);
        return read_file(s.at("sv.bin")) + read_file(s.at("mu.txt")) + read_file(s.at("sigma.txt")) +
               read_file(s.at("w.txt"));
    };
    const std::string want = outputs("base.gmm");
    EXPECT_EQ(outputs("crlf.gmm"), want);
    EXPECT_EQ(outputs("values_more.gmm"), want);
    EXPECT_EQ(outputs("values_bad_digit.gmm"), want); // a letter among the digits: what strtod reads before it
    for (const char *f : {"base.gmm", "crlf.gmm", "values_tab.gmm", "values_cut.gmm", "line3_tab.gmm", "kw_hmmsetid.gmm",
                          "kw_vecsize_first.gmm", "kw_options_one_line.gmm", "kw_no_options.gmm", "kw_no_gconst.gmm",
                          "kw_macros_around.gmm", "kw_wrapped.gmm", "kw_macro_references.gmm", "kw_shared_state.gmm",
                          "kw_stream_weights.gmm", "kw_options_in_hmm.gmm", "kw_long_lines.gmm", "kw_duration.gmm",
                          "kw_duration_macro.gmm", "kw_macro_unquoted.gmm", "kw_options_bare.gmm", "kw_projsize.gmm",
                          "kw_binary_big.gmm", "kw_binary_little.gmm", "kw_binary_mixed.gmm", "kw_binary_macros.gmm"})
        EXPECT_EQ(outputs(f, {"--keywords"}), want) << f;
    EXPECT_EQ(outputs("kw_single_gaussian.gmm", {"--keywords"}), outputs("single_gaussian.gmm"));
    // One ~m for both components, its ~v defined after it: both get it.
    EXPECT_EQ(outputs("kw_shared_mixpdf.gmm", {"--keywords"}), outputs("shared_mixpdf.gmm"));
}


// Sets (made by tests/make_corpus.py): files loaded with -H in order, a UBM
// and a list naming their HMMs (or files).  Where the row succeeds, kelvane
// at every -j gives the bytes of the same models as files of their own
// (`twins`), and morrit gives the first listed model's files; otherwise
// both refuse with the message given, and the module raises it.
struct set_case {
    std::vector<std::string> files;
    std::string ubm, list;
    std::string ubm_twin, twins; // the same models as files, where it succeeds
    std::string err = fine;      // kelvane's message
    std::string morrit_err = same; // morrit's on the list's last model: kelvane's, or this
    std::string out = "sv.bin";
};

void PrintTo(const set_case *c, std::ostream *os) { *os << c->list; }

std::vector<set_case> set_cases()
{
    const std::string speakers = "spk1\nspk2\nspk3\n", files = "set_spk1.gmm\nset_spk2.gmm\nset_spk3.gmm\n";
    const std::string also = "set_ubm.gmm";
    return {
        {{"set_macros", "set_hmmdefs"}, "ubm", speakers, also, files},
        {{"set_macros", "set_hmmdefs_big"}, "ubm", speakers + "spk1\n", also, files + "set_spk1.gmm\n"},
        {{"set_macros", "set_hmmdefs_little"}, "ubm", "spk3\nspk1\n", also, "set_spk3.gmm\nset_spk1.gmm\n"},
        {{"set_macros_little", "set_hmmdefs_mixed"}, "ubm", speakers, also, files},
        {{"set_hmmdefs", "set_macros"}, "spk1", "spk3\nspk2\n", "set_spk1.gmm", "set_spk3.gmm\nset_spk2.gmm\n"},
        // A file of its own, using the set's macro.
        {{"set_macros"}, "set_ubm.gmm", "set_uses_shared.gmm\n", also, "set_spk2.gmm\n"},
        {{"set_hmmdefs"}, "ubm", "spk1\nspk2\n", "", "",
         "set_hmmdefs:34: ~v \"shared\" is defined neither in the file nor in the set\n"},
        {{"set_twice"}, "spk3", "spk1\n", "", "", "set_twice:48: ~h \"spk1\" is defined twice, first at line 4\n"},
        {{"set_macros", "set_hmmdefs", "set_hmmdefs_big"}, "ubm", "spk3\n", "", "",
         "set_hmmdefs_big:3: ~h \"spk1\" is defined twice, first at line 4 of set_hmmdefs\n"},
        {{"set_macros", "set_bad_value"}, "spk1", "spk1\n", "", "",
         "set_bad_value:11: \"3.0x\" where a number was expected\n"},
        {{"set_missing"}, "spk5", "spk5\n", "", "", "set_missing:43: component 3 of 3 missing\n"},
        {{"set_macros", "set_undefined"}, "set_ubm.gmm", "spk9\n", "", "",
         "set_undefined:15: ~v \"nowhere\" is defined neither in the file nor in the set\n"},
        {{"set_macros", "set_hmmdefs"}, "ubm", "spk1\nset_spk2.gmm\n", "", "",
         "set_spk2.gmm:4: ~h \"spk2\" is defined in a loaded set too\n"},
        {{"set_hmmdefs", "set_uses_shared.gmm"}, "ubm", "spk1\n", "", "",
         "set_uses_shared.gmm:4: ~h \"spk2\" is defined twice, first at line 26 of set_hmmdefs\n"},
        {{"set_macros", "set_hmmdefs"}, "ubm", "spk1\nspk4\n", "", "", "spk4: File open error!\n",
         "File open error!\n"},
        {{"set_macros", "set_hmmdefs"}, "ubm", "spk1\n", "", "", "set_macros: input file is output file\n", fine,
         "set_macros"},
        {{"set_macros", "no_such_set"}, "ubm", "spk1\n", "", "", "no_such_set: File open error!\n"},
    };
}

class set_run : public testing::TestWithParam<const set_case *> {};

TEST_P(set_run, both_programs_and_the_module)
{
    const set_case &c = *GetParam();
    scratch s;
    copy_corpus(s);
    write_file(s.at("names.lst"), c.list);
    write_file(s.at("twins.lst"), c.twins);
    std::vector<std::string> loads;
    for (const std::string &f : c.files)
        loads.insert(loads.end(), {"-H", f});
    const std::string last = c.list.substr(c.list.rfind('\n', c.list.size() - 2) + 1);
    const std::string model = last.substr(0, last.size() - 1);
    const std::string twin = c.twins.empty() ? "" : c.twins.substr(c.twins.rfind('\n', c.twins.size() - 2) + 1);

    std::string records;
    for (const char *j : {"-j1", "-j0"}) {
        std::vector<std::string> argv = {KELVANE_PATH, j};
        argv.insert(argv.end(), loads.begin(), loads.end());
        argv.insert(argv.end(), {c.ubm, "names.lst", c.out});
        const outcome k = run(argv, s.dir);
        EXPECT_EQ(k.err, c.err) << j;
        EXPECT_EQ(k.status, c.err.empty() ? 0 : 1) << j;
        if (!c.err.empty())
            continue;
        ASSERT_EQ(run({KELVANE_PATH, "--keywords", c.ubm_twin, "twins.lst", "twins.bin"}, s.dir).status, 0);
        records = read_file(s.at("sv.bin"));
        EXPECT_EQ(records, read_file(s.at("twins.bin"))) << j;
    }

    std::vector<std::string> argv = {MORRIT_PATH};
    argv.insert(argv.end(), loads.begin(), loads.end());
    argv.insert(argv.end(), {model, "mu.txt", "sigma.txt", "w.txt"});
    const outcome m = run(argv, s.dir);
    const std::string morrit_err = c.morrit_err == same ? c.err : c.morrit_err;
    EXPECT_EQ(m.err, morrit_err);
    EXPECT_EQ(m.status, morrit_err.empty() ? 0 : 1);
    if (morrit_err.empty() && !twin.empty()) {
        const std::string alone = twin.substr(0, twin.size() - 1);
        ASSERT_EQ(run({MORRIT_PATH, "--keywords", alone, "mu2", "sigma2", "w2"}, s.dir).status, 0);
        for (const char *out : {"mu", "sigma", "w"})
            EXPECT_EQ(read_file(s.at(std::string(out) + ".txt")), read_file(s.at(std::string(out) + "2"))) << out;
    }

    // No loaded file is written to, the output named among them included.
    for (const std::string &f : c.files) {
        if (exists(SOURCE_DIR "/tests/corpus/" + f)) {
            EXPECT_EQ(read_file(s.at(f)), read_file(SOURCE_DIR "/tests/corpus/" + f)) << f;
        }
    }

#ifdef GMMTOOLS_PYTHON
    // The module: the same records, or the same refusal (OSError where the
    // programs cannot open a file).
    if (c.out != "sv.bin")
        return;
    const std::string script = "import sys, gmmtools\n"
                               "n = sys.argv.index('--')\n"
                               "names = open('names.lst').read().split()\n"
                               "try:\n"
                               "  a = gmmtools.supervectors(sys.argv[1], names, mmf=sys.argv[2:n], threads=0)\n"
                               "  sys.stdout.buffer.write(a.tobytes())\n"
                               "except gmmtools.ModelError as e:\n"
                               "  print(e)\n"
                               "except OSError:\n"
                               "  print('OSError')\n";
    std::vector<std::string> py = {GMMTOOLS_PYTHON, "-c", script, c.ubm};
    py.insert(py.end(), c.files.begin(), c.files.end());
    py.push_back("--");
    const outcome p = run(py, s.dir, {.env = {"PYTHONPATH=" GMMTOOLS_PYTHONPATH}});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.out, c.err.empty() ? records : c.err.ends_with("File open error!\n") ? "OSError\n" : c.err);
#endif
}

INSTANTIATE_TEST_SUITE_P(sets, set_run, testing::ValuesIn(rows_of<set_cases>()),
                         [](const testing::TestParamInfo<const set_case *> &i) {
                             return std::to_string(i.index) + "_" + test_name(i.param->files.back());
                         });

} // namespace
