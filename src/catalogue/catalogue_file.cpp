// The catalogue on disk: reading with limits, atomic writes that never replace a file the
// station did not load or write, and the one-station-per-folder lock.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "catalogue.h"
#include "text_convert.h"

namespace catalogue {

namespace {

// Marks the temporary files of a save; nothing else makes names with it.
constexpr const char* temp_marker = ".station-save-";

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string reason_of(int error) { return std::strerror(error); }

std::string too_large() { return "larger than " + std::to_string(largest_file / (1024 * 1024)) + " MB"; }

file_stamp stamp_of(const struct stat& info) {
    file_stamp stamp;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.modified_ns = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.size = info.st_size;
    return stamp;
}

file_seen seen_from(const struct stat& info) {
    file_seen seen;
    seen.exists = true;
    seen.stamp = stamp_of(info);
    return seen;
}

// Writes all of bytes, retrying short writes and interruptions; false with errno set.
bool write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

// Reads at most limit + 1 bytes, so a file that grows while being read is still caught.
bool read_all(int fd, std::string& bytes, std::size_t limit) {
    bytes.clear();
    char chunk[65536];
    while (bytes.size() <= limit) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

void sync_folder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Some file systems cannot sync a folder; the new file is in place either way.
    ::fsync(fd);
    ::close(fd);
}

// The file a path stands for: the target of a symbolic link, so the link itself stays.
// A link that leads nowhere gives an error (ENOENT); a missing path is itself.
int resolve(const std::string& path, std::string& target) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        target = path;
        return 0;
    }
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return errno;
    target = real;
    std::free(real);
    return 0;
}

struct temp_file {
    int fd = -1;
    std::string name;
};

