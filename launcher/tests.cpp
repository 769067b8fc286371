// The test runner's entry point: the program's interpreter and modules, with pytest in place of the main module.
#include "launcher.hpp"

int main(int argc, char **argv) {
    velmora::entry = velmora::Entry::Tests;
    return velmora::mainFromBytes(argc, argv);
}
