#include <string_view>
#include <vector>

#include "Ambrel_Host/shell/Application.h"
#ifdef AMBREL_DESKTOP_UI
#include "Ambrel_Host/ui/QtDesktop.h"
#endif

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv, argv + argc);
#ifdef AMBREL_DESKTOP_UI
  return ambrel::Application::main(args, &ambrel::makeQtDesktop);
#else
  return ambrel::Application::main(args);
#endif
}
