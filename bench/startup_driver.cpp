// Starts two programs in turn, N times each, and compares their start-up: the time from
// the spawn to the first paint and the resident memory after start, as the programs
// report them (bench_clock.h).
//
//   bench_startup N -- PROGRAM_A [ARGS...] -- PROGRAM_B [ARGS...]
//
// Run it under a display (xvfb-run) with GDK_GL=disable; the programs start in the
// current folder.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct sample {
    double paint_ms = -1.0;
    double rss_kb = -1.0;
    std::vector<double> rename_ms;  // only from a station started with BENCH_MODE=rename
};

struct series {
    std::vector<char*> argv;
    std::vector<double> paint, rss, rename;
};

long long monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void parse_line(const char* line, sample& s) {
    if (std::strncmp(line, "first_paint_ms=", 15) == 0) s.paint_ms = std::atof(line + 15);
    if (std::strncmp(line, "rss_kb=", 7) == 0) s.rss_kb = std::atof(line + 7);
    if (std::strncmp(line, "rename_ms=", 10) == 0) s.rename_ms.push_back(std::atof(line + 10));
}

bool run_once(std::vector<char*>& argv, sample& s) {
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string start = "BENCH_T0_NS=" + std::to_string(monotonic_ns());
    putenv(const_cast<char*>(start.c_str()));
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        return false;
    }
    FILE* from = fdopen(out[0], "r");
    char line[256];
    while (std::fgets(line, sizeof line, from) != nullptr) parse_line(line, s);
    std::fclose(from);
    int status = 0;
    waitpid(pid, &status, 0);
    return s.paint_ms > 0 && s.rss_kb > 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

void print(const char* label, const series& s) {
    std::printf("%-8s %-40s first paint median %7.1f ms  worst %7.1f ms | resident median %7.1f MB\n", label,
                s.argv[0], median(s.paint), *std::max_element(s.paint.begin(), s.paint.end()),
                median(s.rss) / 1024.0);
    if (!s.rename.empty())
        std::printf("%-8s %-40s rename median %7.1f ms  worst %7.1f ms (%zu renames)\n", label, "",
                    median(s.rename), *std::max_element(s.rename.begin(), s.rename.end()), s.rename.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: bench_startup N -- PROGRAM_A [ARGS...] -- PROGRAM_B [ARGS...]\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    series a, b;
    series* filling = &a;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            filling = &b;
            continue;
        }
        filling->argv.push_back(argv[i]);
    }
    if (a.argv.empty() || b.argv.empty()) return 2;
    a.argv.push_back(nullptr);
    b.argv.push_back(nullptr);
    for (int i = 0; i < runs; ++i) {
        for (series* s : {&a, &b}) {
            sample one;
            if (!run_once(s->argv, one)) {
                std::fprintf(stderr, "run %d of %s reported nothing\n", i, s->argv[0]);
                return 1;
            }
            s->paint.push_back(one.paint_ms);
            s->rss.push_back(one.rss_kb);
            s->rename.insert(s->rename.end(), one.rename_ms.begin(), one.rename_ms.end());
        }
    }
    std::printf("%d runs each, alternating\n", runs);
    print("station", a);
    print("minimal", b);
    std::printf("ratio station/minimal: first paint x%.2f (target <= 1.5), resident x%.2f (target <= 1.3)\n",
                median(a.paint) / median(b.paint), median(a.rss) / median(b.rss));
    return 0;
}
