#include <string_view>
#include <vector>

#include "Ambrel_Host/shell/Application.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv, argv + argc);
  return ambrel::Application::main(args);
}
