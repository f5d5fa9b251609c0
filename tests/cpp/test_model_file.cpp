#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "persistence/bincode.hpp"
#include "persistence/json_writer.hpp"
#include "persistence/model_file.hpp"
#include "test_json_samples.hpp"

namespace vandu {
namespace {

namespace fs = std::filesystem;
using testing::same_record;

const std::string kUnwrap = "called `Result::unwrap()` on an `Err` value: ";

class ModelFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vandu-model-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    static std::string contents(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const std::string& p, const std::string& bytes) {
        std::ofstream(p, std::ios::binary) << bytes;
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    template <class F> static std::string failure_of(F&& call) {
        try {
            call();
        } catch (const InternalFailure& e) {
            return e.what();
        }
        return "no failure";
    }
    template <class F> static int os_error_of(F&& call) {
        try {
            call();
        } catch (const OsError& e) {
            return e.code();
        }
        return 0;
    }

    fs::path dir_;
};

TEST(FormatName, ExactNamesOnly) {
    EXPECT_EQ(format_from_name(std::nullopt), Format::json);
    EXPECT_EQ(format_from_name("json"), Format::json);
    EXPECT_EQ(format_from_name("bincode"), Format::bincode);
    for (const char* name : {"JSON", "Json", " json", "json ", "", "bin", "bincode\n"}) {
        try {
            format_from_name(name);
            ADD_FAILURE() << name;
        } catch (const UnknownFormat& e) {
            EXPECT_EQ(e.what(), "Incorrect format: `" + std::string(name) + "`. Please, use one of: [\"json\", \"bincode\"]");
        }
    }
}

TEST_F(ModelFile, RoundTripsInBothFormats) {
    std::mt19937_64 gen(41);
    const auto tree = testing::sample_tree(gen, 9);
    const auto boosting = testing::sample_boosting(gen, 4);
    const auto deep = testing::sample_deep(gen, 3);
    for (const auto format : {std::optional<std::string_view>{}, std::optional<std::string_view>{"json"},
                              std::optional<std::string_view>{"bincode"}}) {
        DecisionTreeImpl t;
        save_model(tree, path("t"), format);
        load_model(t, path("t"), format);
        EXPECT_TRUE(same_record(t, tree));
        GradientBoostingImpl b;
        save_model(boosting, path("b"), format);
        load_model(b, path("b"), format);
        EXPECT_TRUE(same_record(b, boosting));
        DeepBoostingImpl d;
        save_model(deep, path("d"), format);
        load_model(d, path("d"), format);
        EXPECT_TRUE(same_record(d, deep));
        const std::string expected = format == "bincode" ? persist::to_bincode(deep) : persist::to_json(deep);
        EXPECT_EQ(contents(path("d")), expected);
    }
    EXPECT_EQ(entries(), (std::vector<std::string>{"b", "d", "t"}));  // no temporary left
}

TEST_F(ModelFile, LargeFilesCrossReadWindows) {
    std::mt19937_64 gen(43);
    const auto tree = testing::sample_tree(gen, 3000);  // well over 64 KiB of text
    DecisionTreeImpl back;
    save_model(tree, path("big.json"), "json");
    ASSERT_GT(fs::file_size(path("big.json")), 3u << 16);
    load_model(back, path("big.json"), "json");
    EXPECT_TRUE(same_record(back, tree));
    // An error far into the file is still placed on the right line and column.
    write(path("late.json"), std::string(70000, '\n') + std::string(70000, ' ') + "x");
    EXPECT_EQ(failure_of([&] { load_model(back, path("late.json"), "json"); }),
              kUnwrap + "Error(\"expected value\", line: 70001, column: 70001)");
}

TEST_F(ModelFile, SavingReplacesTheWholeFileAndLoadingTheWholeRecord) {
    std::mt19937_64 gen(47);
    save_model(testing::sample_tree(gen, 50), path("m"), "json");
    DecisionTreeImpl small(TreeParameters{5, 7});
    save_model(small, path("m"), "json");
    EXPECT_EQ(contents(path("m")), persist::to_json(small));
    DecisionTreeImpl loaded(TreeParameters{1, 2});
    loaded.splitters.resize(3);
    load_model(loaded, path("m"), std::nullopt);
    EXPECT_EQ(loaded.params.depth, 5);
    EXPECT_EQ(loaded.params.min_samples_split, 7u);
    EXPECT_TRUE(loaded.splitters.empty());
}

TEST_F(ModelFile, UnknownFormatTouchesNoFile) {
    const DecisionTreeImpl tree;
    EXPECT_THROW(save_model(tree, path("new.json"), "JSON"), UnknownFormat);
    EXPECT_FALSE(fs::exists(path("new.json")));
    write(path("old.json"), "keep me");
    EXPECT_THROW(save_model(tree, path("old.json"), "json "), UnknownFormat);
    EXPECT_EQ(contents(path("old.json")), "keep me");
    // Loading opens the file first: a missing file is reported before the format.
    DecisionTreeImpl loaded(TreeParameters{9, 9});
    EXPECT_EQ(os_error_of([&] { load_model(loaded, path("missing"), "xml"); }), ENOENT);
    EXPECT_THROW(load_model(loaded, path("old.json"), "xml"), UnknownFormat);
    EXPECT_EQ(loaded.params.depth, 9);
}

TEST_F(ModelFile, OpeningErrorsAreOsErrors) {
    const GradientBoostingImpl model;
    GradientBoostingImpl loaded;
    EXPECT_EQ(os_error_of([&] { save_model(model, path("no/such/dir/m.json"), "json"); }), ENOENT);
    EXPECT_EQ(os_error_of([&] { load_model(loaded, path("missing.json"), "json"); }), ENOENT);
    EXPECT_EQ(os_error_of([&] { save_model(model, dir_.string(), "json"); }), EISDIR);
    EXPECT_EQ(os_error_of([&] { save_model(model, "", "json"); }), ENOENT);
    EXPECT_EQ(os_error_of([&] { save_model(model, path("a") + std::string(1, '\0') + "b", "json"); }), EINVAL);
    EXPECT_EQ(os_error_of([&] { load_model(loaded, path("a") + std::string(1, '\0') + "b", "json"); }), EINVAL);
    EXPECT_EQ(entries(), std::vector<std::string>{});
}

TEST_F(ModelFile, UndecodableContentLeavesTheRecordUnchanged) {
    const std::string tree_text = persist::to_json(DecisionTreeImpl{});
    struct Case {
        std::string bytes, format, failure;
    };
    const std::size_t params_end = tree_text.find('}') + 1;
    const std::string null_rate =
        R"({"params":{"est_params":{"depth":3,"min_samples_split":2},"n_estimators":1,"learning_rate":null},"estimators":[],"mean":0.0})";
    const Case cases[] = {
        {"", "json", "Error(\"EOF while parsing a value\", line: 1, column: 0)"},
        {tree_text.substr(0, 20), "json", "Error(\"EOF while parsing an object\", line: 1, column: 20)"},
        {tree_text, "json", "Error(\"missing field `est_params`\", line: 1, column: " + std::to_string(params_end) + ")"},
        {null_rate, "json",
         "Error(\"invalid type: null, expected f64\", line: 1, column: " + std::to_string(null_rate.find("null") + 4) + ")"},
        {persist::to_bincode(DecisionTreeImpl{}), "bincode",
         R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))"},
    };
    std::mt19937_64 gen(53);
    const auto original = testing::sample_boosting(gen, 2);
    for (const auto& c : cases) {
        write(path("bad"), c.bytes);
        GradientBoostingImpl model = original;
        EXPECT_EQ(failure_of([&] { load_model(model, path("bad"), c.format); }), kUnwrap + c.failure);
        EXPECT_TRUE(same_record(model, original));
    }
}

TEST_F(ModelFile, CrossRecordJsonNamesTheFirstMissingField) {
    save_model(DecisionTreeImpl{}, path("tree"), "json");
    save_model(GradientBoostingImpl{}, path("gb"), "json");
    save_model(DeepBoostingImpl{}, path("deep"), "json");
    auto missing = [&](auto record, const std::string& file) {
        const std::string f = failure_of([&] { load_model(record, path(file), "json"); });
        const auto start = f.find("missing field `");
        return start == std::string::npos ? f : f.substr(start, f.find('`', start + 15) + 1 - start);
    };
    EXPECT_EQ(missing(GradientBoostingImpl{}, "tree"), "missing field `est_params`");
    EXPECT_EQ(missing(DeepBoostingImpl{}, "tree"), "missing field `n_estimators`");
    EXPECT_EQ(missing(DecisionTreeImpl{}, "gb"), "missing field `depth`");
    EXPECT_EQ(missing(DecisionTreeImpl{}, "deep"), "missing field `depth`");
    EXPECT_EQ(missing(DeepBoostingImpl{}, "gb"), "missing field `layer_width`");
    EXPECT_EQ(missing(GradientBoostingImpl{}, "deep"), "missing field `est_params`");
}

TEST_F(ModelFile, BincodeIgnoresAppendedBytes) {
    std::mt19937_64 gen(59);
    const auto deep = testing::sample_deep(gen, 2);
    write(path("m.bin"), persist::to_bincode(deep) + "trailing");
    DeepBoostingImpl back;
    load_model(back, path("m.bin"), "bincode");
    EXPECT_TRUE(same_record(back, deep));
}

TEST_F(ModelFile, ReadErrorsAreInternalFailures) {
    DecisionTreeImpl t;
    EXPECT_EQ(failure_of([&] { load_model(t, dir_.string(), "json"); }),
              kUnwrap + "Error(\"Is a directory (os error 21)\", line: 1, column: 0)");
    EXPECT_EQ(failure_of([&] { load_model(t, dir_.string(), "bincode"); }),
              kUnwrap + "Io(Os { code: 21, kind: IsADirectory, message: \"Is a directory\" })");
}

TEST_F(ModelFile, WriteErrorsOfDevicesAreInternalFailures) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const DeepBoostingImpl model;
    EXPECT_EQ(failure_of([&] { save_model(model, "/dev/full", "json"); }),
              kUnwrap + "Error(\"No space left on device (os error 28)\", line: 0, column: 0)");
    EXPECT_EQ(failure_of([&] { save_model(model, "/dev/full", "bincode"); }),
              kUnwrap + "Io(Os { code: 28, kind: StorageFull, message: \"No space left on device\" })");
    EXPECT_TRUE(fs::is_character_file("/dev/full"));  // written to, never replaced
}

