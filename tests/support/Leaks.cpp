// Threads and descriptors of this process, from /proc (see Leaks.h).
#include "tests/support/Leaks.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <dirent.h>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

// For every entry of a /proc directory but the one listing it, what Describe says of it.
template <class TDescribe> std::vector<std::string> Entries(const char *Dir, TDescribe Describe) {
    std::vector<std::string> Found;
    if (DIR *D = ::opendir(Dir)) {
        while (const dirent *E = ::readdir(D))
            if (E->d_name[0] != '.' && std::atoi(E->d_name) != ::dirfd(D))
                Found.push_back(Describe(::dirfd(D), E->d_name));
        ::closedir(D);
    }
    std::sort(Found.begin(), Found.end());
    return Found;
}

std::vector<std::string> Threads() {
    // The thread sanitizer starts a background thread of its own with the first thread the program
    // creates; start and join one first, so that thread is in every list, the baseline's too.
    static const bool Warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)Warmed;
    return Entries("/proc/self/task", [](int, const char *Tid) {
        std::string Name;
        std::getline(std::ifstream(std::string("/proc/self/task/") + Tid + "/comm"), Name);
        return Name;
    });
}

std::vector<std::string> Descriptors() {
    return Entries("/proc/self/fd", [](int Dir, const char *Fd) -> std::string {
        char Target[PATH_MAX];
        const ssize_t N = ::readlinkat(Dir, Fd, Target, sizeof Target);
        return N > 0 ? std::string(Target, static_cast<std::size_t>(N)) : std::string("descriptor ") + Fd;
    });
}

// What Now has that Before had not, one line each.
std::string Added(const std::vector<std::string> &Before, const std::vector<std::string> &Now) {
    std::vector<std::string> New;
    std::set_difference(Now.begin(), Now.end(), Before.begin(), Before.end(), std::back_inserter(New));
    std::string Text;
    for (const std::string &Entry : New)
        Text += "\n  " + Entry;
    return Text;
}

} // namespace

TLeakBaseline::TLeakBaseline() : FThreads(Threads()), FDescriptors(Descriptors()) {}

::testing::AssertionResult TLeakBaseline::NothingLeftBehind(int Milliseconds) const {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
    for (;;) {
        const std::vector<std::string> T = Threads(), D = Descriptors();
        if (T.size() <= FThreads.size() && D.size() <= FDescriptors.size())
            return ::testing::AssertionSuccess();
        if (std::chrono::steady_clock::now() >= Deadline)
            return ::testing::AssertionFailure()
                   << "left behind after " << Milliseconds << " ms: " << T.size() << " threads (were "
                   << FThreads.size() << ")" << Added(FThreads, T) << "\n"
                   << D.size() << " descriptors (were " << FDescriptors.size() << ")"
                   << Added(FDescriptors, D);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
