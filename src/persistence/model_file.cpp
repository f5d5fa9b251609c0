// Saving writes a temporary file beside the target and renames it over the target only once
// the whole record is on disk, so a failed save never leaves a half-written model behind.
#include "persistence/model_file.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "core/failure.hpp"
#include "persistence/bincode.hpp"
#include "persistence/json_reader.hpp"
#include "persistence/json_writer.hpp"

namespace vandu {

namespace {
std::string incorrect_format(std::string_view name) {
    return "Incorrect format: `" + std::string(name) + "`. Please, use one of: [\"json\", \"bincode\"]";
}
}  // namespace

UnknownFormat::UnknownFormat(std::string_view name)
    : std::invalid_argument(incorrect_format(name)), message_(incorrect_format(name)) {}

Format format_from_name(std::optional<std::string_view> name) {
    if (!name || *name == "json") return Format::json;
    if (*name == "bincode") return Format::bincode;
    throw UnknownFormat(*name);
}

namespace {

using namespace persist;

// A descriptor closed on every way out.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result (errno is kept).
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

private:
    int fd_;
};

// Opens without waiting for the other end of a FIFO (a missing writer reads as an empty
// file, a missing reader fails with ENXIO), then does blocking I/O as usual.
int open_without_waiting(const std::string& path, int flags, mode_t mode = 0) {
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd >= 0) {
        const int status = ::fcntl(fd, F_GETFL);
        if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) {
            const int code = errno;
            ::close(fd);
            errno = code;
            return -1;
        }
    }
    return fd;
}

// A path the C library can take: an embedded NUL would silently name another file.
void check_path(const std::string& filename) {
    if (filename.find('\0') != std::string::npos) throw OsError(EINVAL);
}

[[noreturn]] void write_failed(Format format, int code) {
    std::string rendering;
    if (format == Format::json)
        rendering = JsonError(os_error_message(code), 0, 0).what();
    else
        rendering = bincode_io_rendering(code);
    fail(std::string(text::unwrap_err) + rendering);
}

template <class Record> void encode(ByteOutput& out, const Record& record, Format format) {
    if (format == Format::json) write_json_value(out, record);
    else write_bincode_value(out, record);
    out.flush();
}

// Writes straight into an existing file that is not a regular file (a device, a pipe):
// renaming over it would replace the device node instead of writing to it.
template <class Record>
void save_in_place(const Record& record, const std::string& path, Format format) {
    FileDescriptor file(open_without_waiting(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (file.get() < 0) throw OsError(errno);
    try {
        ByteOutput out(file.get());
        encode(out, record, format);
    } catch (const IoError& e) {
        write_failed(format, e.code);
    }
    if (file.close() != 0) write_failed(format, errno);
}

// The temporary file, removed unless it was renamed into place.
class TemporaryFile {
public:
    TemporaryFile(const std::string& directory, const std::string& base) {
        static std::atomic<unsigned> counter{0};
        // Keep the name within the file system's limit even for long target names.
        const std::string stem = "." + base.substr(0, 180) + ".";
        for (int attempt = 0;; ++attempt) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            const unsigned long long tag =
                (static_cast<unsigned long long>(now.tv_nsec) << 20) ^
                (static_cast<unsigned long long>(::getpid()) << 8) ^ counter.fetch_add(1);
            char suffix[32];
            std::snprintf(suffix, sizeof suffix, "%llx.tmp", tag);
            path_ = directory + "/" + stem + suffix;
            // 0666 before the umask: the permissions a plain create gives.
            const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                fd_ = fd;
                return;
            }
            if (errno != EEXIST || attempt >= 64) throw OsError(errno);
        }
    }
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }
    void keep() { path_.clear(); }

private:
    std::string path_;
    int fd_ = -1;
};

template <class Record>
void save_record(const Record& record, const std::string& filename,
                 std::optional<std::string_view> format_name) {
    const Format format = format_from_name(format_name);  // before any file is touched
    check_path(filename);
    std::string target = filename;

    struct stat info {};
    bool exists = false;
    if (::lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        // Write through a link to its file, as opening it would, instead of replacing the link.
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(target.c_str(), nullptr), &std::free);
        if (real) target = real.get();
    }
    if (::stat(target.c_str(), &info) == 0) {
        exists = true;
        if (!S_ISREG(info.st_mode)) return save_in_place(record, target, format);
        // Refuse what opening the file for writing would refuse (a read-only file).
        FileDescriptor probe(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
        if (probe.get() < 0) throw OsError(errno);
    } else if (errno != ENOENT) {
        throw OsError(errno);
    }

    const std::size_t slash = target.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") return save_in_place(record, target, format);

    TemporaryFile temporary(directory, base);
    try {
        // An existing file keeps its permissions, as truncating it would.
        if (exists && ::fchmod(temporary.fd(), info.st_mode & 0777) != 0) throw IoError{errno};
        ByteOutput out(temporary.fd());
        encode(out, record, format);
        if (::fsync(temporary.fd()) != 0) throw IoError{errno};
        if (temporary.close() != 0) throw IoError{errno};
        if (::rename(temporary.path().c_str(), target.c_str()) != 0) throw IoError{errno};
    } catch (const IoError& e) {
        write_failed(format, e.code);
    }
    temporary.keep();
    // Make the rename itself durable; the model is complete whether or not this succeeds.
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

template <class Record>
void load_record(Record& record, const std::string& filename,
                 std::optional<std::string_view> format_name) {
    check_path(filename);
    FileDescriptor file(open_without_waiting(filename, O_RDONLY));
    if (file.get() < 0) throw OsError(errno);
    const Format format = format_from_name(format_name);
    Record fresh{};
    ByteInput in(file.get());
    try {
        if (format == Format::json) read_json(in, fresh);
        else read_bincode(in, fresh);
    } catch (const std::runtime_error& e) {
        if (dynamic_cast<const JsonError*>(&e) || dynamic_cast<const BincodeError*>(&e))
            fail(std::string(text::unwrap_err) + e.what());
        throw;
    }
    if constexpr (requires { fresh.prepare(); }) fresh.prepare();  // the deep model's prediction layout
    record = std::move(fresh);  // only now: a failed load leaves the old record whole
}

}  // namespace

void save_model(const DecisionTreeImpl& record, const std::string& filename,
                std::optional<std::string_view> format) {
    save_record(record, filename, format);
}
void save_model(const GradientBoostingImpl& record, const std::string& filename,
                std::optional<std::string_view> format) {
    save_record(record, filename, format);
}
void save_model(const DeepBoostingImpl& record, const std::string& filename,
                std::optional<std::string_view> format) {
    save_record(record, filename, format);
}
void load_model(DecisionTreeImpl& record, const std::string& filename,
                std::optional<std::string_view> format) {
    load_record(record, filename, format);
}
void load_model(GradientBoostingImpl& record, const std::string& filename,
                std::optional<std::string_view> format) {
    load_record(record, filename, format);
}
void load_model(DeepBoostingImpl& record, const std::string& filename,
                std::optional<std::string_view> format) {
    load_record(record, filename, format);
}

}  // namespace vandu
