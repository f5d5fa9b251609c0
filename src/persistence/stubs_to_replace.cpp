// Placeholder definitions so the module links while persistence is written.
#include "persistence/model_file.hpp"

namespace vandu {
UnknownFormat::UnknownFormat(std::string_view name)
    : std::invalid_argument("Incorrect format: `" + std::string(name) +
                            "`. Please, use one of: [\"json\", \"bincode\"]") {}
void save_model(const DecisionTreeImpl&, const std::string&, std::optional<std::string_view>) { fail("not implemented yet"); }
void save_model(const GradientBoostingImpl&, const std::string&, std::optional<std::string_view>) { fail("not implemented yet"); }
void save_model(const DeepBoostingImpl&, const std::string&, std::optional<std::string_view>) { fail("not implemented yet"); }
void load_model(DecisionTreeImpl&, const std::string&, std::optional<std::string_view>) { fail("not implemented yet"); }
void load_model(GradientBoostingImpl&, const std::string&, std::optional<std::string_view>) { fail("not implemented yet"); }
void load_model(DeepBoostingImpl&, const std::string&, std::optional<std::string_view>) { fail("not implemented yet"); }
}  // namespace vandu
