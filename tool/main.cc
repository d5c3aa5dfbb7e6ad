#include "common.h"
#include "run.h"

int main(int argc, char** argv) {
  tallier::RunSettings settings;
  // Each argument counts only when those before it are there; any after the third are ignored.
  if (argc > 1)
    settings.headerPath = argv[1];
  if (argc > 2)
    settings.macroName = argv[2];
  if (argc > 3) {
    settings.incrementText = argv[3];
    settings.incrementOutOfRange = !tallier::parseIncrement(argv[3], settings.increment);
  }
  return tallier::runTallier(settings);
}