// A temporary file beside target, named with the marker and the process id and locked for as
// long as it is open, so no other save takes it for a leftover.
int open_temp(const std::string& target, temp_file& temp) {
    static std::mt19937 random(std::random_device{}());
    const std::string prefix = folder_of(target) + "/." + base_of(target) + temp_marker +
                               std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp.name = prefix + std::to_string(random() % 900000 + 100000);
        temp.fd = ::open(temp.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (temp.fd >= 0) {
            ::flock(temp.fd, LOCK_EX | LOCK_NB);
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

bool is_temp_of(const std::string& name, const std::string& base, pid_t& pid) {
    const std::string prefix = "." + base + temp_marker;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    unsigned long number = 0;
    unsigned suffix = 0;
    int used = 0;
    if (std::sscanf(name.c_str() + prefix.size(), "%lu-%6u%n", &number, &suffix, &used) != 2) return false;
    pid = static_cast<pid_t>(number);
    return prefix.size() + static_cast<std::size_t>(used) == name.size();
}

// A save killed between creating its temporary file and the rename leaves that file behind.
// Cleared only when its process is gone and nobody holds its lock: another living save may
// be writing it.
void remove_leftovers(const std::string& folder, const std::string& base) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        pid_t pid = 0;
        if (!is_temp_of(entry.path().filename().string(), base, pid)) continue;
        if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(entry.path().c_str());
        ::close(fd);
    }
}

// Mode, owner and group for the new file: the old file's where there is one.
void take_attributes(int fd, const std::string& target) {
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
        // Fails unless the process may give the file away; it then stays the process's own.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) errno = 0;
        return;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
}

int finish_temp(int fd, const std::string& bytes, const std::string& target, file_seen& written) {
    if (!write_all(fd, bytes)) return errno;
    take_attributes(fd, target);
    if (::fsync(fd) != 0) return errno;
    struct stat info {};
    if (::fstat(fd, &info) != 0) return errno;
    written = seen_from(info);
    return 0;
}

// Puts the finished temporary file in target's place: over it, or only where nothing is.
int commit(const std::string& temp, const std::string& target, bool replace) {
    if (replace) return ::rename(temp.c_str(), target.c_str()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without the no-replace rename still refuse a link over an existing name.
    if (::link(temp.c_str(), target.c_str()) != 0) return errno;
    ::unlink(temp.c_str());
    return 0;
}

// Overwrites the file itself, for a folder that takes no new file: not atomic.
int write_in_place(const std::string& target, const std::string& bytes, file_seen& written) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = 0;
    struct stat info {};
    if (!write_all(fd, bytes) || ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 ||
        ::fsync(fd) != 0 || ::fstat(fd, &info) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0) written = seen_from(info);
    return error;
}

// The error of a replace whose file changed while the new text was being written.
constexpr int changed_meanwhile = ESTALE;

bool still_the_file(const std::string& target, const file_stamp& expected) {
    struct stat info {};
    return ::stat(target.c_str(), &info) == 0 && stamp_of(info) == expected;
}

// expected: replace only the file it describes, checked again right before the rename.
write_result write_through_temp(const std::string& path, const std::string& bytes, bool replace,
                                const file_stamp* expected = nullptr) {
    write_result result;
    std::string target;
    result.error = resolve(path, target);
    if (result.error != 0) return result;
    temp_file temp;
    const int temp_error = open_temp(target, temp);
    if (temp_error != 0) {
        const bool folder_refused = temp_error == EACCES || temp_error == EPERM;
        if (!replace || !folder_refused || ::access(target.c_str(), W_OK) != 0) {
            result.error = temp_error;
            return result;
        }
        result.in_place = true;
        result.temp_error = temp_error;
        result.error = write_in_place(target, bytes, result.written);
        return result;
    }
    result.error = finish_temp(temp.fd, bytes, target, result.written);
    if (result.error == 0 && expected != nullptr && !still_the_file(target, *expected))
        result.error = changed_meanwhile;
    if (result.error == 0) result.error = commit(temp.name, target, replace);
    if (result.error != 0) ::unlink(temp.name.c_str());
    // Closed only now: the lock guards the temporary file until it is renamed or removed.
    ::close(temp.fd);
    if (result.error != 0) return result;
    sync_folder(folder_of(target));
    remove_leftovers(folder_of(target), base_of(target));
    return result;
}

// What is at path now: nothing (false), or a file, link or anything else (true).
int look(const std::string& path, bool& there, file_seen& now) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        there = true;
        now = seen_from(info);
        return 0;
    }
    if (errno != ENOENT) return errno;
    // A link that leads nowhere is still something someone put there.
    there = ::lstat(path.c_str(), &info) == 0;
    now = file_seen{};
    now.exists = there;
    return 0;
}

// Why the station may not replace the file; empty when it may. A file its owner marked
// read-only is left alone even by a process the mode does not bind.
std::string why_not_writable(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return reason_of(errno);
    if ((info.st_mode & 0222) == 0) return "the file is read-only";
    if (::access(path.c_str(), W_OK) != 0) return reason_of(errno);
    return {};
}

std::string beside_name(const std::string& path, int attempt) {
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string name = path + ".station-copy-" + stamp;
    if (attempt > 0) name += "-" + std::to_string(attempt);
    return name;
}

