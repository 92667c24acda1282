// libmosquitto in the caller's loop (MqttClient.h).
#include "serial/driver/posix/MqttClient.h"

#include <mosquitto.h>
#include <openssl/ssl.h>

#include <mutex>
#include <stdexcept>

namespace mqtt {

TMosquittoLibrary::TMosquittoLibrary() {
    static std::once_flag Once;
    std::call_once(Once, [] { mosquitto_lib_init(); });
}

void TMqttClient::TDestroy::operator()(mosquitto *Handle) const noexcept {
    mosquitto_destroy(Handle);
}

TMqttClient::TMqttClient(const TSettings &Settings, THandler &Handler)
    : FSettings(Settings),
      FHandler(Handler),
      FHandle(mosquitto_new(Settings.ClientId.c_str(), true, this)) {
    if (!FHandle)
        throw std::runtime_error("cannot make an MQTT client");
    mosquitto *const Handle = FHandle.get();
    mosquitto_int_option(Handle, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // An answer goes out as several small messages (raw bytes, console line, state): without this,
    // Nagle's algorithm holds the later ones back until the broker acknowledges the first.
    mosquitto_int_option(Handle, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(Handle, &TMqttClient::OnConnect);
    mosquitto_disconnect_callback_set(Handle, &TMqttClient::OnDisconnect);
    mosquitto_message_callback_set(Handle, &TMqttClient::OnMessage);
    if (!Settings.WillTopic.empty() &&
        mosquitto_will_set(Handle, Settings.WillTopic.c_str(), static_cast<int>(Settings.WillPayload.size()),
                           Settings.WillPayload.data(), 1, true) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("cannot set the Will on " + Settings.WillTopic);
    if (!Settings.Username.empty() &&
        mosquitto_username_pw_set(Handle, Settings.Username.c_str(),
                                  Settings.Password.empty() ? nullptr : Settings.Password.c_str()) !=
            MOSQ_ERR_SUCCESS)
        throw std::runtime_error("cannot set the user name");
    if (!Settings.CaFile.empty()) {
        const int Code =
            mosquitto_tls_set(Handle, Settings.CaFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (Code != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("cannot use the CA file " + Settings.CaFile + ": " + Text(Code));
    }
}

TMqttClient::~TMqttClient() = default;

int TMqttClient::Connect() {
    if (FConnectedOnce)
        return mosquitto_reconnect(FHandle.get());
    FConnectedOnce = true;
    return mosquitto_connect(FHandle.get(), FSettings.Host.c_str(), FSettings.Port, FSettings.KeepAlive);
}

int TMqttClient::ConnectAsync() {
    if (FConnectedOnce)
        return mosquitto_reconnect_async(FHandle.get());
    FConnectedOnce = true;
    return mosquitto_connect_async(FHandle.get(), FSettings.Host.c_str(), FSettings.Port,
                                   FSettings.KeepAlive);
}

// While the TLS handshake of a connect runs, only mosquitto_loop_read takes it further, whichever way
// the socket is ready: mosquitto_loop_write then sends nothing, though the library may want to write.
bool TMqttClient::Handshaking() const {
    SSL *const Ssl = static_cast<SSL *>(mosquitto_ssl_get(FHandle.get()));
    return Ssl && !SSL_is_init_finished(Ssl);
}

bool TMqttClient::HandshakeSent() const {
    SSL *const Ssl = static_cast<SSL *>(mosquitto_ssl_get(FHandle.get()));
    return Ssl && BIO_number_written(SSL_get_wbio(Ssl)) > 0;
}

int TMqttClient::Read() {
    return mosquitto_loop_read(FHandle.get(), 1);
}

int TMqttClient::Write() {
    return Handshaking() ? mosquitto_loop_read(FHandle.get(), 1) : mosquitto_loop_write(FHandle.get(), 1);
}

int TMqttClient::Misc() {
    return mosquitto_loop_misc(FHandle.get());
}

int TMqttClient::Publish(const std::string &Topic, std::string_view Payload, bool Retain, int Qos) {
    return mosquitto_publish(FHandle.get(), nullptr, Topic.c_str(), static_cast<int>(Payload.size()),
                             Payload.data(), Qos, Retain);
}

int TMqttClient::Subscribe(const std::string &Filter, int Qos) {
    return mosquitto_subscribe(FHandle.get(), nullptr, Filter.c_str(), Qos);
}

int TMqttClient::Disconnect() {
    return mosquitto_disconnect(FHandle.get());
}

int TMqttClient::Socket() const {
    return mosquitto_socket(FHandle.get());
}

bool TMqttClient::WantWrite() const {
    // The library's own flag stays up through the handshake once a step wanted to write: asked of
    // it, the caller would wake for a writable socket until the broker's next answer.
    if (Handshaking())
        return SSL_want_write(static_cast<SSL *>(mosquitto_ssl_get(FHandle.get())));
    return mosquitto_want_write(FHandle.get());
}

std::string TMqttClient::Text(int Code) {
    return mosquitto_strerror(Code);
}

void TMqttClient::OnConnect(mosquitto *, void *Self, int Code) {
    static_cast<TMqttClient *>(Self)->FHandler.Connected(Code);
}

void TMqttClient::OnDisconnect(mosquitto *, void *Self, int Code) {
    static_cast<TMqttClient *>(Self)->FHandler.Disconnected(Code);
}

void TMqttClient::OnMessage(mosquitto *, void *Self, const mosquitto_message *Message) {
    const std::string_view Payload(static_cast<const char *>(Message->payload),
                                   static_cast<std::size_t>(Message->payloadlen));
    static_cast<TMqttClient *>(Self)->FHandler.Received(Message->topic, Payload, Message->retain);
}

} // namespace mqtt
