#include "run.hpp"

int main(int argc, char** argv) { return run_upgrades(argc, argv); }
