#include <iostream>

#include "ui/RenderCommand.h"

int main(int argc, char** argv) {
    return wk::RunGuiCommandLine(argc, argv, std::cout, std::cerr);
}
