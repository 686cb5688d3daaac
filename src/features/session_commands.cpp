#include "features/session_commands.h"

#include <algorithm>
#include <cstdlib>

#include "common/log.h"
#include "features/clipboard_sync.h"
#include "features/control_dispatcher.h"
#include "features/wake_on_lan.h"
#include "input/input_injector.h"

namespace kvd {

bool WolRateWindow::tryAccept(int64_t nowMs, size_t& countInWindow) {
    std::lock_guard<std::mutex> lock(mu_);
    while (!times_.empty() && times_.front() + kWindowMs <= nowMs) times_.pop_front();
    countInWindow = times_.size();
    if (times_.size() >= kMaxEvents) return false;
    times_.push_back(nowMs);
    return true;
}

std::string rebootCommandFromEnvironment() {
    const char* v = std::getenv("KELVANDRUM_REBOOT_COMMAND");
    return v && *v ? v : "systemctl reboot";
}

SessionCommands::SessionCommands(SessionCommandDeps deps,
                                 std::function<void(const Json&)> sendReply)
    : deps_(std::move(deps)),
      send_(std::move(sendReply)),
      clock_(deps_.clock ? *deps_.clock : SteadyClock::instance()) {}

void SessionCommands::registerWith(ControlDispatcher& d) {
    for (const char* type : {"clipboard_set", "clipboard_clear"}) {
        d.setHandler(type,
                     [this, t = std::string(type)](const Json& m) { clipboardMessage(t, m); });
    }
    d.setHandler("paste_text", [this](const Json& m) { pasteText(m); });
    d.setHandler("credential_inject", [this](const Json& m) { credentialInject(m); });
    d.setHandler("wol_send", [this](const Json& m) { wolSend(m); });
    d.setHandler("remote_reboot", [this](const Json& m) { remoteReboot(m); });
}

bool SessionCommands::viewOnly() const {
    return deps_.accessMode && deps_.accessMode() == "VIEW_ONLY";
}

bool SessionCommands::secureDesktop() const {
    return deps_.secureDesktopActive && deps_.secureDesktopActive();
}

InputInjector* SessionCommands::injector() const {
    return deps_.injector ? deps_.injector() : nullptr;
}

void SessionCommands::clipboardMessage(const std::string& type, const Json& msg) {
    if (!deps_.clipboard) return;
    // The policy reads the fields from the message text itself.
    handleInboundClipboard(*deps_.clipboard, deps_.listener, type, dumpJson(msg));
}

void SessionCommands::pasteText(const Json& msg) {
    const std::string text = msg.value("text", std::string());
    const std::string method = msg.value("method", std::string("smart"));
    const int64_t delay = msg.value("perCharDelayMs", int64_t{25});
    if (viewOnly()) {
        send_(Json{{"methodUsed", "keystrokes"},
                   {"ok", false},
                   {"reason", "view_only"},
                   {"type", "paste_text_ack"},
                   {"v", 1}});
        return;
    }
    const bool allowClipboard = !deps_.allowClipboard || deps_.allowClipboard();
    const bool keystrokes = method == "keystrokes" || secureDesktop() || !allowClipboard;
    bool ok = false;
    InputInjector* inj = injector();
    if (keystrokes) {
        if (!text.empty() && inj) {
            inj->typeText(text, static_cast<uint32_t>(std::clamp<int64_t>(delay, 0, 1000)));
            ok = true;
        }
    } else if (deps_.clipboard) {
        if (deps_.listener) deps_.listener->suppressNextUpdate();
        ClipboardPayload payload;
        payload.bytes.assign(text.begin(), text.end());
        ok = deps_.clipboard->setClipboardText(payload);
        if (ok && inj) {
            inj->keyDown(0, 0x11, 0);
            inj->keyDown(0, 0x56, 0);
            inj->keyUp(0, 0x56, 0);
            inj->keyUp(0, 0x11, 0);
        }
    }
    const char* decided = keystrokes ? "keystrokes" : "clipboard";
    logger().info("[paste] method={} decided={} chars={} ok={}", method, decided, text.size(), ok);
    send_(Json{{"methodUsed", decided}, {"ok", ok}, {"type", "paste_text_ack"}, {"v", 1}});
}

namespace {

Json credentialAck(bool ok, const std::string& reason) {
    Json j{{"ok", ok}, {"type", "credential_inject_ack"}, {"v", 1}};
    if (!ok) j["reason"] = reason;
    return j;
}

}  // namespace

void SessionCommands::credentialInject(const Json& msg) {
    const std::string ticket = msg.value("ticket", std::string());
    const char* reason = viewOnly()         ? "view_only"
                         : !secureDesktop() ? "secure_desktop_required"
                                            : nullptr;
    if (reason) {
        logger().warn("[credential-inject] refused reason={}", reason);
        send_(credentialAck(false, reason));
        return;
    }
    // A ticket the link did not carry would leave the viewer waiting for an
    // answer that never comes: it is refused like a missing service.
    if (deps_.sendRelay &&
        deps_.sendRelay("REMOTE_CREDENTIAL_REDEEM",
                        Json{{"sessionId", deps_.sessionId}, {"ticket", ticket}})) {
        logger().info("[credential-inject] ticket forwarded to service");
        return;
    }
    logger().warn("[credential-inject] refused reason=service_unavailable");
    send_(credentialAck(false, "service_unavailable"));
}

void SessionCommands::completeCredentialInject(const Json& payload) {
    bool ok = jsonBool(payload, "ok").value_or(false);
    std::string reason = jsonStringOr(payload, "reason", "");
    if (ok) {
        // The desktop or the access mode may have changed while the service
        // redeemed the ticket: a password must never land on a normal desktop
        // or in a session that lost control.
        const char* refused = viewOnly()         ? "view_only"
                              : !secureDesktop() ? "secure_desktop_required"
                                                 : nullptr;
        InputInjector* inj = injector();
        if (!refused && !inj) refused = "injector_unavailable";
        if (refused) {
            logger().warn("[credential-inject] refused reason={}", refused);
            ok = false;
            reason = refused;
        } else {
            const auto text = jsonString(payload, "text");
            if (text && !text->empty()) inj->typeText(*text, kCredentialCharDelayMs);
        }
    }
    send_(credentialAck(ok, reason));
}

void SessionCommands::wolSend(const Json& msg) {
    const std::string mac = msg.value("targetMac", std::string());
    const std::string requestId = msg.value("requestId", std::string());
    logger().info("[wol] wol_send received targetMac={} requestId={}", mac, requestId);
    Json reply{{"requestId", requestId}, {"targetMac", mac}, {"type", "wol_result"}, {"v", 1}};
    auto refuse = [&](const std::string& code) {
        reply["sent"] = false;
        reply["error"] = code;
        reply["message"] = wolErrorMessage(code);
        send_(reply);
    };
    if (!deps_.allowsWol) {
        logger().warn("[wol] policy_denied: agent is not authorized to send WoL packets");
        refuse("policy_denied");
        return;
    }
    size_t count = 0;
    if (!wolWindow_.tryAccept(clock_.nowMs(), count)) {
        logger().warn("[wol] rate_limited: {} events in last 60s", count);
        refuse("rate_limited");
        return;
    }
    std::string error;
    const bool sent =
        deps_.sendMagicPacket ? deps_.sendMagicPacket(mac, error) : sendMagicPacket(mac, &error);
    if (sent) {
        logger().info("[wol] magic packet broadcast for {}", mac);
        reply["sent"] = true;
        send_(reply);
        return;
    }
    logger().warn("[wol] failed to send magic packet for {}: {}", mac, error);
    reply["sent"] = false;
    reply["error"] = error;
    if (!error.empty()) reply["message"] = wolErrorMessage(error);
    send_(reply);
}

void SessionCommands::remoteReboot(const Json& msg) {
    const bool safeMode = msg.value("safeMode", false);
    logger().info("[reboot] remote_reboot received safeMode={}", safeMode);
    bool executed = false;
    std::string error;
    if (deps_.sendRelay) {
        executed = deps_.sendRelay(
            "REMOTE_REBOOT", Json{{"delaySeconds", kRebootDelaySeconds}, {"safeMode", safeMode}});
        if (executed) {
            logger().info("[reboot] delegated REMOTE_REBOOT to service (safeMode={})", safeMode);
        } else {
            error = "REMOTE_REBOOT could not be sent to the service";
            logger().error("[reboot] {}", error);
        }
    } else {
        const int rc = deps_.scheduleCommand
                           ? deps_.scheduleCommand(deps_.rebootCommand, kRebootDelaySeconds)
                           : -1;
        if (rc == 0) {
            executed = true;
            logger().info("[reboot] (no service) shutdown /r scheduled in 10s");
        } else {
            error = "shutdown command returned rc=" + std::to_string(rc);
            logger().error("[reboot] {}", error);
        }
        if (safeMode) logger().warn("[reboot] safeMode ignored — no service IPC available");
    }
    send_(Json{{"error", error},
               {"executed", executed},
               {"safeMode", safeMode},
               {"type", "remote_reboot_ack"},
               {"v", 1}});
}

}  // namespace kvd