// The session's copy, when it is still the file the station wrote there: a regular file
// only, so nothing someone put in its place is written through.
bool own_copy_still_there(const file_seen& seen) {
    struct stat info {};
    return !seen.copy.empty() && ::lstat(seen.copy.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           stamp_of(info) == seen.copy_stamp;
}

// A new station copy beside path, never over anything that is there.
write_result create_copy(const std::string& path, const std::string& bytes, std::string& copy) {
    write_result written;
    for (int attempt = 0; attempt < 100; ++attempt) {
        copy = beside_name(path, attempt);
        written = create_file(copy, bytes);
        if (written.error != EEXIST) break;
    }
    return written;
}

// The catalogue goes to the session's copy (a new one the first time) because the file at
// path cannot take it, for the reason given.
save_result write_beside(const std::string& path, const std::string& bytes, file_seen& seen, std::string reason) {
    save_result result;
    result.reason = std::move(reason);
    write_result written;
    written.error = changed_meanwhile;
    if (own_copy_still_there(seen)) {
        result.beside = seen.copy;
        written = write_through_temp(seen.copy, bytes, true, &seen.copy_stamp);
    }
    if (written.error == changed_meanwhile) written = create_copy(path, bytes, result.beside);
    if (!written.ok()) {
        result.status = save_status::failed;
        result.copy_reason = reason_of(written.error);
        return result;
    }
    result.status = save_status::written_beside;
    seen.copy = result.beside;
    seen.copy_stamp = written.written.stamp;
    return result;
}

save_result skipped(const std::string& reason) {
    save_result result;
    result.status = save_status::skipped;
    result.reason = reason;
    return result;
}

// A write of the file itself that worked; a failed one goes to the copy instead.
save_result outcome(const write_result& written, save_status success, file_seen& seen) {
    save_result result;
    result.status = success;
    result.in_place = written.in_place;
    if (written.in_place) result.reason = reason_of(written.temp_error);
    seen.exists = true;
    seen.stamp = written.written.stamp;
    return result;
}

// Replaces or creates the file; a failure of any kind sends the catalogue to the copy.
save_result write_file_or_copy(const std::string& path, const std::string& bytes, file_seen& seen) {
    bool there = false;
    file_seen now;
    if (const int error = look(path, there, now); error != 0) return write_beside(path, bytes, seen, reason_of(error));
    if (!there) {
        const write_result created = create_file(path, bytes);
        // Something appeared between the look and the creation.
        if (created.error == EEXIST) return write_beside(path, bytes, seen, changed_on_disk);
        if (!created.ok()) return write_beside(path, bytes, seen, reason_of(created.error));
        return outcome(created, save_status::created, seen);
    }
    if (!seen.exists || !now.same_file(seen)) return write_beside(path, bytes, seen, changed_on_disk);
    if (const std::string refusal = why_not_writable(path); !refusal.empty())
        return write_beside(path, bytes, seen, refusal);
    const write_result written = write_through_temp(path, bytes, true, &seen.stamp);
    if (written.error == changed_meanwhile) return write_beside(path, bytes, seen, changed_on_disk);
    if (!written.ok()) return write_beside(path, bytes, seen, reason_of(written.error));
    return outcome(written, save_status::written, seen);
}

}  // namespace

bool file_stamp::operator==(const file_stamp& other) const {
    return device == other.device && inode == other.inode && modified_ns == other.modified_ns && size == other.size;
}

bool file_seen::same_file(const file_seen& other) const { return exists == other.exists && stamp == other.stamp; }

read_result read_file(const std::string& path) {
    read_result result;
    // Non-blocking, so a FIFO in the file's place cannot hang the screen; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        struct stat link {};
        if (error == ENOENT && ::lstat(path.c_str(), &link) != 0) return result;
        result.status = read_status::unreadable;
        result.reason = error == ENOENT ? "symbolic link to a missing file" : reason_of(error);
        return result;
    }
    struct stat info {};
    result.status = read_status::unreadable;
    if (::fstat(fd, &info) != 0) {
        result.reason = reason_of(errno);
    } else if (!S_ISREG(info.st_mode)) {
        result.reason = "not a regular file";
    } else if (!read_all(fd, result.bytes, largest_file)) {
        result.reason = reason_of(errno);
    } else if (result.bytes.size() > largest_file) {
        result.reason = too_large();
    } else {
        result.status = read_status::ok;
        result.seen = seen_from(info);
    }
    ::close(fd);
    if (result.status != read_status::ok) result.bytes.clear();
    return result;
}

write_result write_file_atomically(const std::string& path, const std::string& bytes) {
    return write_through_temp(path, bytes, true);
}

write_result create_file(const std::string& path, const std::string& bytes) {
    return write_through_temp(path, bytes, false);
}

