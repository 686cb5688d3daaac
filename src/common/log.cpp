#include "common/log.h"

#include <spdlog/details/os.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "common/json_util.h"

namespace kvd {

namespace {

constexpr size_t kMaxLogBytes = 52428800;  // 50 MiB
constexpr size_t kRotatedFiles = 3;

// Length of the well-formed UTF-8 sequence at the start of s, 0 when the
// first byte does not begin one (stray continuation bytes, overlong forms,
// surrogates, code points above U+10FFFF, truncated sequences).
size_t utf8SequenceLength(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = byte(0);
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < n || byte(1) < lo || byte(1) > hi) return 0;
    for (size_t i = 2; i < n; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return n;
}

// Logged texts carry peer bytes (and the JSON library's parse errors quote
// them raw): every byte that is not part of well-formed UTF-8 becomes U+FFFD,
// so that each line stays one valid JSON object.
std::string escapeForLogLine(std::string_view s) {
    std::string valid;
    valid.reserve(s.size());
    while (!s.empty()) {
        const size_t n = utf8SequenceLength(s);
        if (n == 0) {
            valid += "\xEF\xBF\xBD";
            s.remove_prefix(1);
        } else {
            valid.append(s.data(), n);
            s.remove_prefix(n);
        }
    }
    return escapeJsonString(valid);
}

class JsonLineFormatter final : public spdlog::formatter {
  public:
    explicit JsonLineFormatter(std::string sid) : sidEscaped_(escapeForLogLine(sid)) {}

    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
        using namespace std::chrono;
        const auto t = msg.time;
        const auto secs = time_point_cast<seconds>(t);
        const auto ms = duration_cast<milliseconds>(t - secs).count();
        const std::time_t tt = system_clock::to_time_t(t);
        std::tm tm{};
        localtime_r(&tt, &tm);
        char ts[40];
        const size_t n = std::strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &tm);
        std::snprintf(ts + n, sizeof ts - n, ".%03d", static_cast<int>(ms));

        const auto level = spdlog::level::to_string_view(msg.level);
        std::string line;
        line.reserve(64 + msg.payload.size() + sidEscaped_.size());
        line += "{\"ts\":\"";
        line += ts;
        line += "\",\"level\":\"";
        line.append(level.data(), level.size());
        line += "\",\"sid\":\"";
        line += sidEscaped_;
        line += "\",\"msg\":\"";
        line += escapeForLogLine(std::string_view(msg.payload.data(), msg.payload.size()));
        line += "\"}\n";
        dest.append(line.data(), line.data() + line.size());
    }

    std::unique_ptr<spdlog::formatter> clone() const override {
        auto f = std::make_unique<JsonLineFormatter>("");
        f->sidEscaped_ = sidEscaped_;
        return f;
    }

  private:
    std::string sidEscaped_;
};

std::mutex gSetupMutex;
bool gSetUp = false;

spdlog::level::level_enum levelFrom(const std::optional<std::string>& name) {
    if (!name) return spdlog::level::warn;
    return spdlog::level::from_str(*name);
}

void install(std::shared_ptr<spdlog::logger> lg, const std::optional<std::string>& levelName) {
    lg->set_level(levelFrom(levelName));
    lg->flush_on(spdlog::level::warn);
    spdlog::set_default_logger(std::move(lg));
    gSetUp = true;
}

}  // namespace

std::unique_ptr<spdlog::formatter> makeJsonLineFormatter(const std::string& sid) {
    return std::make_unique<JsonLineFormatter>(sid);
}

std::string sanitiseForFileName(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        out += ok ? static_cast<char>(c) : '_';
    }
    if (out.empty() || out == "." || out == "..")
        out = std::string(out.size() ? out.size() : 1, '_');
    return out;
}

std::vector<std::string> logFileCandidates(const std::optional<std::string>& envLogFile,
                                           const std::string& base, const std::string& sid) {
    std::vector<std::string> c;
    if (envLogFile && !envLogFile->empty()) c.push_back(*envLogFile);
    const std::string name = "kelvandrum-remote-" +
                             sanitiseForFileName(sid.substr(0, std::min<size_t>(8, sid.size()))) +
                             ".log";
    c.push_back(base + "/Documents/KelvandrumRemote/" + name);
    c.push_back("/var/log/kelvandrum/" + name);
    return c;
}

LogSetupResult setupLogging(const std::string& sid, const std::vector<std::string>& candidates,
                            const std::optional<std::string>& levelName) {
    std::lock_guard<std::mutex> lock(gSetupMutex);
    spdlog::drop("kvd");
    for (const auto& path : candidates) {
        try {
            std::error_code ec;
            const auto parent = std::filesystem::path(path).parent_path();
            if (!parent.empty()) std::filesystem::create_directories(parent, ec);
            if (ec) continue;
            auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kMaxLogBytes,
                                                                               kRotatedFiles);
            sink->set_formatter(makeJsonLineFormatter(sid));
            auto lg = std::make_shared<spdlog::logger>("kvd", std::move(sink));
            install(std::move(lg), levelName);
            return {path, false};
        } catch (const std::exception&) {
            // Next candidate.
        }
    }
    auto sink = std::make_shared<spdlog::sinks::stdout_color_sink_mt>();
    sink->set_formatter(makeJsonLineFormatter(sid));
    install(std::make_shared<spdlog::logger>("kvd", std::move(sink)), levelName);
    return {"", true};
}

spdlog::logger& logger() {
    {
        std::lock_guard<std::mutex> lock(gSetupMutex);
        if (gSetUp) return *spdlog::default_logger_raw();
    }
    // Nothing configured yet (a tool, a test, or a line written before
    // start-up set logging up): session id "unknown". The platform layer logs
    // through this logger, so the user's data directory (a platform question)
    // is not asked here: the variable's file, else the machine-wide one.
    auto env = [](const char* name) -> std::optional<std::string> {
        const char* v = std::getenv(name);
        if (!v || !*v) return std::nullopt;
        return std::string(v);
    };
    std::vector<std::string> candidates;
    if (auto file = env("KELVANDRUM_LOG_FILE")) candidates.push_back(*file);
    candidates.push_back(logFileCandidates(std::nullopt, "", "unknown").back());
    setupLogging("unknown", candidates, env("KELVANDRUM_LOG_LEVEL"));
    return *spdlog::default_logger_raw();
}

}  // namespace kvd
