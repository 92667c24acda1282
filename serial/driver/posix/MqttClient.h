// One connection to an MQTT broker through libmosquitto, driven by the caller's own poll(): the
// library starts no thread. relaymqtt's bridge runs it on its main loop, the mqtt:// port driver
// (MqttComDriver.h) on its device thread; both are plain C++, so the client lives in the core. The caller
// watches Socket() for reading, and for writing while WantWrite(), and calls Read, Write and Misc
// (keep-alive, retries) as they say. A lost connection is not taken up again by itself: the caller decides
// when to Reconnect.
//
// Connect blocks for the name lookup and the TCP (and TLS) handshake; the board's port keeps its
// bytes meanwhile (its events wait in the main-thread queue). ConnectAsync blocks only for the name
// lookup (none for a numeric address) and finishes the handshake in the caller's loop.
//
// Thread safety: none; one thread calls everything, and the callbacks run inside its calls.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct mosquitto;
struct mosquitto_message;

namespace mqtt {

// Initialises libmosquitto once for the process (its own initialisation is not thread-safe); every
// client does so itself, and a program may hold one in main() to say that it does. The library is
// never torn down: a port may still be open while main() returns.
class TMosquittoLibrary {
public:
    TMosquittoLibrary();
    ~TMosquittoLibrary() = default;
    TMosquittoLibrary(const TMosquittoLibrary &) = delete;
    TMosquittoLibrary &operator=(const TMosquittoLibrary &) = delete;
};

class TMqttClient {
public:
    struct TSettings {
        std::string Host = "localhost";
        int Port = 1883;
        std::string ClientId;
        std::string Username, Password;
        std::string CaFile; // TLS when not empty
        std::string WillTopic, WillPayload;
        int KeepAlive = 60;
    };
    class THandler {
    public:
        virtual ~THandler() = default;
        // The broker's answer to a connect: 0 accepted, else its reason (mosquitto_connack_string).
        virtual void Connected(int Code) = 0;
        // The connection ended; Code 0 when this side asked for it.
        virtual void Disconnected(int Code) = 0;
        virtual void Received(std::string_view Topic, std::string_view Payload, bool Retained) = 0;
    };

    // Raises std::runtime_error when the settings cannot be applied (a CA file that cannot be read).
    TMqttClient(const TSettings &Settings, THandler &Handler);
    ~TMqttClient();
    TMqttClient(const TMqttClient &) = delete;
    TMqttClient &operator=(const TMqttClient &) = delete;

    // Each returns the library's code (MOSQ_ERR_SUCCESS is 0); Text(Code) says it in words.
    int Connect();
    int ConnectAsync();
    int Read();
    int Write();
    int Misc();
    int Publish(const std::string &Topic, std::string_view Payload, bool Retain, int Qos = 1);
    int Subscribe(const std::string &Filter, int Qos = 1);
    // Asks the broker for a clean end (the Will is not sent).
    int Disconnect();

    int Socket() const;
    bool WantWrite() const;
    // True once a TLS handshake has sent its first bytes: the broker was reached.
    bool HandshakeSent() const;
    static std::string Text(int Code);

private:
    struct TDestroy {
        void operator()(mosquitto *Handle) const noexcept;
    };
    bool Handshaking() const;
    static void OnConnect(mosquitto *, void *Self, int Code);
    static void OnDisconnect(mosquitto *, void *Self, int Code);
    static void OnMessage(mosquitto *, void *Self, const mosquitto_message *Message);

    TMosquittoLibrary FLibrary; // before the handle
    TSettings FSettings;
    THandler &FHandler;
    std::unique_ptr<mosquitto, TDestroy> FHandle;
    bool FConnectedOnce = false;
};

} // namespace mqtt
