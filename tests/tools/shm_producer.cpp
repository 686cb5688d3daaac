// Runs one shared-memory producer for the system tests and the end-to-end
// test: captures an X display and publishes it for a session.
//
//   kvdtool_shm_producer --version 1|2 --session ID [--display :N]
// Prints "ready" once the capture thread publishes, runs until standard input
// closes or SIGTERM/SIGINT arrives, then stops and releases every object.
// Exits 1 (printing "init failed") when the producer cannot be initialised.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "capture/shared_memory_producer.h"
#include "common/log.h"
#include "platform/process.h"

namespace {
std::atomic<bool> gRunning{true};
}

int main(int argc, char** argv) {
    std::string display, session;
    int version = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        if (k == "--display")
            display = argv[i + 1];
        else if (k == "--session")
            session = argv[i + 1];
        else if (k == "--version")
            version = std::atoi(argv[i + 1]);
    }
    if (session.empty() || (version != 1 && version != 2)) {
        std::fprintf(stderr, "usage: %s --version 1|2 --session ID [--display :N]\n", argv[0]);
        return 2;
    }
    kvd::platform::installTerminationHandlers(&gRunning);

    std::unique_ptr<kvd::SharedMemoryProducer> v1;
    std::unique_ptr<kvd::SharedMemoryProducerV2> v2;
    bool ok = false;
    if (version == 1) {
        v1 = std::make_unique<kvd::SharedMemoryProducer>(display);
        ok = v1->init(session);
        if (ok) v1->start();
    } else {
        v2 = std::make_unique<kvd::SharedMemoryProducerV2>(display);
        ok = v2->init(session);
        if (ok) v2->start();
    }
    kvd::logger().flush();
    if (!ok) {
        std::printf("init failed\n");
        std::fflush(stdout);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    // End of input ends the run; the reader is left blocked at exit.
    std::thread([] {
        char buf[256];
        while (::read(0, buf, sizeof buf) > 0) {
        }
        gRunning = false;
    }).detach();
    while (gRunning.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));

    if (v1) v1->stop();
    if (v2) v2->stop();
    v1.reset();
    v2.reset();
    kvd::logger().flush();
    std::printf("stopped\n");
    std::fflush(stdout);
    return 0;
}
