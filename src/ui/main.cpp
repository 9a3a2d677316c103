#include <cstring>
#include <iostream>

#include "ui/RenderCommand.h"
#include "ui/shell/ShellMain.h"

// "render" (after an optional --home DIR) draws without a window; anything
// else is the window's own command line.
int main(int argc, char** argv) {
    if (wk::HandleGuiDocRequest(argc, argv, std::cout)) return 0;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--home") == 0) first = 3;
    if (argc > first && std::strcmp(argv[first], "render") == 0)
        return wk::RunGuiCommandLine(argc, argv, std::cout, std::cerr);
    return wk::ui::RunShell(argc, argv);
}
