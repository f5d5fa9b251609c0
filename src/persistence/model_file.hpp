// Saving and loading a state record as "json" or "bincode".
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ensemble/deep_boosting.hpp"
#include "ensemble/gradient_boosting.hpp"
#include "tree/decision_tree.hpp"

namespace vandu {

enum class Format { json, bincode };

// A format name that is neither "json" nor "bincode"; the host sees a ValueError.
class UnknownFormat : public std::invalid_argument {
public:
    explicit UnknownFormat(std::string_view name);
    // The whole text with the name byte for byte; what() ends at its first NUL.
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Absent means "json"; names are compared exactly.
Format format_from_name(std::optional<std::string_view> name);

// Writes the record whole, then puts it in place of `filename`; an earlier file of that
// name stays intact when anything fails. Throws UnknownFormat before touching any file,
// OsError when the file cannot be created, InternalFailure when writing fails.
void save_model(const DecisionTreeImpl& record, const std::string& filename,
                std::optional<std::string_view> format);
void save_model(const GradientBoostingImpl& record, const std::string& filename,
                std::optional<std::string_view> format);
void save_model(const DeepBoostingImpl& record, const std::string& filename,
                std::optional<std::string_view> format);

// Reads a whole record; `record` is replaced only on success. Throws OsError when the
// file cannot be opened (checked before the format name), UnknownFormat, and
// InternalFailure for content that cannot be decoded.
void load_model(DecisionTreeImpl& record, const std::string& filename,
                std::optional<std::string_view> format);
void load_model(GradientBoostingImpl& record, const std::string& filename,
                std::optional<std::string_view> format);
void load_model(DeepBoostingImpl& record, const std::string& filename,
                std::optional<std::string_view> format);

}  // namespace vandu
