#include <cstdio>

#include "build_info.h"

int main() {
  std::printf("Build %d\n", buildNumber());
  return 0;
}
