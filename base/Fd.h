// An owned file descriptor, for every folder: the core libraries, the tools and the tests. Plain
// C++ and POSIX, header only, so that nothing has to link for it.
#pragma once

#include <unistd.h>

#include <utility>

// Move-only; -1 when empty. The destructor closes and never throws; Close() closes now and tells
// the caller how it went (closing a written file is where a full disk may finally show). Neither
// retries on EINTR: on Linux the descriptor is gone either way.
class TFd {
public:
    TFd() = default;
    explicit TFd(int Fd) noexcept : FFd(Fd) {}
    TFd(TFd &&Other) noexcept : FFd(std::exchange(Other.FFd, -1)) {}
    TFd &operator=(TFd &&Other) noexcept {
        if (this != &Other) {
            Close();
            FFd = std::exchange(Other.FFd, -1);
        }
        return *this;
    }
    TFd(const TFd &) = delete;
    TFd &operator=(const TFd &) = delete;
    ~TFd() { Close(); }

    int Get() const noexcept { return FFd; }
    explicit operator bool() const noexcept { return FFd >= 0; }
    // 0, or -1 with errno set when close reports an error; 0 when empty.
    int Close() noexcept { return FFd >= 0 ? ::close(std::exchange(FFd, -1)) : 0; }

private:
    int FFd = -1;
};
