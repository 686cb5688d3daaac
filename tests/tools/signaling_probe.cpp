// Drives one signaling client for the system tests.
//
//   kvdtool_signaling_probe ws <url> <token> <sessionId> [options]
//   kvdtool_signaling_probe pipe <port> <token> [options]
// Options: --log FILE (JSON-line log at debug level), --attempts N,
// --step-ms N, --handshake-steps N, --pause-steps N, --wait-steps N,
// --connect-tries N, --no-pong.
//
// Events go to stdout as JSON lines: {"event":"connect","ok":bool},
// {"event":"recv","msg":{...}}, {"event":"status","connected":bool,...},
// {"event":"callback","name":"...","payload":...}, {"event":"bye"}.
// Commands come from stdin as JSON lines:
//   {"cmd":"send","msg":{...}}        sent from the stdin thread
//   {"cmd":"envelope","type":"...","payload":...}   relay only
//   {"cmd":"line","text":"..."}       relay only: writeLine
//   {"cmd":"polling","on":false}      stop/start calling poll()
//   {"cmd":"status"} {"cmd":"connect"} {"cmd":"disconnect"} {"cmd":"quit"}
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/json_util.h"
#include "common/log.h"
#include "signaling/pipe_signaling_client.h"
#include "signaling/signaling_client.h"
#include "signaling/signaling_messages.h"

namespace {

std::mutex gOutMutex;

void emit(const kvd::Json& j) {
    std::lock_guard<std::mutex> lk(gOutMutex);
    std::string s = kvd::dumpJson(j);
    s.push_back('\n');
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fflush(stdout);
}

int intArg(const char* v) {
    return std::atoi(v);
}

}  // namespace

int main(int argc, char** argv) {
    using kvd::Json;
    if (argc < 4) {
        std::fprintf(stderr, "usage: see the comment at the top of signaling_probe.cpp\n");
        return 2;
    }
    const std::string mode = argv[1];
    const bool pipe = mode == "pipe";
    int firstOpt = pipe ? 4 : 5;
    if (!pipe && argc < 5) return 2;

    std::string logFile;
    bool pong = true;
    kvd::SignalingRetryPolicy policy;
    kvd::PipeSignalingOptions pipeOptions;
    for (int i = firstOpt; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "0";
        if (a == "--log")
            logFile = v, ++i;
        else if (a == "--attempts")
            policy.attempts = intArg(v), ++i;
        else if (a == "--step-ms")
            policy.stepMs = intArg(v), ++i;
        else if (a == "--handshake-steps")
            policy.handshakeSteps = intArg(v), ++i;
        else if (a == "--pause-steps")
            policy.pauseSteps = intArg(v), ++i;
        else if (a == "--wait-steps")
            pipeOptions.waitSteps = intArg(v), ++i;
        else if (a == "--connect-tries")
            pipeOptions.connectTries = intArg(v), ++i;
        else if (a == "--no-pong")
            pong = false;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (!logFile.empty()) kvd::setupLogging("probe", {logFile}, std::string("debug"));

    std::unique_ptr<kvd::ISignalingClient> client;
    kvd::PipeSignalingClient* relay = nullptr;
    if (pipe) {
        auto p = std::make_unique<kvd::PipeSignalingClient>(argv[2], argv[3], pipeOptions);
        relay = p.get();
        auto cb = [](const char* name) {
            return [name](const Json& payload) {
                emit(Json{{"event", "callback"}, {"name", name}, {"payload", payload}});
            };
        };
        p->setOnSessionConfig(cb("sessionConfig"));
        p->setOnCredentialInject(cb("credentialInject"));
        p->setOnStopSession(cb("stopSession"));
        client = std::move(p);
    } else {
        client = std::make_unique<kvd::SignalingClient>(argv[2], argv[3], argv[4], policy);
    }

    for (const char* type : {"peer_joined", "answer", "offer", "ice", "join_ack", "turn_refresh",
                             "agent_status", "big", "t", ""}) {
        client->on(type, [type](const Json& m) {
            emit(Json{{"event", "recv"}, {"type", type}, {"msg", m}});
        });
    }
    if (pong) {
        auto responder = kvd::makePingResponder(*client);
        client->on("ping", [responder](const Json& m) {
            emit(Json{{"event", "recv"}, {"type", "ping"}, {"msg", m}});
            responder(m);
        });
    }

    std::mutex cmdMutex;
    std::deque<Json> commands;
    std::atomic<bool> stdinDone{false};
    // Sends go out from this thread on purpose: the engine sends from the
    // peer connection's threads while the signaling thread polls.
    std::thread input([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
            auto cmd = kvd::parseJson(line);
            if (!cmd || !cmd->is_object()) continue;
            const std::string name = kvd::jsonStringOr(*cmd, "cmd", "");
            if (name == "send") {
                client->send((*cmd)["msg"]);
                emit(Json{{"event", "sent"}});
                continue;
            }
            if (name == "envelope" && relay) {
                const bool ok = relay->sendEnvelope(kvd::jsonStringOr(*cmd, "type", ""),
                                                    (*cmd).value("payload", Json::object()));
                emit(Json{{"event", "envelope"}, {"ok", ok}});
                continue;
            }
            if (name == "line" && relay) {
                const bool ok = relay->writeLine(kvd::jsonStringOr(*cmd, "text", ""));
                emit(Json{{"event", "line"}, {"ok", ok}});
                continue;
            }
            std::lock_guard<std::mutex> lk(cmdMutex);
            commands.push_back(*cmd);
        }
        stdinDone = true;
    });

    const bool ok = client->connect();
    emit(Json{{"event", "connect"}, {"ok", ok}, {"connected", client->isConnected()}});

    bool polling = true;
    bool quit = false;
    while (!quit) {
        std::deque<Json> batch;
        {
            std::lock_guard<std::mutex> lk(cmdMutex);
            batch.swap(commands);
        }
        for (const Json& cmd : batch) {
            const std::string name = kvd::jsonStringOr(cmd, "cmd", "");
            if (name == "polling") {
                polling = kvd::jsonBool(cmd, "on").value_or(true);
            } else if (name == "status") {
                Json st{{"event", "status"}, {"connected", client->isConnected()}};
                if (auto* ws = dynamic_cast<kvd::SignalingClient*>(client.get())) {
                    st["pendingSend"] = ws->pendingSendCount();
                    st["pendingRecv"] = ws->pendingRecvCount();
                } else if (relay) {
                    st["pendingRecv"] = relay->pendingRecvCount();
                }
                emit(st);
            } else if (name == "connect") {
                const bool r = client->connect();
                emit(Json{{"event", "connect"}, {"ok", r}, {"connected", client->isConnected()}});
            } else if (name == "disconnect") {
                client->disconnect();
                emit(Json{{"event", "disconnected"}});
            } else if (name == "quit") {
                quit = true;
            }
        }
        if (stdinDone && batch.empty()) {
            std::lock_guard<std::mutex> lk(cmdMutex);
            if (commands.empty()) quit = true;
        }
        if (polling) client->poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    client->disconnect();
    // The log is complete before "bye": tests read it right after.
    kvd::logger().flush();
    emit(Json{{"event", "bye"}});
    // stdin may still be open; the reader thread is left to the process end.
    input.detach();
    std::fflush(stdout);
    std::_Exit(0);
}