// A file-size limit makes writes fail part-way, for any user.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit saved_{};
    void (*old_handler_)(int) = nullptr;
};

TEST_F(ModelFile, FailedSaveKeepsTheEarlierFileAndLeavesNoTemporary) {
    std::mt19937_64 gen(61);
    const auto small = testing::sample_tree(gen, 1);
    const auto big = testing::sample_tree(gen, 4000);
    for (const char* format : {"json", "bincode"}) {
        save_model(small, path("m"), format);
        const std::string before = contents(path("m"));
        std::string failure;
        {
            FileSizeLimit limit(4096);
            failure = failure_of([&] { save_model(big, path("m"), format); });
        }
        EXPECT_NE(failure.find("File too large"), std::string::npos) << failure;
        EXPECT_EQ(failure.rfind(kUnwrap, 0), 0u);
        EXPECT_EQ(contents(path("m")), before);
        EXPECT_EQ(entries(), std::vector<std::string>{"m"});
    }
}

TEST_F(ModelFile, ReadOnlyDirectoryRefusesTheSaveAndKeepsTheFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind this user";
    save_model(DecisionTreeImpl{}, path("m"), "json");
    const std::string before = contents(path("m"));
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(os_error_of([&] { save_model(DecisionTreeImpl(TreeParameters{7, 7}), path("m"), "json"); }), EACCES);
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(contents(path("m")), before);
    EXPECT_EQ(entries(), std::vector<std::string>{"m"});
}

