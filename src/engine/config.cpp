#include "engine/config.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/json_util.h"
#include "engine/peer_liveness.h"

namespace kvd {

namespace {

constexpr const char* kTokenRefused =
    "--token no longer accepts a session token on the command line: a SYSTEM process's argv is "
    "readable by any local user via WMI. Pass KELVANDRUM_SESSION_TOKEN in the environment "
    "instead.";

std::optional<std::string> nonEmpty(const EnvReader& env, const std::string& name) {
    auto v = env(name);
    if (!v || v->empty()) return std::nullopt;
    return v;
}

bool allowWolFromEnv(const EnvReader& env) {
    auto v = nonEmpty(env, "KELVANDRUM_ALLOW_WOL");
    return v && (*v == "1" || *v == "true" || *v == "TRUE" || *v == "yes" || *v == "YES");
}

int32_t parseLenient(const std::string& text) {
    errno = 0;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

template <typename T>
void optionalKey(const Json& j, const char* key, T& field) {
    auto it = j.find(key);
    if (it != j.end()) field = it->get<T>();
}

std::string requiredString(const Json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string())
        throw ConfigError(std::string("JSON config: missing/invalid required field '") + key + "'");
    return it->get<std::string>();
}

}  // namespace

EnvReader processEnvironment() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* v = std::getenv(name.c_str());
        if (!v) return std::nullopt;
        return std::string(v);
    };
}

bool envFlagOne(const EnvReader& env, const std::string& name) {
    auto v = env(name);
    return v && *v == "1";
}

bool envFlagNonZero(const EnvReader& env, const std::string& name) {
    auto v = env(name);
    return v && !v->empty() && *v != "0";
}

int32_t parseInt32Strict(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, 10);
    if (end == begin) throw ConfigError("invalid stoi argument");
    if (errno == ERANGE || v > INT32_MAX || v < INT32_MIN)
        throw ConfigError("stoi argument out of range");
    return static_cast<int32_t>(v);
}

// Test knobs that may only shorten a product time: a plain count of
// minMs..productMs milliseconds is taken, anything else keeps the product's.
static int64_t testShortenedMs(const EnvReader& env, const std::string& name, int64_t minMs,
                               int64_t productMs) {
    auto v = env(name);
    if (!v || v->empty() || v->size() > 6 ||
        v->find_first_not_of("0123456789") != std::string::npos)
        return productMs;
    const int64_t ms = std::stoll(*v);
    return ms >= minMs && ms <= productMs ? ms : productMs;
}

int64_t testExitWindowMs(const EnvReader& env) {
    return testShortenedMs(env, "KELVANDRUM_TEST_EXIT_WINDOW_MS", 100, 45000);
}

int64_t testViewerSilenceMs(const EnvReader& env) {
    return testShortenedMs(env, "KELVANDRUM_TEST_VIEWER_SILENCE_MS", 1000,
                           PeerLiveness::kDefaultSilenceMs);
}

EngineConfig parseConfiguration(const std::vector<std::string>& args, const EnvReader& env) {
    EngineConfig cfg;
    cfg.allowsWol = allowWolFromEnv(env);
    if (auto t = nonEmpty(env, "KELVANDRUM_SESSION_TOKEN")) cfg.sessionToken = *t;
    if (auto t = nonEmpty(env, "KELVANDRUM_INPUT_PIPE_TOKEN")) cfg.inputPipeToken = *t;
    cfg.shmV2 = envFlagOne(env, "KELVANDRUM_SHM_V2");
    cfg.transitionBridge = envFlagOne(env, "KELVANDRUM_TRANSITION_BRIDGE");
    cfg.dxgiCandidatePromotion = envFlagOne(env, "KELVANDRUM_DXGI_CANDIDATE_PROMOTION");
    cfg.engineExitTruth = envFlagOne(env, "KELVANDRUM_ENGINE_EXIT_TRUTH");
    cfg.captureEnterGuard = envFlagOne(env, "KELVANDRUM_CAPTURE_ENTER_GUARD");
    cfg.iceDiagnostics = envFlagOne(env, "KELVANDRUM_ICE_DIAGNOSTICS");
    cfg.exitWindowMs = testExitWindowMs(env);
    cfg.viewerSilenceMs = testViewerSilenceMs(env);

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        auto value = [&]() -> const std::string& { return args[++i]; };

        if (a == "--config-json") {
            if (!hasValue) continue;
            return parseJsonConfiguration(value(), env);
        }
        if (a == "--terminal-only")
            cfg.terminalOnly = true;
        else if (a == "--temporary")
            cfg.temporary = true;
        else if (a == "--allow-wol")
            cfg.allowsWol = true;
        else if (a == "--input-mode")
            cfg.inputMode = true;
        else if (a == "--check-permissions")
            cfg.checkPermissions = true;
        else if (a == "--request-permissions")
            cfg.requestPermissions = true;
        else if (a == "--agent")
            cfg.agentMode = true;
        else if (a == "--unattended")
            cfg.unattendedMode = true;
        else if (!hasValue)
            continue;  // a value option at the end, or unknown
        else if (a == "--session-id")
            cfg.sessionId = value();
        else if (a == "--signaling-url")
            cfg.signalingUrl = value();
        else if (a == "--token") {
            if (value() != "dummy") throw ConfigError(kTokenRefused);
        } else if (a == "--pipe")
            cfg.pipeName = value();
        else if (a == "--fps")
            cfg.targetFps = parseInt32Strict(value());
        else if (a == "--max-bitrate")
            cfg.maxBitrate = parseInt32Strict(value());
        else if (a == "--control-port")
            cfg.controlPort = parseLenient(value());
        else if (a == "--input-pipe")
            cfg.inputPipeName = value();
        else if (a == "--operator-name")
            cfg.operatorName = value();
    }

    if (!cfg.inputMode && !cfg.checkPermissions && !cfg.requestPermissions && !cfg.agentMode) {
        if (cfg.sessionId.empty() || cfg.sessionToken.empty())
            throw ConfigError("Required args: --session-id, --token");
        if (cfg.signalingUrl.empty() && cfg.pipeName.empty())
            throw ConfigError("Required: --signaling-url (direct) or --pipe (relay)");
    }
    return cfg;
}

