#include <string>
#include <vector>

#include "common.h"
#include "platform.h"
#include "run.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = tallier::programArguments(argc, argv);
  tallier::RunSettings settings;
  // Each argument counts only when those before it are there; any after the third are ignored.
  if (arguments.size() > 0)
    settings.headerPath = arguments[0];
  if (arguments.size() > 1)
    settings.macroName = arguments[1];
  if (arguments.size() > 2) {
    settings.incrementText = arguments[2];
    settings.incrementOutOfRange = !tallier::parseIncrement(arguments[2], settings.increment);
  }
  return tallier::runTallier(settings);
}
