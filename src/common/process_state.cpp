#include "common/process_state.h"

namespace kvd {

ProcessState& processState() {
    static ProcessState state;
    return state;
}

}  // namespace kvd
