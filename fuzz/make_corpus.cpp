// Writes the fuzzers' seed corpus: small fitted models of the three kinds, saved in both
// formats, plus the unfitted defaults. Usage: vandu_make_corpus <json dir> <bincode dir>
#include <cstdio>
#include <random>
#include <string>

#include "persistence/model_file.hpp"

namespace {

vandu::DecisionTreeImpl fitted_tree(std::mt19937_64& gen, std::uint8_t depth, std::size_t samples) {
    vandu::Matrix x = vandu::Matrix::column_major(3, samples);
    vandu::Vector y(samples);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (std::size_t s = 0; s < samples; ++s) {
        for (std::size_t f = 0; f < 3; ++f) x.at(f, s) = normal(gen);
        y[s] = x.at(0, s) * 2.0 - x.at(2, s) + 0.1 * normal(gen);
    }
    vandu::DecisionTreeImpl tree(vandu::TreeParameters{depth, 2});
    tree.fit(x.view(), y);
    return tree;
}

// Built from fitted trees directly, so the corpus does not depend on the ensembles' fits.
vandu::GradientBoostingImpl boosting(std::mt19937_64& gen, std::size_t stages) {
    vandu::GradientBoostingImpl model(vandu::GradientBoostingParameters{{2, 2}, static_cast<std::uint32_t>(stages), 0.1});
    for (std::size_t k = 0; k < stages; ++k) model.estimators.push_back(fitted_tree(gen, 2, 12));
    model.mean = 0.375;
    return model;
}

vandu::DeepBoostingImpl deep(std::mt19937_64& gen, std::size_t layers) {
    vandu::DeepBoostingImpl model(vandu::DeepBoostingParameters{static_cast<std::uint32_t>(layers), 2, 0.25});
    for (std::size_t k = 0; k < layers; ++k) {
        vandu::AverageEnsemble layer;
        layer.estimators.push_back(boosting(gen, 2));
        layer.estimators.push_back(boosting(gen, 1));
        model.estimators.push_back(layer);
    }
    return model;
}

template <class T> void save_both(const T& record, const std::string& json_dir, const std::string& bin_dir,
                                  const std::string& name) {
    vandu::save_model(record, json_dir + "/" + name + ".json", "json");
    vandu::save_model(record, bin_dir + "/" + name + ".bin", "bincode");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <json corpus dir> <bincode corpus dir>\n", argv[0]);
        return 2;
    }
    const std::string json_dir = argv[1], bin_dir = argv[2];
    std::mt19937_64 gen(2024);
    save_both(vandu::DecisionTreeImpl{}, json_dir, bin_dir, "tree_default");
    save_both(vandu::GradientBoostingImpl{}, json_dir, bin_dir, "boosting_default");
    save_both(vandu::DeepBoostingImpl{}, json_dir, bin_dir, "deep_default");
    save_both(fitted_tree(gen, 1, 8), json_dir, bin_dir, "tree_depth1");
    save_both(fitted_tree(gen, 3, 40), json_dir, bin_dir, "tree_depth3");
    save_both(boosting(gen, 3), json_dir, bin_dir, "boosting_3");
    save_both(deep(gen, 2), json_dir, bin_dir, "deep_2");
    return 0;
}
