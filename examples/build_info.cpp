#include "build_info.h"

#include "Version.h"

int buildNumber() {
  return BuildCount;
}
