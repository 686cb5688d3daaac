#include "common/log.h"

#include <spdlog/details/os.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "common/json_util.h"

namespace kvd {

namespace {

constexpr size_t kMaxLogBytes = 52428800;  // 50 MiB
constexpr size_t kRotatedFiles = 3;

class JsonLineFormatter final : public spdlog::formatter {
  public:
    explicit JsonLineFormatter(std::string sid)
        : sidEscaped_(escapeJsonString(replaceInvalidUtf8(sid))) {}

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
        // Peer bytes reach log texts (the JSON library quotes them in its
        // errors): the line stays valid JSON only as valid UTF-8.
        line += escapeJsonString(
            replaceInvalidUtf8(std::string_view(msg.payload.data(), msg.payload.size())));
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
    // Info lines are buffered for speed; without a periodic flush a process
    // that is killed (or hangs and is then killed) leaves an empty log, just
    // when an operator needs it most.
    if (!gSetUp) spdlog::flush_every(std::chrono::seconds(1));
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
