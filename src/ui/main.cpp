#include <QGuiApplication>
#include <cstring>
#include <iostream>

#include "ui/RenderCommand.h"

int main(int argc, char** argv) {
    // Rendering to a file needs no display; a headless box has none.
    bool render = false;
    for (int i = 1; i < argc; ++i) render = render || std::strcmp(argv[i], "render") == 0;
    if (render && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    return wk::RunGuiCommandLine(argc, argv, std::cout, std::cerr);
}
