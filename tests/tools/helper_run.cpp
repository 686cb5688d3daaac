// Runs the input helper mode for the system tests.
// Usage: kvdtool_helper_run [--pipe NAME] [--session-id ID] [--shm-v2] [--bridge]
//                           [--record-producers]
// The token comes from KELVANDRUM_INPUT_PIPE_TOKEN, displays from DISPLAY and
// KVD_SECURE_DISPLAY, logging from KELVANDRUM_LOG_*. With --record-producers
// the producers are stand-ins that print one JSON line per start and stop on
// standard output, e.g. {"producer":"v2","op":"start","display":":5"}.
// SIGTERM ends the helper cleanly; the exit code is the helper's.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "common/json_util.h"
#include "common/log.h"
#include "common/process_state.h"
#include "helper/input_helper.h"

namespace {

std::mutex gOut;

void emit(const kvd::Json& j) {
    std::lock_guard<std::mutex> lk(gOut);
    std::fputs((kvd::dumpJson(j) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

class PrintingProducer final : public kvd::ProducerControl {
  public:
    explicit PrintingProducer(std::string name) : name_(std::move(name)) {}
    bool start(const std::string& display, const std::string& sid) override {
        running_ = true;
        emit({{"producer", name_}, {"op", "start"}, {"display", display}, {"sid", sid}});
        return true;
    }
    void stop() override {
        running_ = false;
        emit({{"producer", name_}, {"op", "stop"}});
    }
    bool running() override { return running_; }

  private:
    std::string name_;
    bool running_ = false;
};

void onSignal(int) {
    kvd::requestStop();
}

}  // namespace

int main(int argc, char** argv) {
    kvd::InputHelperOptions o;
    bool record = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pipe" && i + 1 < argc) {
            o.pipeName = argv[++i];
        } else if (a == "--session-id" && i + 1 < argc) {
            o.sessionId = argv[++i];
        } else if (a == "--shm-v2") {
            o.shmV2 = true;
        } else if (a == "--bridge") {
            o.transitionBridge = true;
        } else if (a == "--record-producers") {
            record = true;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (const char* t = std::getenv("KELVANDRUM_INPUT_PIPE_TOKEN")) o.token = t;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    kvd::InputHelperSeams seams;
    if (record) {
        seams.makeV1Producer = [](const std::string&, const std::string&) {
            return std::make_unique<PrintingProducer>("v1");
        };
        seams.makeV2Producer = [](const std::string&, const std::string&) {
            return std::make_unique<PrintingProducer>("v2");
        };
    }
    emit({{"ready", true}});
    const int rc = kvd::runInputHelper(o, seams);
    kvd::logger().flush();
    return rc;
}
