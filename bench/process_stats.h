#pragma once
// What a soak watches of its own process. Open file descriptors of this process, without those the in-process emulated board keeps:
// it holds the device node FIFO and umockdev's listening socket of every attachment it has
// made for its whole life (old clients may still be talking to an unplugged node), two per
// plug-in. A soak counts what the station holds, not what the test rig holds.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace soak {

inline std::string fd_target(const std::string& fd) {
    char target[512];
    const ssize_t length = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

inline bool nonblocking(const std::string& fd) {
    std::ifstream info("/proc/self/fdinfo/" + fd);
    std::string key;
    std::string value;
    while (info >> key >> value)
        if (key == "flags:") return (std::strtoul(value.c_str(), nullptr, 8) & O_NONBLOCK) != 0;
    return false;
}

// Inodes of the listening unix sockets bound inside the umockdev testbed.
inline std::set<std::string> testbed_listeners(const std::string& root) {
    std::set<std::string> inodes;
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, inode, path;
        fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> path;
        const bool listening = (std::strtoul(flags.c_str(), nullptr, 16) & 0x10000) != 0;
        if (listening && path.compare(0, root.size(), root) == 0) inodes.insert(inode);
    }
    return inodes;
}

inline int station_fds() {
    const char* testbed = std::getenv("UMOCKDEV_DIR");
    const std::string root = testbed != nullptr ? testbed : "/nonexistent";
    const std::set<std::string> listeners = testbed_listeners(root);
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    while (dirent* entry = readdir(fds)) {
        const std::string fd = entry->d_name;
        if (fd == "." || fd == "..") continue;
        const std::string target = fd_target(fd);
        const bool node_fifo = target.compare(0, root.size(), root) == 0 && nonblocking(fd);
        const bool listener = target.rfind("socket:[", 0) == 0 &&
                              listeners.count(target.substr(8, target.size() - 9)) != 0;
        if (!node_fifo && !listener) ++count;
    }
    closedir(fds);
    return count - 1;  // the folder listing itself
}

// Resident memory of this process in kB, -1 when unknown.
inline long resident_kb() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
    std::fclose(status);
    return kb;
}

}  // namespace soak
