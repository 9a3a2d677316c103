#include <iostream>

#include "app/CommandLine.h"

int main(int argc, char** argv) {
    return wk::RunCommandLine(argc, argv, std::cout, std::cerr);
}
