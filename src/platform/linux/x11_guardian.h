#pragma once
// Engine side of the guardian (see platform/guardian.h): what the guardian of
// one display must undo should this process vanish. The guardian runs only
// while there is something to undo.
#include <memory>
#include <string>

namespace kvd::platform {

class GuardianLink {
  public:
    // The process-wide link for `display` (empty: $DISPLAY).
    static GuardianLink& forDisplay(const std::string& display);

    // Call the "taken" notes before taking (a death in between still
    // restores) and the "given back" notes after giving back.
    void deviceTaken(int deviceId);
    void deviceGivenBack(int deviceId);
    void displayAsleep(bool powerSavingWasEnabled);
    void displayAwake();

    struct State;

  private:
    explicit GuardianLink(std::string display);
    void changed();
    std::string display_;
    std::unique_ptr<State> s_;
};

}  // namespace kvd::platform
