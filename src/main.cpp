#include <string>
#include <vector>

#include "engine/engine.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return kvd::runEngine(args);
}
