// The program's entry point.
#include "launcher.hpp"

int main(int argc, char **argv) { return velmora::mainFromBytes(argc, argv); }
