#include "recording/curl_transport.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/log.h"

namespace kvd {

namespace {

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct RequestState {
    const std::vector<uint8_t>* body = nullptr;
    size_t sent = 0;
    std::string reason;
    bool haveOffset = false;
    uint64_t offset = 0;
    const std::function<bool()>* abort = nullptr;
    const std::string* caFile = nullptr;
};

size_t readBody(char* buf, size_t size, size_t nitems, void* userdata) {
    auto* st = static_cast<RequestState*>(userdata);
    if (!st->body) return 0;
    const size_t n = std::min(size * nitems, st->body->size() - st->sent);
    std::memcpy(buf, st->body->data() + st->sent, n);
    st->sent += n;
    return n;
}

size_t discardBody(char*, size_t size, size_t nmemb, void*) {
    return size * nmemb;
}

std::string trim(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    return s.substr(i);
}

size_t onHeader(char* buf, size_t size, size_t nitems, void* userdata) {
    auto* st = static_cast<RequestState*>(userdata);
    const size_t len = size * nitems;
    const std::string line(buf, len);
    if (line.rfind("HTTP/", 0) == 0) {
        // Status line: keep the reason phrase; a new response (after a
        // 100 Continue) replaces the previous one's headers.
        st->haveOffset = false;
        const auto sp1 = line.find(' ');
        const auto sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
        st->reason = sp2 == std::string::npos ? std::string() : trim(line.substr(sp2 + 1));
        return len;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos) return len;
    std::string name = line.substr(0, colon);
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "x-upload-offset") {
        const std::string v = trim(line.substr(colon + 1));
        if (!v.empty() && v.size() <= 19 &&
            v.find_first_not_of("0123456789") == std::string::npos) {
            st->offset = std::stoull(v);
            st->haveOffset = true;
        }
    }
    return len;
}

int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* st = static_cast<RequestState*>(userdata);
    return st->abort && *st->abort && (*st->abort)() ? 1 : 0;
}

// Adds the extra CA to the verification store next to the system's roots.
CURLcode addExtraCa(CURL*, void* sslctx, void* userdata) {
    auto* st = static_cast<RequestState*>(userdata);
    if (!st->caFile || st->caFile->empty()) return CURLE_OK;
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslctx));
    if (!store || X509_STORE_load_file(store, st->caFile->c_str()) != 1) {
        logger().warn("[recording] could not load CA file {}", *st->caFile);
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

struct SlistFree {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

CurlUploadTransport::CurlUploadTransport(CurlTransportOptions opts) : opts_(std::move(opts)) {
    globalInit();
}

CurlUploadTransport::~CurlUploadTransport() {
    if (handle_) curl_easy_cleanup(static_cast<CURL*>(handle_));
}

HttpResponse CurlUploadTransport::sendChunk(const std::string& url, const std::string& token,
                                            uint64_t offset, uint64_t total,
                                            const std::vector<uint8_t>& chunk) const {
    return request(true, url, token, offset, total, &chunk);
}

HttpResponse CurlUploadTransport::queryOffset(const std::string& url,
                                              const std::string& token) const {
    return request(false, url, token, 0, 0, nullptr);
}

HttpResponse CurlUploadTransport::request(bool put, const std::string& url,
                                          const std::string& token, uint64_t offset, uint64_t total,
                                          const std::vector<uint8_t>* body) const {
    HttpResponse out;
    std::lock_guard<std::mutex> lock(mu_);
    if (!handle_) handle_ = curl_easy_init();
    if (!handle_) {
        out.errorText = "curl_easy_init failed";
        return out;
    }
    CURL* c = static_cast<CURL*>(handle_);
    // Options start afresh for every request; the connection cache stays.
    curl_easy_reset(c);
    RequestState st;
    st.body = body;
    st.abort = &opts_.abort;
    st.caFile = &opts_.extraCaFile;
    curl_slist* raw = nullptr;
    auto add = [&raw](const std::string& h) { raw = curl_slist_append(raw, h.c_str()); };
    if (!token.empty()) add("Authorization: Bearer " + token);
    add("Content-Type: application/octet-stream");
    if (put) {
        add("X-Upload-Offset: " + std::to_string(offset));
        add("X-Upload-Length: " + std::to_string(total));
        add("X-Chunk-Size: " + std::to_string(body->size()));
        add("Expect:");  // no 100-continue round trip
    }
    std::unique_ptr<curl_slist, SlistFree> headers(raw);
    char errbuf[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "Kelvandrum/0.1 Uploader");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &st);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discardBody);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &st);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, opts_.connectTimeoutSec);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, opts_.stallTimeoutSec);
    if (!opts_.extraCaFile.empty()) {
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, addExtraCa);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &st);
    }
    if (put) {
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(c, CURLOPT_READDATA, &st);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body->size()));
    } else {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    }
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        out.status = 0;
        out.errorText = errbuf[0] ? errbuf : curl_easy_strerror(rc);
        return out;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    out.status = static_cast<int32_t>(status);
    out.errorText = st.reason.empty() ? "HTTP " + std::to_string(status) : st.reason;
    if (st.haveOffset) out.uploadOffset = st.offset;
    return out;
}

void installCurlTransport(RecordingUploader& uploader, CurlTransportOptions opts) {
    if (!opts.abort) opts.abort = [&uploader] { return uploader.abortRequested(); };
    auto t = std::make_shared<CurlUploadTransport>(std::move(opts));
    uploader.setSendChunk([t](const std::string& url, const std::string& token, uint64_t offset,
                              uint64_t total, const std::vector<uint8_t>& chunk) {
        return t->sendChunk(url, token, offset, total, chunk);
    });
    uploader.setQueryOffset([t](const std::string& url, const std::string& token) {
        return t->queryOffset(url, token);
    });
}

}  // namespace kvd
