#include "webrtc/sdp_guard.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace kvd {

namespace {

bool containsNoCase(std::string_view hay, std::string_view needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
    return it != hay.end();
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
        s.replace(pos, from.size(), to);
}

}  // namespace

std::optional<std::string> answerRejectReason(std::string_view sdp) {
    if (sdp.empty()) return "empty";
    if (sdp.size() > kMaxAnswerSdpBytes) return "too_large";
    if (!containsNoCase(sdp, "fingerprint:")) return "no_fingerprint";
    return std::nullopt;
}

bool remoteCandidatePassesGuard(std::string_view candidate) {
    if (candidate.empty() || candidate.size() > kMaxCandidateBytes) return false;
    std::string_view body = candidate;
    if (body.substr(0, 10) == "candidate:") body.remove_prefix(10);
    size_t tokens = 0;
    bool inToken = false;
    for (char c : body) {
        const bool sep = c == ' ' || c == '\t';
        if (!sep && !inToken) ++tokens;
        inToken = !sep;
    }
    return tokens >= 8 && candidate.find(" typ ") != std::string_view::npos;
}

bool turnUrlPassesGuard(std::string_view url) {
    std::string_view rest;
    if (url.substr(0, 6) == "turns:")
        rest = url.substr(6);
    else if (url.substr(0, 5) == "turn:")
        rest = url.substr(5);
    else
        return false;
    if (rest.empty()) return false;
    const std::string_view hostPort = rest.substr(0, rest.find('?'));
    if (hostPort.empty()) return false;
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string_view::npos) return true;
    const std::string_view host = hostPort.substr(0, colon);
    const std::string_view port = hostPort.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5) return false;
    uint32_t value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

std::string rewriteZeroPorts(std::string sdp) {
    replaceAll(sdp, "m=video 0 ", "m=video 9 ");
    replaceAll(sdp, "m=audio 0 ", "m=audio 9 ");
    replaceAll(sdp, "m=application 0 ", "m=application 9 ");
    return sdp;
}

std::string insertVideoBitrate(std::string sdp, uint32_t kbps) {
    if (kbps == 0) return sdp;
    // Split into lines keeping their terminators.
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < sdp.size();) {
        size_t nl = sdp.find('\n', pos);
        size_t end = nl == std::string::npos ? sdp.size() : nl + 1;
        lines.emplace_back(sdp.substr(pos, end - pos));
        pos = end;
    }
    const std::string eol = sdp.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    const std::string bLine = "b=AS:" + std::to_string(kbps) + eol;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("m=video", 0) != 0) continue;
        size_t end = i + 1;
        while (end < lines.size() && lines[end].rfind("m=", 0) != 0) ++end;
        size_t insertAt = i + 1;
        bool hasAs = false;
        for (size_t j = i + 1; j < end; ++j) {
            if (lines[j].rfind("c=", 0) == 0) insertAt = j + 1;
            if (lines[j].rfind("b=AS:", 0) == 0) hasAs = true;
        }
        if (!hasAs) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), bLine);
        break;
    }
    std::string out;
    out.reserve(sdp.size() + bLine.size());
    for (auto& l : lines) out += l;
    return out;
}

std::string insertSctpMaxMessageSize(std::string sdp, uint64_t bytes) {
    if (sdp.find("a=max-message-size:") != std::string::npos) return sdp;
    const size_t port = sdp.find("a=sctp-port:");
    if (port == std::string::npos) return sdp;
    const size_t nl = sdp.find('\n', port);
    if (nl == std::string::npos) return sdp;
    const std::string eol = nl > 0 && sdp[nl - 1] == '\r' ? "\r\n" : "\n";
    sdp.insert(nl + 1, "a=max-message-size:" + std::to_string(bytes) + eol);
    return sdp;
}

size_t countMediaSections(std::string_view sdp) {
    size_t n = sdp.substr(0, 2) == "m=" ? 1 : 0;
    for (size_t pos = sdp.find("\nm="); pos != std::string_view::npos;
         pos = sdp.find("\nm=", pos + 1))
        ++n;
    return n;
}

bool OfferResendLimiter::allow(int64_t nowMs) {
    if (lastSeenMs_ >= 0 && nowMs - lastSeenMs_ > 120000) {
        allowedCount_ = 0;
        lastAllowedMs_ = -1;
    }
    lastSeenMs_ = nowMs;
    if (lastAllowedMs_ >= 0 && nowMs - lastAllowedMs_ < 30000) return false;
    if (allowedCount_ >= 10) return false;
    lastAllowedMs_ = nowMs;
    ++allowedCount_;
    return true;
}

}  // namespace kvd
