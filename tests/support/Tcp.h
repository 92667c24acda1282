// Loopback TCP for the tests of the network driver: a listener on a free port of 127.0.0.1 and the
// accepted connection, which plays the far end of the line. Every wait is bounded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class TTcpPeer {
public:
    TTcpPeer() = default;
    explicit TTcpPeer(int Fd) : FFd(Fd) {}
    TTcpPeer(TTcpPeer &&Other) noexcept;
    TTcpPeer &operator=(TTcpPeer &&Other) noexcept;
    ~TTcpPeer() { Close(); }

    bool Ok() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    bool Send(std::string_view Bytes, int Milliseconds = 10000);
    // Exactly Count bytes, or what came before Milliseconds ran out or the connection ended.
    std::string Receive(std::size_t Count, int Milliseconds = 10000);
    void Close();

private:
    int FFd = -1;
};

class TTcpListener {
public:
    // Backlog as for listen(); a full backlog makes further connects hang on loopback. Port: a free
    // one when 0; a given one is taken even while connections of an earlier listener there linger.
    explicit TTcpListener(int Backlog = 4, int Port = 0);
    ~TTcpListener();
    TTcpListener(const TTcpListener &) = delete;
    TTcpListener &operator=(const TTcpListener &) = delete;

    int Port() const { return FPort; }
    // The next connection, or an empty peer when none came within Milliseconds.
    TTcpPeer Accept(int Milliseconds = 10000);

private:
    int FFd = -1, FPort = 0;
};
