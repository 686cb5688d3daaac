#pragma once
// The local end of chat: a pipe that the host's tray application connects
// to. Records are one JSON object per line. The bridge greets a new tray with
// {"type":"hello",...}, hands the "text" of every tray line to the outbound
// callback and writes viewer messages to the tray as {"type":"in",...}.
//
// One tray at a time: while one is connected, a second client gets the line
// {"type":"busy","reason":"another tray client is connected"} and is closed.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/local_pipe.h"

namespace kvd {

inline constexpr size_t kTrayLineMaxBytes = 64 * 1024;
inline constexpr int kTrayWriteTimeoutMs = 2000;

// "kelvandrum-chat-" + the session id made safe as a file name; an id too
// long for a socket path keeps its first 48 characters plus a hash of all.
std::string trayChatPipeName(const std::string& sessionId);

// The text a tray line carries: the string value of its top-level "text"
// field; empty when the line is not such an object.
std::string trayLineText(std::string_view line);

class TrayChatBridge {
  public:
    using Outbound = std::function<void(const std::string& text)>;
    using ServerFactory = std::function<platform::PipeServerResult(const std::string& name)>;

    explicit TrayChatBridge(ServerFactory factory = platform::createLocalPipeServer,
                            std::function<int64_t()> wallMs = nullptr);
    ~TrayChatBridge();
    TrayChatBridge(const TrayChatBridge&) = delete;
    TrayChatBridge& operator=(const TrayChatBridge&) = delete;

    // Set before start.
    void setOutboundCallback(Outbound cb);
    // Starts the server thread; true when running (also when it already was).
    bool start(const std::string& sessionId, const std::string& technicianName);
    // Forwards one viewer message; no effect while no tray is connected.
    void sendToTray(const std::string& text);
    void stop();

    bool clientConnected() const { return connected_.load(); }
    const std::string& pipeName() const { return pipeName_; }

  private:
    void run();
    void serve(std::unique_ptr<platform::LocalPipeConnection> conn);
    void handleBytes(const char* data, size_t n);
    void refuseSecondClient(platform::LocalPipeServer& server);
    bool writeRecord(platform::LocalPipeConnection& conn, const std::string& record);
    void sleepWhileRunning(int ms);

    ServerFactory factory_;
    std::function<int64_t()> wallMs_;
    std::string pipeName_, sessionId_, technician_;
    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
    Outbound outbound_;
    std::thread thread_;
    std::unique_ptr<platform::LocalPipeServer> server_;  // bridge thread only
    // Guards conn_ for writers on other threads.
    std::mutex writeMu_;
    std::unique_ptr<platform::LocalPipeConnection> conn_;
    std::string lineBuffer_;
    bool discarding_ = false;  // inside a line that went over the cap
};

}  // namespace kvd
