// Each persisted record's fields, described once, in their persisted order. The JSON
// writer and reader and the bincode writer and reader are all driven by these lists, so
// a new field is one line here.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "ensemble/average_ensemble.hpp"
#include "ensemble/deep_boosting.hpp"
#include "ensemble/gradient_boosting.hpp"
#include "tree/decision_tree.hpp"
#include "tree/fit/split_rule.hpp"

namespace vandu::persist {

// A visitor is called as v("name", field) for every field in order.
template <class V> void fields(Split& r, V& v) {
    v("feature", r.feature);
    v("threshold", r.threshold);
    v("impurity", r.impurity);
    v("values", r.values);
}
template <class V> void fields(RandomSplitRule& r, V& v) { v("split_info", r.split_info); }
template <class V> void fields(TreeParameters& r, V& v) {
    v("depth", r.depth);
    v("min_samples_split", r.min_samples_split);
}
template <class V> void fields(DecisionTreeImpl& r, V& v) {
    v("params", r.params);
    v("splitters", r.splitters);
    v("routes", r.routes);
}
template <class V> void fields(GradientBoostingParameters& r, V& v) {
    v("est_params", r.est_params);
    v("n_estimators", r.n_estimators);
    v("learning_rate", r.learning_rate);
}
template <class V> void fields(GradientBoostingImpl& r, V& v) {
    v("params", r.params);
    v("estimators", r.estimators);
    v("mean", r.mean);
}
template <class V> void fields(AverageEnsemble& r, V& v) { v("estimators", r.estimators); }
template <class V> void fields(DeepBoostingParameters& r, V& v) {
    v("n_estimators", r.n_estimators);
    v("layer_width", r.layer_width);
    v("learning_rate", r.learning_rate);
}
template <class V> void fields(DeepBoostingImpl& r, V& v) {
    v("params", r.params);
    v("estimators", r.estimators);
}

// Record names as the reader's messages show them.
template <class T> struct RecordName;
template <> struct RecordName<Split> { static constexpr std::string_view value = "Split"; };
template <> struct RecordName<RandomSplitRule> { static constexpr std::string_view value = "RandomSplitRule"; };
template <> struct RecordName<TreeParameters> { static constexpr std::string_view value = "TreeParameters"; };
template <> struct RecordName<DecisionTreeImpl> { static constexpr std::string_view value = "DecisionTreeImpl"; };
template <> struct RecordName<GradientBoostingParameters> {
    static constexpr std::string_view value = "GradientBoostingParameters";
};
template <> struct RecordName<GradientBoostingImpl> { static constexpr std::string_view value = "GradientBoostingImpl"; };
template <> struct RecordName<AverageEnsemble> { static constexpr std::string_view value = "AverageEnsemble"; };
template <> struct RecordName<DeepBoostingParameters> {
    static constexpr std::string_view value = "DeepBoostingParameters";
};
template <> struct RecordName<DeepBoostingImpl> { static constexpr std::string_view value = "DeepBoostingImpl"; };

template <class T>
concept Record = requires { RecordName<T>::value; };

template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};
template <class T> struct IsVector : std::false_type {};
template <class T, class A> struct IsVector<std::vector<T, A>> : std::true_type {};
template <class T> struct IsPair : std::false_type {};
template <class T> struct IsPair<std::array<T, 2>> : std::true_type {};

// The scalar kinds a field can hold, with the names the reader's messages use.
template <class T> struct ScalarName;
template <> struct ScalarName<std::uint8_t> { static constexpr std::string_view value = "u8"; };
template <> struct ScalarName<std::uint32_t> { static constexpr std::string_view value = "u32"; };
template <> struct ScalarName<std::uint64_t> { static constexpr std::string_view value = "usize"; };
template <> struct ScalarName<std::int64_t> { static constexpr std::string_view value = "i64"; };
template <> struct ScalarName<double> { static constexpr std::string_view value = "f64"; };

template <class T>
concept Integer = std::same_as<T, std::uint8_t> || std::same_as<T, std::uint32_t> ||
                  std::same_as<T, std::uint64_t> || std::same_as<T, std::int64_t>;

template <Record T> std::size_t field_count() {
    static const std::size_t count = [] {
        T probe{};
        std::size_t n = 0;
        auto counter = [&n](std::string_view, auto&) { ++n; };
        fields(probe, counter);
        return n;
    }();
    return count;
}

// Writers only read the fields; the descriptions take mutable records so that one list
// serves readers and writers alike.
template <Record T, class V> void const_fields(const T& r, V& v) { fields(const_cast<T&>(r), v); }

}  // namespace vandu::persist
