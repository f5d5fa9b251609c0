#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "persistence/json_reader.hpp"
#include "persistence/json_writer.hpp"
#include "test_json_samples.hpp"

namespace vandu::persist {
namespace {

using bits_of = std::uint64_t (*)(double);
const bits_of bits = testing::bit_pattern;
using testing::same_record;

const std::string kTree = R"({"params":{"depth":3,"min_samples_split":2},"splitters":[],"routes":[]})";

// The error a text gives when read as T; fails the test when it reads.
template <class T> JsonError error_of(std::string_view text) {
    try {
        from_json<T>(text);
    } catch (const JsonError& e) {
        return e;
    }
    ADD_FAILURE() << "read without error: " << text;
    return JsonError("", 0, 0);
}

struct MessageCase {
    std::string label;
    std::function<std::string(std::string_view)> message_of;
    std::string input;
    std::string message;
};

template <class T> std::function<std::string(std::string_view)> as() {
    return [](std::string_view text) { return error_of<T>(text).message(); };
}

std::string tree_with(std::string_view params, std::string_view splitters = "[]", std::string_view routes = "[]") {
    return R"({"params":)" + std::string(params) + R"(,"splitters":)" + std::string(splitters) +
           R"(,"routes":)" + std::string(routes) + "}";
}
std::string split_rule(std::string_view threshold, std::string_view values = "[1,2]") {
    return R"({"split_info":{"feature":1,"threshold":)" + std::string(threshold) +
           R"(,"impurity":0.5,"values":)" + std::string(values) + "}}";
}
std::string boosting_with(std::string_view n_estimators, std::string_view rate = "0.1") {
    return R"({"params":{"est_params":{"depth":3,"min_samples_split":2},"n_estimators":)" +
           std::string(n_estimators) + R"(,"learning_rate":)" + std::string(rate) + R"(},"estimators":[],"mean":0.0})";
}
const std::string kParams = R"({"depth":3,"min_samples_split":2})";

class JsonReaderMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(JsonReaderMessages, RefusesWithTheExactMessage) {
    EXPECT_EQ(GetParam().message_of(GetParam().input), GetParam().message) << GetParam().input;
}

std::vector<MessageCase> message_cases() {
    const auto tree = as<DecisionTreeImpl>();
    const auto rule = as<RandomSplitRule>();
    const auto boosting = as<GradientBoostingImpl>();
    const auto deep = as<DeepBoostingImpl>();
    return {
        // syntax
        {"empty", tree, "", "EOF while parsing a value"},
        {"blank", tree, " \n\t\r", "EOF while parsing a value"},
        {"open_object", tree, "{", "EOF while parsing an object"},
        {"open_array", tree, "[", "EOF while parsing a list"},
        {"key_without_colon", tree, R"({"params")", "EOF while parsing an object"},
        {"key_without_value", tree, R"({"params":)", "EOF while parsing a value"},
        {"open_key", tree, R"({"par)", "EOF while parsing a string"},
        {"open_sequence", tree, R"({"params":{"depth":3,"min_samples_split":2},"splitters":[)", "EOF while parsing a list"},
        {"after_comma", tree, R"({"params":{"depth":3,)", "EOF while parsing a value"},
        {"bad_start", tree, "x", "expected value"},
        {"form_feed", tree, "\f{}", "expected value"},
        {"misspelled_null", rule, R"({"split_info":nul})", "expected ident"},
        {"truncated_null", rule, R"({"split_info":nu)", "EOF while parsing a value"},
        {"misspelled_true_unknown", rule, R"({"x":tru})", "expected ident"},
        {"no_colon", tree, R"({"params" 1})", "expected `:`"},
        {"missing_object_comma", tree, R"({"params":{"depth":3 "min_samples_split":2}})", "expected `,` or `}`"},
        {"missing_list_comma", tree, tree_with(kParams, "[]", "[[1,2] [3,4]]"), "expected `,` or `]`"},
        {"number_key", tree, "{1:2}", "key must be a string"},
        {"leading_comma", tree, "{,}", "key must be a string"},
        {"object_trailing_comma", tree, R"({"params":{"depth":3,"min_samples_split":2,}})", "trailing comma"},
        {"list_trailing_comma", tree, tree_with(kParams, "[]", "[[1,2],]"), "trailing comma"},
        {"pair_trailing_comma", tree, tree_with(kParams, "[]", "[[1,2,]]"), "trailing comma"},
        {"pair_extra_element", tree, tree_with(kParams, "[]", "[[1,2,3]]"), "trailing characters"},
        {"after_value", tree, kTree + " x", "trailing characters"},
        {"two_values", tree, kTree + kTree, "trailing characters"},
        {"comment", tree, kTree + "//", "trailing characters"},
        {"bad_escape", tree, R"({"a\q":1})", "invalid escape"},
        {"bad_hex", tree, R"({"\u12x4":1})", "invalid escape"},
        {"short_hex", tree, R"({"\u12)", "EOF while parsing a string"},
        {"control_character", tree, "{\"a\x01\":1}", "control character (\\u0000-\\u001F) found while parsing a string"},
        {"raw_line_break", tree, "{\"a\n\":1}", "control character (\\u0000-\\u001F) found while parsing a string"},
        {"lone_trailing", tree, R"({"\udc00":1})", "lone leading surrogate in hex escape"},
        {"unpaired_leading", tree, R"({"\ud800\u0041":1})", "lone leading surrogate in hex escape"},
        {"leading_then_text", tree, R"({"\ud800x":1})", "unexpected end of hex escape"},
        {"leading_then_other_escape", tree, R"({"\ud800\n":1})", "unexpected end of hex escape"},
        {"invalid_utf8", tree, "{\"\xff\":1}", "invalid unicode code point"},
        {"overlong_utf8", tree, "{\"\xc0\xaf\":1}", "invalid unicode code point"},
        {"encoded_surrogate", tree, "{\"\xed\xa0\x80\":1}", "invalid unicode code point"},
        {"lone_minus", tree, tree_with(kParams, "[]", "[[-,1]]"), "invalid number"},
        {"minus_at_end", tree, R"({"x":-)", "invalid number"},
        {"leading_zero", tree, tree_with(kParams, "[]", "[[01,1]]"), "invalid number"},
        {"bare_point", rule, split_rule("1."), "invalid number"},
        {"point_then_exponent", rule, split_rule("1.e5"), "invalid number"},
        {"bare_exponent", rule, split_rule("1e"), "invalid number"},
        {"signed_bare_exponent", rule, split_rule("1e+"), "invalid number"},
        {"plus_sign", rule, split_rule("+1"), "expected value"},
        {"leading_point", rule, split_rule(".5"), "expected value"},
        {"too_large", rule, split_rule("1e309"), "number out of range"},
        {"too_large_digits", rule, split_rule(std::string(400, '9')), "number out of range"},
        {"too_large_negative", rule, split_rule("-1.8e308"), "number out of range"},
        // records
        {"duplicate", tree, R"({"params":{"depth":3,"min_samples_split":2},"params":{}})", "duplicate field `params`"},
        {"duplicate_split_info", rule, R"({"split_info":null,"split_info":null})", "duplicate field `split_info`"},
        {"missing_first_in_table_order", tree, R"({"routes":[],"splitters":[]})", "missing field `params`"},
        {"missing_later", tree, R"({"params":{"depth":3,"min_samples_split":2}})", "missing field `splitters`"},
        {"missing_nested", tree, R"({"params":{"min_samples_split":2}})", "missing field `depth`"},
        {"missing_in_split", rule, R"({"split_info":{"feature":1}})", "missing field `threshold`"},
        {"tree_as_boosting", boosting, kTree, "missing field `est_params`"},
        {"tree_as_deep", deep, kTree, "missing field `n_estimators`"},
        {"boosting_as_tree", tree, boosting_with("100"), "missing field `depth`"},
        {"boosting_as_deep", deep, boosting_with("100"), "missing field `layer_width`"},
        {"deep_as_boosting", boosting, R"({"params":{"n_estimators":5,"layer_width":5,"learning_rate":0.25},"estimators":[]})",
         "missing field `est_params`"},
        {"short_array_form", tree, "[]", "invalid length 0, expected struct DecisionTreeImpl with 3 elements"},
        {"short_array_form_two", tree, "[[3,2],[]]", "invalid length 2, expected struct DecisionTreeImpl with 3 elements"},
        {"short_one_field", rule, "[]", "invalid length 0, expected struct RandomSplitRule with 1 element"},
        {"long_array_form", tree, "[[3,2],[],[],[]]", "trailing characters"},
        {"short_pair", rule, split_rule("0.5", "[1]"), "invalid length 1, expected an array of length 2"},
        {"empty_pair", rule, split_rule("0.5", "[]"), "invalid length 0, expected an array of length 2"},
        {"long_pair", rule, split_rule("0.5", "[1,2,3]"), "trailing characters"},
        // types
        {"record_as_number", tree, tree_with("0.25"), "invalid type: floating point `0.25`, expected struct TreeParameters"},
        {"record_as_string", tree, R"("x")", "invalid type: string \"x\", expected struct DecisionTreeImpl"},
        {"record_as_escaped_string", tree, R"("a\"b\\c\n")", "invalid type: string \"a\\\"b\\\\c\\n\", expected struct DecisionTreeImpl"},
        {"record_as_true", tree, "true", "invalid type: boolean `true`, expected struct DecisionTreeImpl"},
        {"record_as_false", tree, "false", "invalid type: boolean `false`, expected struct DecisionTreeImpl"},
        {"record_as_null", tree, "null", "invalid type: null, expected struct DecisionTreeImpl"},
        {"record_as_integer", tree, "-7", "invalid type: integer `-7`, expected struct DecisionTreeImpl"},
        {"sequence_as_map", tree, tree_with(kParams, "{}"), "invalid type: map, expected a sequence"},
        {"sequence_as_true", tree, tree_with(kParams, "true"), "invalid type: boolean `true`, expected a sequence"},
        {"pair_as_integer", rule, split_rule("0.5", "1"), "invalid type: integer `1`, expected an array of length 2"},
        {"pair_as_map", tree, tree_with(kParams, "[]", "[{}]"), "invalid type: map, expected an array of length 2"},
        {"float_as_null", rule, split_rule("null"), "invalid type: null, expected f64"},
        {"float_as_string", rule, split_rule(R"("1.5")"), "invalid type: string \"1.5\", expected f64"},
        {"float_as_sequence", rule, split_rule("[1]"), "invalid type: sequence, expected f64"},
        {"float_as_map", rule, split_rule("{}"), "invalid type: map, expected f64"},
        {"float_as_bad", rule, split_rule("x"), "expected value"},
        {"u8_too_large", tree, tree_with(R"({"depth":256,"min_samples_split":2})"), "invalid value: integer `256`, expected u8"},
        {"u8_negative", tree, tree_with(R"({"depth":-1,"min_samples_split":2})"), "invalid value: integer `-1`, expected u8"},
        {"u8_float", tree, tree_with(R"({"depth":3.0,"min_samples_split":2})"), "invalid type: floating point `3`, expected u8"},
        {"u8_negative_zero", tree, tree_with(R"({"depth":-0,"min_samples_split":2})"), "invalid type: floating point `-0`, expected u8"},
        {"u8_exponent", tree, tree_with(R"({"depth":1e2,"min_samples_split":2})"), "invalid type: floating point `100`, expected u8"},
        {"u8_string", tree, tree_with(R"({"depth":"3","min_samples_split":2})"), "invalid type: string \"3\", expected u8"},
        {"u8_null", tree, tree_with(R"({"depth":null,"min_samples_split":2})"), "invalid type: null, expected u8"},
        {"usize_too_large", tree, tree_with(R"({"depth":3,"min_samples_split":18446744073709551616})"),
         "invalid type: floating point `18446744073709552000`, expected usize"},
        {"usize_negative", tree, tree_with(R"({"depth":3,"min_samples_split":-2})"), "invalid value: integer `-2`, expected usize"},
        {"usize_fraction", tree, tree_with(R"({"depth":3,"min_samples_split":2.5})"), "invalid type: floating point `2.5`, expected usize"},
        {"usize_tiny", tree, tree_with(R"({"depth":3,"min_samples_split":1e-7})"), "invalid type: floating point `0.0000001`, expected usize"},
        {"u32_too_large", boosting, boosting_with("4294967296"), "invalid value: integer `4294967296`, expected u32"},
        {"u32_negative", boosting, boosting_with("-1"), "invalid value: integer `-1`, expected u32"},
        {"i64_too_large", tree, tree_with(kParams, "[]", "[[9223372036854775808,0]]"), "invalid value: integer `9223372036854775808`, expected i64"},
        {"i64_too_small", tree, tree_with(kParams, "[]", "[[-9223372036854775809,0]]"), "invalid type: floating point `-9223372036854776000`, expected i64"},
        {"i64_float", tree, tree_with(kParams, "[]", "[[1.5,0]]"), "invalid type: floating point `1.5`, expected i64"},
        {"feature_float", rule, R"({"split_info":{"feature":1.0,"threshold":0.5,"impurity":0.5,"values":[1,2]}})",
         "invalid type: floating point `1`, expected usize"},
        {"split_info_as_true", rule, R"({"split_info":true})", "invalid type: boolean `true`, expected struct Split"},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonReaderMessages, ::testing::ValuesIn(message_cases()),
                         [](const auto& info) { return info.param.label; });

struct PositionCase {
    std::string input;
    std::uint64_t line, column;
};

class JsonReaderPositions : public ::testing::TestWithParam<PositionCase> {};

TEST_P(JsonReaderPositions, LineFromOneColumnAtTheFaultyByte) {
    const JsonError e = error_of<DecisionTreeImpl>(GetParam().input);
    EXPECT_EQ(e.line(), GetParam().line) << e.what();
    EXPECT_EQ(e.column(), GetParam().column) << e.what();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonReaderPositions,
    ::testing::Values(PositionCase{"", 1, 0},           // nothing to point at
                      PositionCase{"\n\n", 3, 0},       // end of input on an empty line
                      PositionCase{"x", 1, 1},          // the byte that cannot start a value
                      PositionCase{"  \n  x", 2, 3},    //
                      PositionCase{"{\n\"params\" 1}", 2, 10},
                      PositionCase{"{\n \"params\":{\"depth\":300,", 2, 22},  // the value's last byte
                      PositionCase{"{\"routes\":[]\n}", 2, 1},             // missing field: the brace
                      PositionCase{"[", 1, 1}));

TEST(JsonReader, ErrorRenderingQuotesTheMessage) {
    EXPECT_STREQ(error_of<DecisionTreeImpl>("").what(), R"(Error("EOF while parsing a value", line: 1, column: 0))");
    EXPECT_STREQ(error_of<DecisionTreeImpl>("\"x\"").what(),
                 R"(Error("invalid type: string \"x\", expected struct DecisionTreeImpl", line: 1, column: 3))");
    EXPECT_STREQ(error_of<DecisionTreeImpl>("{\"\x01").what(),
                 R"(Error("control character (\\u0000-\\u001F) found while parsing a string", line: 1, column: 3))");
}

TEST(JsonReader, AbsentOrNullSplitInfoMeansNoSplit) {
    EXPECT_FALSE(from_json<RandomSplitRule>("{}").split_info.has_value());
    EXPECT_FALSE(from_json<RandomSplitRule>(R"({"split_info":null})").split_info.has_value());
    EXPECT_FALSE(from_json<RandomSplitRule>("[null]").split_info.has_value());
    const auto rule = from_json<RandomSplitRule>(split_rule("-0.25", "[1e-400,-1e-400]"));
    ASSERT_TRUE(rule.split_info.has_value());
    EXPECT_EQ(rule.split_info->threshold, -0.25);
    EXPECT_EQ(bits(rule.split_info->values[0]), bits(0.0));
    EXPECT_EQ(bits(rule.split_info->values[1]), bits(-0.0));
}

TEST(JsonReader, KeysInAnyOrderUnknownKeysAndWhiteSpace) {
    const DecisionTreeImpl expected = from_json<DecisionTreeImpl>(
        R"({"params":{"depth":5,"min_samples_split":4},"splitters":[{"split_info":null}],"routes":[[-1,-1]]})");
    const std::string variants[] = {
        R"({"routes":[[-1,-1]],"splitters":[{"split_info":null}],"params":{"min_samples_split":4,"depth":5}})",
        " \t\r\n{ \"extra\" : {\"a\":[1,{\"b\":null},true,false,\"\\u00e9\\ud83d\\ude00\",-1.5e3,[]]},\n"
        "\"params\" : { \"depth\" : 5 , \"min_samples_split\" : 4 , \"more\" : [ ] } ,"
        "\"splitters\" : [ { \"note\":\"x\" } ] , \"routes\" : [ [ -1 , -1 ] ] } \n\t\r ",
        R"({"\u0070arams":{"depth":5,"min_samples_split":4},"splitters":[{}],"routes":[[-1,-1]]})",
        R"([[5,4],[[null]],[[-1,-1]]])",
        R"([{"depth":5,"min_samples_split":4},[{"split_info":null}],[[-1,-1]]])",
    };
    for (const auto& text : variants) EXPECT_TRUE(same_record(from_json<DecisionTreeImpl>(text), expected)) << text;
}

TEST(JsonReader, FloatFieldsTakeIntegersAndIntegerLimitsHold) {
    const auto m = from_json<GradientBoostingImpl>(boosting_with("4294967295", "1"));
    EXPECT_EQ(m.params.learning_rate, 1.0);
    EXPECT_EQ(m.params.n_estimators, 4294967295u);
    const auto t = from_json<DecisionTreeImpl>(
        tree_with(R"({"depth":255,"min_samples_split":18446744073709551615})", "[]",
                  "[[-9223372036854775808,9223372036854775807]]"));
    EXPECT_EQ(t.params.depth, 255);
    EXPECT_EQ(t.params.min_samples_split, 18446744073709551615ull);
    EXPECT_EQ(t.routes.at(0)[0], std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(t.routes.at(0)[1], std::numeric_limits<std::int64_t>::max());
}

TEST(JsonReader, DecimalsAreCorrectlyRounded) {
    const std::pair<const char*, double> cases[] = {
        {"9007199254740993", 9007199254740992.0},  // a tie: to even
        {"2.2250738585072011e-308", 2.2250738585072011e-308},
        {"4.9406564584124654e-324", 5e-324},
        {"2e-324", 0.0},
        {"3.141592653589793238462643383279502884197", 3.141592653589793},
        {"18446744073709551616", 18446744073709551616.0},
        {"0.1e1", 1.0},
        {"1E+2", 100.0},
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"0e99999999999999999999", 0.0},
        {"1e-99999999999999999999", 0.0},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(bits(from_json<RandomSplitRule>(split_rule(text)).split_info->threshold), bits(value)) << text;
}

TEST(JsonReader, EveryWrittenFloatReadsBackBitForBit) {
    std::mt19937_64 gen(3);
    for (int k = 0; k < 20000; ++k) {
        double v;
        const std::uint64_t b = gen();
        std::memcpy(&v, &b, sizeof v);
        if (!std::isfinite(v)) continue;
        char buf[32];
        const std::string text(buf, format_json_double(buf, v));
        ASSERT_EQ(bits(from_json<RandomSplitRule>(split_rule(text)).split_info->threshold), b) << text;
    }
}

TEST(JsonReader, RecordsRoundTrip) {
    std::mt19937_64 gen(5);
    for (int k = 0; k < 20; ++k) {
        const auto tree = testing::sample_tree(gen, k);
        EXPECT_TRUE(same_record(from_json<DecisionTreeImpl>(to_json(tree)), tree));
        const auto boosting = testing::sample_boosting(gen, k % 5);
        EXPECT_TRUE(same_record(from_json<GradientBoostingImpl>(to_json(boosting)), boosting));
        const auto deep = testing::sample_deep(gen, k % 4);
        EXPECT_TRUE(same_record(from_json<DeepBoostingImpl>(to_json(deep)), deep));
    }
}

TEST(JsonReader, NestingLimitIs127Levels) {
    auto nested = [](int levels) {
        // The record's own object is the first level; the unknown value adds the rest.
        return R"({"x":)" + std::string(static_cast<std::size_t>(levels - 1), '[') +
               std::string(static_cast<std::size_t>(levels - 1), ']') + "," + kTree.substr(1);
    };
    EXPECT_TRUE(same_record(from_json<DecisionTreeImpl>(nested(127)), DecisionTreeImpl{}));
    EXPECT_EQ(error_of<DecisionTreeImpl>(nested(128)).message(), "recursion limit exceeded");
    // Deep input far beyond the limit stops at the limit instead of exhausting the stack.
    EXPECT_EQ(error_of<DecisionTreeImpl>(R"({"x":)" + std::string(1000000, '[')).message(),
              "recursion limit exceeded");
    EXPECT_EQ(error_of<DecisionTreeImpl>(R"({"x":)" + std::string(200, '{')).message(), "key must be a string");
    std::string objects = R"({"x":)";
    for (int k = 0; k < 200; ++k) objects += R"({"a":)";
    EXPECT_EQ(error_of<DecisionTreeImpl>(objects).message(), "recursion limit exceeded");
}

TEST(JsonReader, MutatedTextsFailCleanly) {
    std::mt19937_64 gen(9);
    const std::string base = to_json(testing::sample_deep(gen, 2));
    const char alphabet[] = "{}[],:\"\\-0123456789.eEnulltruefalse \n\x01\xff";
    for (int k = 0; k < 3000; ++k) {
        std::string text = base;
        for (int m = 1 + static_cast<int>(gen() % 4); m > 0; --m) {
            const std::size_t at = gen() % (text.size() + 1);
            switch (gen() % 3) {
                case 0: text.insert(at, 1, alphabet[gen() % (sizeof alphabet - 1)]); break;
                case 1: if (at < text.size()) text.erase(at, 1); break;
                default: text.resize(at);
            }
        }
        try {
            from_json<DeepBoostingImpl>(text);
        } catch (const JsonError& e) {
            EXPECT_FALSE(e.message().empty());
        }
    }
}

}  // namespace
}  // namespace vandu::persist