EngineConfig parseJsonConfiguration(const std::string& text, const EnvReader& env) {
    if (!jsonDepthWithin(text))
        throw ConfigError(std::string("JSON config parse error: ") + jsonDepthError());
    Json j;
    try {
        j = Json::parse(text);
    } catch (const Json::parse_error& e) {
        throw ConfigError(std::string("JSON config parse error: ") + e.what());
    }
    // A JSON value that is not an object has none of the required fields.
    if (!j.is_object()) j = Json::object();

    EngineConfig cfg;
    cfg.sessionId = requiredString(j, "sessionId");
    cfg.sessionToken = requiredString(j, "sessionToken");
    if (auto t = nonEmpty(env, "KELVANDRUM_SESSION_TOKEN")) cfg.sessionToken = *t;
    cfg.exitWindowMs = testExitWindowMs(env);
    cfg.viewerSilenceMs = testViewerSilenceMs(env);
    optionalKey(j, "signalingUrl", cfg.signalingUrl);
    optionalKey(j, "pipeName", cfg.pipeName);
    optionalKey(j, "targetFps", cfg.targetFps);
    optionalKey(j, "maxBitrate", cfg.maxBitrate);
    optionalKey(j, "terminalOnly", cfg.terminalOnly);
    optionalKey(j, "accessMode", cfg.accessMode);
    optionalKey(j, "allowClipboard", cfg.allowClipboard);
    optionalKey(j, "allowFileTransfer", cfg.allowFileTransfer);
    optionalKey(j, "recordingEnabled", cfg.recordingEnabled);
    cfg.allowsWol = allowWolFromEnv(env);
    optionalKey(j, "allowsWol", cfg.allowsWol);
    optionalKey(j, "inputMode", cfg.inputMode);
    optionalKey(j, "unattendedMode", cfg.unattendedMode);
    optionalKey(j, "inputPipeName", cfg.inputPipeName);
    optionalKey(j, "shmV2", cfg.shmV2);
    optionalKey(j, "transitionBridge", cfg.transitionBridge);
    optionalKey(j, "dxgiCandidatePromotion", cfg.dxgiCandidatePromotion);

    if (auto it = j.find("turnServers"); it != j.end()) {
        if (!it->is_array()) throw ConfigError("JSON config: 'turnServers' must be an array");
        for (const auto& e : *it) {
            if (!e.is_object() || !e.contains("url") || !e.contains("username") ||
                !e.contains("credential"))
                throw ConfigError(
                    "JSON config: each turnServers entry needs url/username/credential");
            cfg.turnServers.push_back({e.at("url").get<std::string>(),
                                       e.at("username").get<std::string>(),
                                       e.at("credential").get<std::string>()});
        }
    }
    if (auto it = j.find("stunServers"); it != j.end()) {
        if (!it->is_array()) throw ConfigError("JSON config: 'stunServers' must be an array");
        for (const auto& e : *it) cfg.stunServers.push_back(e.get<std::string>());
    }
    if (cfg.signalingUrl.empty() && cfg.pipeName.empty())
        throw ConfigError("JSON config: signalingUrl or pipeName required");
    if (auto t = nonEmpty(env, "KELVANDRUM_INPUT_PIPE_TOKEN")) cfg.inputPipeToken = *t;
    return cfg;
}

IceIngestResult ingestIceServers(EngineConfig& cfg, const std::string& text) {
    // Through the shared parser: a number too large for a double is a
    // failed parse like any other, not an exception out of start-up.
    std::string error;
    const std::optional<Json> doc = parseJson(text, error);
    if (!doc) return {false, error};
    const Json& j = *doc;
    if (const Json* stun = jsonArray(j, "stunServers")) {
        for (const auto& e : *stun)
            if (e.is_string()) cfg.stunServers.push_back(e.get<std::string>());
    }
    if (const Json* turn = jsonArray(j, "turnServers")) {
        for (const auto& e : *turn) {
            auto user = jsonString(e, "username");
            auto cred = jsonString(e, "credential");
            if (!user || !cred) continue;
            if (const Json* urls = jsonArray(e, "urls")) {
                for (const auto& u : *urls)
                    if (u.is_string())
                        cfg.turnServers.push_back({u.get<std::string>(), *user, *cred});
            } else if (auto url = jsonString(e, "url")) {
                cfg.turnServers.push_back({*url, *user, *cred});
            }
        }
    }
    return {true, {}};
}

}  // namespace kvd
