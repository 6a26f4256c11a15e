// The COM ports under which the test harness linked stick-sim into the Wine prefix.
#pragma once

#include <cstdlib>

namespace flotilla::test {

inline int ComFromEnv(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : 0;
}

inline int AtCom() { return ComFromEnv("FLOTILLA_AT_COM"); }

}  // namespace flotilla::test