TEST_F(ModelFile, NewFilesGetPlainCreatePermissionsAndOldFilesKeepTheirs) {
    const mode_t saved = ::umask(022);
    save_model(DecisionTreeImpl{}, path("a"), "json");
    ::umask(077);
    save_model(DecisionTreeImpl{}, path("b"), "bincode");
    ::umask(022);
    save_model(DecisionTreeImpl{}, path("c"), "json");
    ::chmod(path("c").c_str(), 0640);
    save_model(DecisionTreeImpl(TreeParameters{4, 4}), path("c"), "json");
    ::umask(saved);
    auto mode = [&](const std::string& name) {
        struct stat info {};
        ::stat(path(name).c_str(), &info);
        return info.st_mode & 0777;
    };
    EXPECT_EQ(mode("a"), 0644u);
    EXPECT_EQ(mode("b"), 0600u);
    EXPECT_EQ(mode("c"), 0640u);
    EXPECT_EQ(contents(path("c")), persist::to_json(DecisionTreeImpl(TreeParameters{4, 4})));
}

TEST_F(ModelFile, SavingThroughALinkWritesItsFile) {
    write(path("real"), "old");
    fs::create_symlink(path("real"), path("link"));
    save_model(DeepBoostingImpl{}, path("link"), "json");
    EXPECT_TRUE(fs::is_symlink(path("link")));
    EXPECT_EQ(contents(path("real")), persist::to_json(DeepBoostingImpl{}));
}

}  // namespace
}  // namespace vandu
