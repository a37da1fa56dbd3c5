// The real executable on an X server (Xvfb under `make bench`):
//   start-up   from fork() until the server maps a top-level window named
//              "Pellix", over several starts;
//   memory     the started program's resident memory once it is shown;
//   idle       its CPU over a stretch of wall time, idle.
//
// Usage: bench_startup <pellix> [starts=10] [idle seconds=60]
// Prints Markdown on stdout.

#include <X11/Xlib.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bench_startup: %s\n", what);
    std::exit(1);
}

bool isPellix(Display* display, Window window)
{
    char* name = nullptr;
    const bool yes = XFetchName(display, window, &name) && name && std::strcmp(name, "Pellix") == 0;
    if (name)
        XFree(name);
    return yes;
}

// Starts exe and waits until its window is mapped; the time it took in ms.
double startAndWaitForWindow(Display* display, const char* exe, pid_t& pid)
{
    const auto start = Clock::now();
    pid = fork();
    if (pid == 0) {
        execl(exe, exe, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0)
        fail("fork failed");
    const auto deadline = start + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && isPellix(display, event.xmap.window))
                return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        }
        pollfd p{ConnectionNumber(display), POLLIN, 0};
        ::poll(&p, 1, 100);
    }
    fail("no window within 30 s");
}

void stop(pid_t pid)
{
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

long rssKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// User plus system CPU of pid, in seconds.
double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in brackets and may hold spaces.
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
        fail("usage: bench_startup <pellix> [starts] [idle seconds]");
    const char* exe = argv[1];
    const int starts = argc > 2 ? std::atoi(argv[2]) : 10;
    const int idleSeconds = argc > 3 ? std::atoi(argv[3]) : 60;

    Display* display = XOpenDisplay(nullptr);
    if (!display)
        fail("cannot open the X display");
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);

    std::vector<double> ms;
    for (int i = 0; i < starts; ++i) {
        pid_t pid = 0;
        ms.push_back(startAndWaitForWindow(display, exe, pid));
        stop(pid);
        std::fprintf(stderr, "start %d: %.1f ms\n", i + 1, ms.back());
    }
    const double first = ms.front();
    std::sort(ms.begin(), ms.end());

    // One more start, left alone: memory once shown, then idle CPU.
    pid_t pid = 0;
    startAndWaitForWindow(display, exe, pid);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rss = rssKiB(pid);
    std::fprintf(stderr, "idle for %d s ...\n", idleSeconds);
    const double cpuBefore = cpuSeconds(pid);
    const auto wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double cpu = cpuSeconds(pid) - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    stop(pid);
    XCloseDisplay(display);

    std::printf("## The real program on an X server\n\n");
    std::printf("Start-up, from fork() to the server mapping the window \"Pellix\", %d starts: "
                "median %.1f ms, fastest %.1f ms, slowest %.1f ms, first %.1f ms.\n\n", starts,
                ms[ms.size() / 2], ms.front(), ms.back(), first);
    std::printf("Resident memory 1 s after the window was mapped: %ld KiB.\n\n", rss);
    std::printf("Idle, not connected, over %.0f s: %.2f s of CPU, %.3f %% of one core "
                "(/proc/<pid>/stat, %ld ticks a second).\n\n", wall, cpu, 100.0 * cpu / wall,
                sysconf(_SC_CLK_TCK));
    return 0;
}
