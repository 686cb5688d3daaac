#pragma once
// The uploader's HTTP requests over libcurl: HTTPS only, certificates
// verified against the system's store plus an optional extra CA file.
#include <functional>
#include <mutex>
#include <string>

#include "recording/recording_uploader.h"

namespace kvd {

struct CurlTransportOptions {
    std::string extraCaFile;  // KELVANDRUM_CA_CERT; empty: none
    long connectTimeoutSec = 30;
    // A request that moves no byte for this long is given up.
    long stallTimeoutSec = 60;
    // Polled during every request; true aborts it (cancel, deadline).
    std::function<bool()> abort;
};

// One easy handle, reused so that consecutive chunks share the connection
// (and its TLS session); calls are serialised.
class CurlUploadTransport {
  public:
    explicit CurlUploadTransport(CurlTransportOptions opts);
    ~CurlUploadTransport();
    CurlUploadTransport(const CurlUploadTransport&) = delete;
    CurlUploadTransport& operator=(const CurlUploadTransport&) = delete;
    HttpResponse sendChunk(const std::string& url, const std::string& token, uint64_t offset,
                           uint64_t total, const std::vector<uint8_t>& chunk) const;
    HttpResponse queryOffset(const std::string& url, const std::string& token) const;

  private:
    HttpResponse request(bool put, const std::string& url, const std::string& token,
                         uint64_t offset, uint64_t total, const std::vector<uint8_t>* body) const;
    CurlTransportOptions opts_;
    mutable std::mutex mu_;
    mutable void* handle_ = nullptr;  // CURL*
};

// Installs a libcurl transport on the uploader (its abort check included).
void installCurlTransport(RecordingUploader& uploader, CurlTransportOptions opts);

}  // namespace kvd
