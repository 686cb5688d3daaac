#pragma once
// The engine's configuration record and the readers that fill it from the
// command line, the environment and the JSON configuration.
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "webrtc/ice_server.h"

namespace kvd {

struct EngineConfig {
    std::string sessionId;
    std::string signalingUrl;
    std::string sessionToken;
    std::string pipeName;
    std::vector<IceServerEntry> turnServers;
    std::vector<std::string> stunServers;
    std::string accessMode = "FULL_CONTROL";
    bool allowClipboard = true;
    bool allowFileTransfer = true;
    bool terminalOnly = false;
    bool temporary = false;
    int32_t targetFps = 30;
    int32_t maxBitrate = 10000;
    bool allowsWol = false;
    std::string operatorName;
    bool inputMode = false;
    bool unattendedMode = false;
    std::string inputPipeName;
    std::string inputPipeToken;
    bool shmV2 = false;
    bool transitionBridge = false;
    bool dxgiCandidatePromotion = false;
    bool engineExitTruth = false;
    bool captureEnterGuard = false;
    bool iceDiagnostics = false;
    // Test knob KELVANDRUM_TEST_EXIT_WINDOW_MS: a shorter exit window.
    int64_t exitWindowMs = 45000;
    // Test knob KELVANDRUM_TEST_VIEWER_SILENCE_MS: a connected viewer silent
    // this long is treated as gone.
    int64_t viewerSilenceMs = 15000;
    bool checkPermissions = false;
    bool requestPermissions = false;
    bool agentMode = false;
    int32_t controlPort = 0;
    bool recordingEnabled = true;
    std::string tenantId;
    std::string uploadUrl;
    std::string uploadToken;
    uint64_t maxSizeBytes = 0;
};

// Reads one environment variable; nullopt when unset.
using EnvReader = std::function<std::optional<std::string>(const std::string&)>;
EnvReader processEnvironment();

// Start-up aborts with this; its text is what the fatal path prints.
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Command line (without the program name) plus environment. Throws ConfigError
// (or the JSON library's type error for a wrongly typed optional JSON key).
EngineConfig parseConfiguration(const std::vector<std::string>& args, const EnvReader& env);

// The JSON configuration given with "--config-json".
EngineConfig parseJsonConfiguration(const std::string& text, const EnvReader& env);

// Decimal conversion with the C++ library's stoi rules (leading blanks, sign,
// trailing text ignored) and fixed error texts.
int32_t parseInt32Strict(const std::string& text);

struct IceIngestResult {
    bool parsed = false;
    std::string error;  // the parser's message when !parsed
};
// Adds STUN and TURN entries from KELVANDRUM_ICE_SERVERS text.
IceIngestResult ingestIceServers(EngineConfig& cfg, const std::string& text);

// A flag variable counts when its value is exactly "1".
bool envFlagOne(const EnvReader& env, const std::string& name);
// Any non-empty value other than "0".
bool envFlagNonZero(const EnvReader& env, const std::string& name);
int64_t testExitWindowMs(const EnvReader& env);
int64_t testViewerSilenceMs(const EnvReader& env);

inline constexpr const char* kDefaultStunServer = "stun:stun.l.google.com:19302";

}  // namespace kvd