load_result interpret(parse_result parsed) {
    load_result result;
    result.detail = std::move(parsed.detail);
    switch (parsed.status) {
        case parse_status::ok:
            result.status = load_status::loaded;
            result.types = std::move(parsed.types);
            break;
        case parse_status::parse_error:
            result.status = load_status::parse_error;
            break;
        case parse_status::wrong_shape:
            result.status = load_status::wrong_shape;
            break;
    }
    return result;
}

load_result load(const std::string& path) {
    read_result read = read_file(path);
    load_result result;
    if (read.status == read_status::ok) {
        result = interpret(from_json(read.bytes));
    } else {
        result.status = read.status == read_status::missing ? load_status::missing : load_status::unreadable;
        result.detail = std::move(read.reason);
    }
    result.seen = read.seen;
    result.seen.exists = read.status != read_status::missing;
    result.seen.keep = !may_save_after(result.status);
    return result;
}

wxString load_message(const load_result& result, const std::string& path) {
    const wxString file = from_locale_narrow(path);
    const wxString reason = from_utf8(result.detail);
    switch (result.status) {
        case load_status::loaded:
            return {};
        case load_status::missing:
            return "Settings file not exist: " + file;
        case load_status::unreadable:
            return "Settings file not readable: " + file + ": " + reason;
        case load_status::parse_error:
            return "Json Pharse error: " + reason;
        case load_status::wrong_shape:
            // Valid JSON of the wrong form says what is wrong, so the file can be mended.
            return "Json shape error: " + reason;
    }
    return {};
}

bool may_save_after(load_status status) {
    return status == load_status::loaded || status == load_status::missing;
}

save_result save(const std::string& path, const std::vector<Type>& types, file_seen& seen) {
    const std::string bytes = to_json(types);
    if (!long_enough_to_save(bytes.size())) return skipped("the catalogue has no JSON form");
    if (seen.keep) return write_beside(path, bytes, seen, "the file could not be loaded and is kept as it is");
    return write_file_or_copy(path, bytes, seen);
}

wxString save_message(const save_result& result, const std::string& path) {
    const wxString file = from_locale_narrow(path);
    const wxString reason = from_utf8(result.reason);
    switch (result.status) {
        case save_status::written:
        case save_status::created:
            if (!result.in_place) return {};
            return "Settings file saved in place, not atomic: " + file + ": " + reason;
        case save_status::written_beside: {
            const wxString copy = "; the station's catalogue is in: " + from_locale_narrow(result.beside);
            if (result.reason == changed_on_disk) return "Settings file changed on disk, kept: " + file + copy;
            return "Settings file not saved: " + file + ": " + reason + copy;
        }
        case save_status::skipped:
            break;
        case save_status::failed:
            return "Settings file not saved: " + file + ": " + reason +
                   "; no station copy could be written either: " + from_utf8(result.copy_reason);
    }
    return "Settings file not saved: " + file + ": " + reason;
}

std::string save_place(const save_result& result, const std::string& path) {
    switch (result.status) {
        case save_status::written:
        case save_status::created:
            return "saved in " + path;
        case save_status::written_beside:
            return "saved in " + result.beside;
        case save_status::skipped:
            break;
        case save_status::failed:
            return "not saved: " + result.reason + "; no copy: " + result.copy_reason;
    }
    return "not saved: " + result.reason;
}

folder_lock lock_folder(const std::string& path, int wait_ms) {
    folder_lock lock;
    // The folder itself, not a file in it: a lock file deleted by hand would let a second
    // station in beside the first.
    lock.fd = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock.fd < 0) {
        lock.reason = reason_of(errno);
        return lock;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    int error = 0;
    for (;;) {
        if (::flock(lock.fd, LOCK_EX | LOCK_NB) == 0) {
            lock.status = lock_status::held;
            return lock;
        }
        error = errno;
        if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    lock.status = error == EWOULDBLOCK ? lock_status::taken : lock_status::unavailable;
    lock.reason = reason_of(error);
    ::close(lock.fd);
    lock.fd = -1;
    return lock;
}

}  // namespace catalogue
