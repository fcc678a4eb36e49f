// Prints where the simulator's default package is found, or the error when
// it is found nowhere. Built with a source folder the install test controls
// (VNTR_SOURCE_DIR), so the test can plant and remove either place.
#include <exception>
#include <iostream>

#include "sim/presets.h"

int main() {
    try {
        std::cout << sim::DefaultPackageDir() << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
