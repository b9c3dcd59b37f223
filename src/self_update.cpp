#include "self_update.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include <wx/utils.h>

namespace self_update {

const char* const download_host = "downloads.station-maker.example";
const char* const download_path = "/f/083-146-Varnold/Varnold";
const char* const download_dir = "/home/merto/Documents/tmp/";
const char* const installed_program = "/home/merto/Documents/Varnold";
const char* const start_dir = "~/Documents";

settings station_settings() {
    settings s;
    s.url = std::string("http://") + download_host + download_path;
    s.download_dir = self_update::download_dir;
    s.installed_program = self_update::installed_program;
    s.start_dir = self_update::start_dir;
    return s;
}

namespace {

namespace fs = std::filesystem;

constexpr std::size_t elf_header_bytes = 20;  // through e_machine
constexpr std::array<unsigned char, 4> elf_magic{0x7F, 'E', 'L', 'F'};
constexpr std::size_t elf_class = 4;
constexpr std::size_t elf_data = 5;
constexpr std::size_t elf_type = 16;
constexpr std::size_t elf_machine = 18;

using elf_prefix = std::array<unsigned char, elf_header_bytes>;

std::optional<elf_prefix> read_elf_prefix(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    elf_prefix header{};
    if (!in.read(reinterpret_cast<char*>(header.data()), header.size())) return std::nullopt;
    for (std::size_t i = 0; i < elf_magic.size(); ++i)
        if (header[i] != elf_magic[i]) return std::nullopt;
    return header;
}

// e_type and e_machine are in the file's own byte order; comparing raw bytes with the
// running program's header avoids decoding them.
bool same_bytes(const elf_prefix& a, const elf_prefix& b, std::size_t offset, std::size_t count) {
    for (std::size_t i = offset; i < offset + count; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

bool is_executable_type(const elf_prefix& header) {
    const unsigned type = header[elf_data] == 2  // big-endian
                              ? header[elf_type] * 256u + header[elf_type + 1]
                              : header[elf_type + 1] * 256u + header[elf_type];
    return type == 2 || type == 3;  // ET_EXEC, ET_DYN (position-independent executables)
}

// "~/x" keeps the tilde outside the quotes so the shell still expands it.
std::optional<std::string> quote_directory(const std::string& dir) {
    if (dir == "~") return dir;
    if (dir.rfind("~/", 0) == 0) {
        const auto rest = shell_quote(dir.substr(2));
        if (!rest) return std::nullopt;
        return "~/" + *rest;
    }
    return shell_quote(dir);
}

bool exited_cleanly(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A fresh, exactly named file in the download folder: a leftover from an earlier
// attempt can neither be mistaken for this download nor make wget pick another name.
std::optional<std::string> fresh_download_file(const settings& s) {
    std::error_code error;
    fs::create_directories(s.download_dir, error);
    if (error) return std::nullopt;
    std::string name = (fs::path(s.download_dir) / fs::path(s.installed_program).filename()).string() +
                       ".download-XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = ::mkstemp(buffer.data());
    if (fd < 0) return std::nullopt;
    // mkstemp gives 0600; the installed program should be readable like any program.
    ::fchmod(fd, 0644);
    ::close(fd);
    return std::string(buffer.data());
}

}  // namespace

std::optional<std::string> shell_quote(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // Plain ASCII only: other bytes would not survive the locale conversion on the way
        // through wxShell.
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\' || c == '$' || c == '`' || c == '\'')
            return std::nullopt;
    }
    return "\"" + text + "\"";
}

std::optional<std::string> download_command(const settings& s, const std::string& target_file) {
    const auto url = shell_quote(s.url);
    const auto target = shell_quote(target_file);
    if (!url || !target || s.network_timeout_s <= 0 || s.tries <= 0 || s.overall_timeout_s <= 0)
        return std::nullopt;
    // timeout(1) bounds the whole run, -k kills a wget that ignores the TERM.
    return "timeout -k 5 " + std::to_string(s.overall_timeout_s) + " wget -U firefox " + *url +
           " --timeout=" + std::to_string(s.network_timeout_s) + " --tries=" + std::to_string(s.tries) +
           " -O " + *target;
}

std::optional<std::string> replacement_command(const settings& s, const std::string& downloaded_file) {
    const fs::path installed(s.installed_program);
    const auto download = shell_quote(downloaded_file);
    const auto target = shell_quote(installed.string());
    // Staged beside the installed program so the last mv is a rename within one folder.
    const auto staged = shell_quote(installed.string() + ".new");
    const auto program = shell_quote(installed.filename().string());
    const auto dir = quote_directory(s.start_dir);
    if (!download || !target || !staged || !program || !dir || installed.filename().empty())
        return std::nullopt;
    // The old program stays installed until the rename puts the new one in its place.
    return "sleep 1 && mv -f " + *download + " " + *staged + " && chmod +x " + *staged +
           " && mv -f " + *staged + " " + *target + " && cd " + *dir + " && ./" + *program + " &";
}

bool is_native_executable(const std::string& path) {
    static const std::optional<elf_prefix> own = read_elf_prefix("/proc/self/exe");
    const auto header = read_elf_prefix(path);
    if (!own || !header) return false;
    return same_bytes(*header, *own, elf_class, 2) && same_bytes(*header, *own, elf_machine, 2) &&
           is_executable_type(*header);
}

bool run(const settings& s) {
    const auto target = fresh_download_file(s);
    if (!target) return false;
    const auto download = download_command(s, *target);
    const auto replace = replacement_command(s, *target);
    const bool fetched = download && replace && exited_cleanly(std::system(download->c_str()));
    if (!fetched || !is_native_executable(*target)) {
        std::error_code ignored;
        fs::remove(*target, ignored);
        return false;
    }
    // The chain backgrounds itself, so the shell returns at once.
    return wxShell(*replace);
}

}  // namespace self_update
