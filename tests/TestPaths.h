#pragma once
// Where a test finds the source tree and the build tree, whether run by ctest or by hand.
#include <cstdlib>
#include <string>

namespace qztest {

inline std::string sourceDir() {
  if (const char* env = std::getenv("QZ_SOURCE_DIR"); env && *env) return env;
#ifdef QZ_SOURCE_DIR
  return QZ_SOURCE_DIR;
#else
  return ".";
#endif
}

inline std::string binaryDir() {
  if (const char* env = std::getenv("QZ_BINARY_DIR"); env && *env) return env;
#ifdef QZ_BINARY_DIR
  return QZ_BINARY_DIR;
#else
  return ".";
#endif
}

}  // namespace qztest
