#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "persistence/bincode.hpp"
#include "persistence/json_writer.hpp"
#include "test_json_samples.hpp"

namespace vandu::persist {
namespace {

using testing::bit_pattern;
using testing::same_record;

const std::string kEof = R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))";

std::string hex_bytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

template <class T> std::string error_of(std::string_view bytes) {
    try {
        from_bincode<T>(bytes);
    } catch (const BincodeError& e) {
        return e.what();
    }
    return "read without error";
}

std::string u64_bytes(std::uint64_t v) {
    std::string s;
    for (int k = 0; k < 8; ++k) s += static_cast<char>((v >> (8 * k)) & 0xFF);
    return s;
}

TEST(Bincode, UnfittedDefaultRecordsAreByteExact) {
    EXPECT_EQ(hex_bytes(to_bincode(DecisionTreeImpl{})),
              "03 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(hex_bytes(to_bincode(GradientBoostingImpl{})),
              "03 02 00 00 00 00 00 00 00 64 00 00 00 9a 99 99 99 99 99 b9 3f "
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(hex_bytes(to_bincode(DeepBoostingImpl{})),
              "05 00 00 00 05 00 00 00 00 00 00 00 00 00 d0 3f 00 00 00 00 00 00 00 00");
}

TEST(Bincode, RecordLayouts) {
    EXPECT_EQ(to_bincode(RandomSplitRule{}), std::string(1, '\0'));
    const Split split{0x0102030405060708ull, 1.0, -2.0, {0.5, -0.0}};
    EXPECT_EQ(hex_bytes(to_bincode(RandomSplitRule{split})),
              "01 08 07 06 05 04 03 02 01 00 00 00 00 00 00 f0 3f 00 00 00 00 00 00 00 c0 "
              "00 00 00 00 00 00 e0 3f 00 00 00 00 00 00 00 80");
    DecisionTreeImpl tree(TreeParameters{200, 1});
    tree.splitters = {RandomSplitRule{}, RandomSplitRule{split}};
    tree.routes = {{1, -1}};
    const std::string bytes = to_bincode(tree);
    ASSERT_EQ(bytes.size(), 9u + 8 + 1 + 41 + 8 + 16);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 200);
    EXPECT_EQ(bytes.substr(9, 8), u64_bytes(2));
    EXPECT_EQ(bytes.substr(59, 8), u64_bytes(1));
    EXPECT_EQ(bytes.substr(67, 16), u64_bytes(1) + u64_bytes(~0ull));
    EXPECT_EQ(to_bincode(AverageEnsemble{}), u64_bytes(0));
}

TEST(Bincode, FloatsSurviveBitForBit) {
    const double values[] = {std::nan(""), -std::nan(""), std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(), -0.0, 5e-324,
                             std::bit_cast<double>(0x7ff0000000000123ull)};
    for (const double v : values) {
        GradientBoostingImpl m;
        m.mean = v;
        m.params.learning_rate = v;
        const auto back = from_bincode<GradientBoostingImpl>(to_bincode(m));
        EXPECT_EQ(bit_pattern(back.mean), bit_pattern(v));
        EXPECT_EQ(bit_pattern(back.params.learning_rate), bit_pattern(v));
    }
}

TEST(Bincode, RecordsRoundTrip) {
    std::mt19937_64 gen(17);
    for (int k = 0; k < 20; ++k) {
        const auto tree = testing::sample_tree(gen, k);
        EXPECT_TRUE(same_record(from_bincode<DecisionTreeImpl>(to_bincode(tree)), tree));
        EXPECT_EQ(to_json(from_bincode<DecisionTreeImpl>(to_bincode(tree))), to_json(tree));
        const auto deep = testing::sample_deep(gen, k % 4);
        EXPECT_TRUE(same_record(from_bincode<DeepBoostingImpl>(to_bincode(deep)), deep));
    }
}

TEST(Bincode, EveryTruncationEndsEarlyAndAppendedBytesAreIgnored) {
    std::mt19937_64 gen(23);
    const auto model = testing::sample_boosting(gen, 3);
    const std::string bytes = to_bincode(model);
    for (std::size_t n = 0; n < bytes.size(); ++n)
        ASSERT_EQ(error_of<GradientBoostingImpl>(std::string_view(bytes).substr(0, n)), kEof) << n;
    const std::string longer = bytes + "\x02garbage";
    ByteInput in(longer);
    GradientBoostingImpl back;
    read_bincode(in, back);
    EXPECT_TRUE(same_record(back, model));
    EXPECT_EQ(in.offset(), bytes.size());  // nothing after the record is consumed
}

TEST(Bincode, TagOtherThanZeroOrOneIsRefused) {
    for (const int tag : {2, 255}) {
        std::string bytes = to_bincode(DecisionTreeImpl{});
        bytes.replace(9, 8, u64_bytes(1));
        bytes.insert(17, 1, static_cast<char>(tag));
        EXPECT_EQ(error_of<DecisionTreeImpl>(bytes), "InvalidTagEncoding(" + std::to_string(tag) + ")");
    }
}

TEST(Bincode, HugeCountsEndAtTheEndOfInputWithoutReserving) {
    // Reserving for these counts would throw length_error or bad_alloc instead.
    for (const std::uint64_t count : {~0ull, 1ull << 40, 1ull << 31, 4097ull}) {
        const std::string splitters = to_bincode(TreeParameters{}) + u64_bytes(count) + std::string(5000, '\x01');
        EXPECT_EQ(error_of<DecisionTreeImpl>(splitters), kEof);
        const std::string routes = to_bincode(TreeParameters{}) + u64_bytes(0) + u64_bytes(count) + std::string(100, '\x01');
        EXPECT_EQ(error_of<DecisionTreeImpl>(routes), kEof);
        const std::string layers = to_bincode(DeepBoostingParameters{}) + u64_bytes(count) + u64_bytes(count);
        EXPECT_EQ(error_of<DeepBoostingImpl>(layers), kEof);
    }
}

TEST(Bincode, OtherRecordsAndJsonTextFailOnlyWhereBytesDoNotFit) {
    EXPECT_EQ(error_of<GradientBoostingImpl>(to_bincode(DecisionTreeImpl{})), kEof);
    // A deep model's parameters read as a tree: depth 5, then counts taken from the rest.
    EXPECT_EQ(error_of<DecisionTreeImpl>(to_bincode(DeepBoostingImpl{})), kEof);
    const std::string text = to_json(DecisionTreeImpl{});
    const std::string e = error_of<DecisionTreeImpl>(text);
    EXPECT_TRUE(e == kEof || e.rfind("InvalidTagEncoding(", 0) == 0) << e;
}

TEST(Bincode, MutatedImagesFailCleanly) {
    std::mt19937_64 gen(29);
    const std::string base = to_bincode(testing::sample_deep(gen, 3));
    for (int k = 0; k < 3000; ++k) {
        std::string bytes = base;
        for (int m = 1 + static_cast<int>(gen() % 3); m > 0; --m) {
            const std::size_t at = gen() % bytes.size();
            if (gen() % 2) bytes[at] = static_cast<char>(gen());
            else bytes.resize(at);
            if (bytes.empty()) break;
        }
        try {
            from_bincode<DeepBoostingImpl>(bytes);
        } catch (const BincodeError& e) {
            EXPECT_TRUE(e.what() == kEof || std::string(e.what()).rfind("InvalidTagEncoding(", 0) == 0);
        }
    }
}

}  // namespace
}  // namespace vandu::persist
