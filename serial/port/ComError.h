// The serial port layer's error and its numbered, translatable messages.
//
// Every failure of the port component is an EComPort with a port error number (1 to 23) and, when a
// system call failed, the system's error code (an errno value, passed through unchanged). The
// message is the table text of the number, followed for a system failure by the translated suffix
// " (win error code: %d)" with the code in place of the placeholder. The suffix keeps its historic
// wording because it is the key under which catalogues translate it.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

// The port error numbers.
enum TPortErrorNumber : std::int32_t {
    peOpenFailed = 1,
    peWriteFailed,
    peReadFailed,
    peInvalidAsync,
    pePurgeFailed,
    peAsyncStatus,
    peSetCommState,
    peSetCommTimeouts,
    peSetupComm,
    peClearCommError,
    peModemStatus,
    peEscapeComm,
    peTransmitChar,
    peSetWhileConnected,
    peEnumPorts,
    peStoreSettings,
    peLoadSettings,
    peLinkRegistration,
    peLedState,
    peWaitWithThread,
    peWaitForEvent,
    peRxBufLinked,
    peRegistry
};

inline constexpr std::int32_t PortErrorCount = 23;

// The English texts, indexed by error number (entry 0 is unused).
extern const std::array<const char *, PortErrorCount + 1> PortErrorTexts;

// The texts in use, indexed by error number (entry 0 is unused). They hold the English texts until
// LoadPortErrorMessages replaces them with their translations. Written once at start-up, before
// any port thread exists; only read afterwards.
extern std::array<std::string, PortErrorCount + 1> PortErrorMessages;

// Adds the text domain "cport" to the resource-text domains and translates the 23 texts. Call once
// at start-up, after the translation service has started.
void LoadPortErrorMessages();

class EComPort : public std::runtime_error {
public:
    // A failure without a system code: SystemErrorNumber() is -1.
    explicit EComPort(std::int32_t ErrorNumber);
    EComPort(std::int32_t ErrorNumber, std::int32_t SystemErrorNumber);

    std::int32_t SystemErrorNumber() const noexcept { return FSystemErrorNumber; }
    std::int32_t ErrorNumber() const noexcept { return FErrorNumber; }

private:
    std::int32_t FSystemErrorNumber;
    std::int32_t FErrorNumber;
};

// The message of an error number, with the suffix when SystemErrorNumber is not -1.
std::string ComposePortErrorMessage(std::int32_t ErrorNumber, std::int32_t SystemErrorNumber);
