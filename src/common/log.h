#pragma once
// The process-wide logger. Components call kvd::logger(); start-up installs
// the configured sink with setupLogging(). Every line is one JSON object:
// {"ts":"...","level":"...","sid":"...","msg":"..."} with sid and msg escaped
// so that peer-supplied text can neither break nor forge a line.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

namespace kvd {

struct LogSetupResult {
    std::string path;      // the log file in use; empty when the console is used
    bool console = false;  // no candidate could be opened
};

// Candidate paths in order; the first that can be created and opened wins.
// sanitisedSid8 is the first eight characters of the (file-name safe) sid.
std::vector<std::string> logFileCandidates(const std::optional<std::string>& envLogFile,
                                           const std::string& base, const std::string& sid);

// Makes a session id safe as part of a file name: anything outside
// [A-Za-z0-9._-] becomes '_', and "." / ".." cannot result.
std::string sanitiseForFileName(const std::string& s);

// Installs the "kvd" logger as default: rotating file 50 MiB x 3 on the first
// candidate that works, else a console sink on standard output. levelName is
// KELVANDRUM_LOG_LEVEL (nullopt: warning).
LogSetupResult setupLogging(const std::string& sid, const std::vector<std::string>& candidates,
                            const std::optional<std::string>& levelName);

// A formatter that writes the JSON line format above (exposed for tests).
std::unique_ptr<spdlog::formatter> makeJsonLineFormatter(const std::string& sid);

// The default logger; set up on the spot with sid "unknown" when start-up
// has not done it yet.
spdlog::logger& logger();

// Counts occurrences and says whether this one should be logged: the first
// `firstN`, then every `every`-th. For thinning repeated failures.
class LogThinner {
  public:
    LogThinner(uint64_t firstN, uint64_t every) : firstN_(firstN), every_(every) {}
    bool shouldLog() {
        const uint64_t n = ++count_;
        return n <= firstN_ || (every_ && n % every_ == 0);
    }
    uint64_t count() const { return count_; }
    void reset() { count_ = 0; }

  private:
    uint64_t firstN_, every_;
    uint64_t count_ = 0;
};

}  // namespace kvd
