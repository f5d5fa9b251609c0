#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "persistence/json_writer.hpp"
#include "test_json_samples.hpp"

namespace vandu::persist {
namespace {

std::string text_of(double v) {
    char buf[32];
    return std::string(buf, format_json_double(buf, v));
}

struct FloatCase {
    double value;
    const char* text;
};

class JsonFloatLayout : public ::testing::TestWithParam<FloatCase> {};

TEST_P(JsonFloatLayout, WritesShortestDigitsWithTheLayoutRules) {
    EXPECT_EQ(text_of(GetParam().value), GetParam().text);
}

constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonFloatLayout,
    ::testing::Values(FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{100.0, "100.0"},
                      FloatCase{2.0, "2.0"}, FloatCase{1e15, "1000000000000000.0"},
                      FloatCase{9007199254740992.0, "9007199254740992.0"}, FloatCase{12.25, "12.25"},
                      FloatCase{-2.5, "-2.5"}, FloatCase{0.1, "0.1"}, FloatCase{0.5, "0.5"},
                      FloatCase{0.001, "0.001"}, FloatCase{0.0001, "0.0001"}, FloatCase{0.00001, "0.00001"},
                      FloatCase{0.000012345, "0.000012345"}, FloatCase{1e-6, "1e-6"}, FloatCase{1e-7, "1e-7"},
                      FloatCase{1.5e-7, "1.5e-7"}, FloatCase{1e16, "1e16"},
                      FloatCase{12345678901234568.0, "1.2345678901234568e16"},
                      FloatCase{1234567890123456.8, "1234567890123456.8"},
                      FloatCase{123456789012345680.0, "1.2345678901234568e17"}, FloatCase{1e21, "1e21"},
                      FloatCase{-1e21, "-1e21"}, FloatCase{1.7976931348623157e308, "1.7976931348623157e308"},
                      FloatCase{5e-324, "5e-324"}, FloatCase{2.2250738585072014e-308, "2.2250738585072014e-308"},
                      FloatCase{0.30000000000000004, "0.30000000000000004"},
                      FloatCase{std::nan(""), "null"}, FloatCase{inf, "null"}, FloatCase{-inf, "null"}));

TEST(JsonWriter, UnfittedDefaultRecordsHaveTheirExactTexts) {
    EXPECT_EQ(to_json(DecisionTreeImpl{}),
              R"({"params":{"depth":3,"min_samples_split":2},"splitters":[],"routes":[]})");
    EXPECT_EQ(to_json(GradientBoostingImpl{}),
              R"({"params":{"est_params":{"depth":3,"min_samples_split":2},"n_estimators":100,)"
              R"("learning_rate":0.1},"estimators":[],"mean":0.0})");
    EXPECT_EQ(to_json(DeepBoostingImpl{}),
              R"({"params":{"n_estimators":5,"layer_width":5,"learning_rate":0.25},"estimators":[]})");
}

TEST(JsonWriter, TreeWithAndWithoutSplitAndNegativeRoutes) {
    DecisionTreeImpl tree(TreeParameters{255, 18446744073709551615ull});
    tree.splitters.push_back(RandomSplitRule{Split{7, 0.1, 1e-7, {-0.0, 1e21}}});
    tree.splitters.push_back(RandomSplitRule{});
    tree.routes.push_back({1, -1});
    tree.routes.push_back({std::numeric_limits<std::int64_t>::min(), 0});
    EXPECT_EQ(to_json(tree),
              R"({"params":{"depth":255,"min_samples_split":18446744073709551615},"splitters":[)"
              R"({"split_info":{"feature":7,"threshold":0.1,"impurity":1e-7,"values":[-0.0,1e21]}},)"
              R"({"split_info":null}],"routes":[[1,-1],[-9223372036854775808,0]]})");
}

TEST(JsonWriter, NestedEnsemblesKeepFieldOrder) {
    GradientBoostingImpl member;
    member.estimators.push_back(DecisionTreeImpl{});
    member.mean = 2.0;
    DeepBoostingImpl deep;
    deep.estimators.push_back(AverageEnsemble{{member}});
    deep.estimators.push_back(AverageEnsemble{});
    EXPECT_EQ(to_json(deep),
              R"({"params":{"n_estimators":5,"layer_width":5,"learning_rate":0.25},"estimators":[)"
              R"({"estimators":[{"params":{"est_params":{"depth":3,"min_samples_split":2},)"
              R"("n_estimators":100,"learning_rate":0.1},"estimators":[{"params":{"depth":3,)"
              R"("min_samples_split":2},"splitters":[],"routes":[]}],"mean":2.0}]},{"estimators":[]}]})");
}

TEST(JsonWriter, TextIsCompactAndHasNoLineBreak) {
    std::mt19937_64 gen(11);
    const std::string text = to_json(testing::sample_deep(gen, 3));
    EXPECT_EQ(text.find_first_of(" \t\r\n"), std::string::npos);
}

}  // namespace
}  // namespace vandu::persist
